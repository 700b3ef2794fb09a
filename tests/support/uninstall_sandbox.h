// The installed components in the sandbox root, built at test time, and fake
// `pkill` and `rm` programs put first on PATH: the server stop never reaches
// another process on the machine, and a removal can be made to fail.
#pragma once

#include "installer_config.h"
#include "plugin_fixtures.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zrvk_test {

namespace uninstall_paths {
using namespace InstallerConfig::Paths;
// The folder above the render engine's, which its removal takes away.
inline std::string renderEngineRoot() { return RENDER_ENGINE_DIR.substr(0, RENDER_ENGINE_DIR.rfind('/')); }
inline std::string logsDir() { return InstallerConfig::MAC_LOGS_DIR; }
inline std::string idFile() { return MRV_BASE_DIR + "/id.txt"; }
}  // namespace uninstall_paths

// Removes every folder that detection looks at (sandboxed paths only).
inline void wipeInstallation() {
    namespace P = uninstall_paths;
    ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
    for (const std::string& dir : {P::renderEngineRoot(), P::MRV_BASE_DIR, P::PLUGINS_DIR, P::logsDir()}) {
        ASSERT_EQ(dir.rfind(InstallerConfig::ROOT_PREFIX + "/", 0), 0u) << dir;
        std::filesystem::remove_all(dir);
    }
}

inline void makeFolder(const std::string& path) { std::filesystem::create_directories(path); }

// A component folder with its version file.
inline void makeComponent(const std::string& dir, const std::string& version) {
    makeFolder(dir);
    writeFile(dir + "/version.txt", version + "\n");
}

// An installed plug-in: its bundle with properties, and its component folder when wanted.
inline void makePlugin(const std::string& id, const std::string& name, uint32_t version, bool withComponent) {
    namespace P = uninstall_paths;
    makeFolder(P::PLUGINS_DIR);
    makeMacBundle(P::PLUGINS_DIR, id + ".plugin", pluginProperties(name, version, "ZRVK " + id, false));
    if (withComponent) makeComponent(P::MRV_PLUGINS_DIR + "/" + id, "1.0.0");
}

// Puts a folder of fake programs first on PATH while it lives. `pkill`
// records its arguments; `rm` fails without doing anything once failRemovals() is called.
class FakeTools {
public:
    FakeTools() : oldPath_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        writeTool("pkill", "echo \"$@\" >> \"$(dirname \"$0\")/pkill.calls\"\nexit 1\n");
        setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
    }
    ~FakeTools() { setenv("PATH", oldPath_.c_str(), 1); }
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    void failRemovals() { writeTool("rm", "echo \"rm: cannot remove\" >&2\nexit 1\n"); }
    void allowRemovals() { std::remove((dir_ / "rm").c_str()); }
    std::string pkillCalls() const { return readFile(dir_ / "pkill.calls"); }

private:
    void writeTool(const std::string& name, const std::string& body) {
        writeFile(dir_ / name, "#!/bin/sh\n" + body);
        chmod((dir_ / name).c_str(), 0755);
    }
    TempDir dir_;
    std::string oldPath_;
};

}  // namespace zrvk_test
