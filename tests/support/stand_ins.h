// Puts the stand-in programs of stand-ins/ first on PATH for this process and
// what it starts: the installer's stop of the server by name then reaches
// only processes that lie in `root` (the sandbox), never another process of
// that name on the machine. Link zrvk_stand_ins for ZRVK_STAND_IN_DIR.
#pragma once

#include <cstdlib>
#include <string>

namespace zrvk_test {

inline void useStandIns(const std::string& root) {
    const std::string dir = ZRVK_STAND_IN_DIR;
    const char* path = std::getenv("PATH");
    const std::string current = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    if (current.rfind(dir + ":", 0) != 0) setenv("PATH", (dir + ":" + current).c_str(), 1);
    setenv("ZRVK_PKILL_ROOT", root.c_str(), 1);
}

}  // namespace zrvk_test
