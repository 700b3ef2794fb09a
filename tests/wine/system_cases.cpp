// The shared helpers' Windows bodies: the program file's own path and the
// platform's name.
#include <windows.h>

#include "case_runner.h"
#include "windows_support.h"

#include "system.h"

#include <string>

using namespace wintest;

ZRVK_CASE(executablePathNamesThisProgramFile) {
    const std::string path = System::executablePath();
    CHECK_EQ(path, selfPath());
    const std::string name = "zrvk-windows-tests.exe";
    REQUIRE(path.size() > name.size());
    CHECK_EQ(path.substr(path.size() - name.size()), name);
    CHECK(GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES);
}

ZRVK_CASE(platformNameIsWindows) { CHECK_EQ(std::string(System::platformName()), std::string("Windows")); }
