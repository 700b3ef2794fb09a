#include "installer_utils.h"

#include "installer_config.h"
#include "windows_command.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

// A version file holds one short line.
constexpr std::size_t kMaxVersionFileSize = 4096;

std::vector<int> versionParts(const std::string& version) {
    std::vector<int> parts;
    std::istringstream stream(version);
    std::string part;
    while (std::getline(stream, part, '.')) {
        try {
            parts.push_back(std::stoi(part));
        } catch (const std::exception&) {
            parts.push_back(0);
        }
    }
    return parts;
}

#ifdef _WIN32
std::string withBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool makeFolder(const std::string& path) { return _mkdir(path.c_str()) == 0 || errno == EEXIST; }
#else
std::string quoted(const std::string& path) { return "\"" + path + "\""; }

bool makeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

// The server outlives the installer: it gets standard input, output and error
// and nothing else that the installer has open when it starts (a transfer's
// socket, a file being written by another worker).
void keepOnlyStandardDescriptors(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attributes) {
#ifdef __APPLE__
    posix_spawnattr_setflags(attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addinherit_np(actions, fd);
#else
    (void)attributes;
    posix_spawn_file_actions_addclosefrom_np(actions, 3);
#endif
}
#endif

}  // namespace

bool isNewerVersion(const std::string& a, const std::string& b) {
    const std::vector<int> left = versionParts(a);
    const std::vector<int> right = versionParts(b);
    const std::size_t count = left.size() > right.size() ? left.size() : right.size();
    for (std::size_t i = 0; i < count; ++i) {
        const int l = i < left.size() ? left[i] : 0;
        const int r = i < right.size() ? right[i] : 0;
        if (l > r) return true;
        if (l < r) return false;
    }
    return false;
}

std::string readVersionFile(const std::string& dir) {
    // Bytes as they are, so a carriage return reads the same on every platform.
    std::vector<std::uint8_t> bytes;
    if (!readRegularFile(dir + "/version.txt", kMaxVersionFileSize, bytes)) return "";
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\n'));
}

#ifdef _WIN32
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    // "N": not inherited by programs started meanwhile.
    FILE* file = std::fopen(path.c_str(), "rbN");
    if (file == nullptr) return false;
    long long size = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) size = _ftelli64(file);
    bool ok = size >= 0 && static_cast<unsigned long long>(size) <= limit && _fseeki64(file, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    std::fclose(file);
    if (!ok) bytes.clear();
    return ok;
}
#else
// O_NONBLOCK keeps the open itself from waiting on a pipe; the type is
// checked on the descriptor, so nothing can be swapped in between.
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
              static_cast<unsigned long long>(info.st_size) <= limit;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ok = done == bytes.size();
    }
    ::close(fd);
    if (!ok) bytes.clear();
    return ok;
}
#endif

bool writeVersionFile(const std::string& dir, const std::string& version) {
    if (!createDirectory(dir)) {
        std::cerr << "[writeVersionFile] Failed to create directory: " << dir << std::endl;
        return false;
    }
    const std::string path = dir + "/version.txt";
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        std::cerr << "[writeVersionFile] Failed to open file for writing: " << path << std::endl;
        return false;
    }
    file << version;
    file.close();
    std::cout << "[writeVersionFile] Wrote version " << version << " to " << path << std::endl;
    return true;
}

bool createDirectory(const std::string& path) {
    if (pathExists(path)) return true;
    for (std::string::size_type pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string prefix = path.substr(0, pos);
        if (prefix.empty() || pathExists(prefix)) continue;
        if (!makeFolder(prefix)) {
            std::cerr << "[createDirectory] Failed to create: " << prefix << std::endl;
            return false;
        }
    }
    if (!makeFolder(path)) {
        std::cerr << "[createDirectory] Failed to create: " << path << std::endl;
        return false;
    }
    return true;
}

bool pathExists(const std::string& path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0;
#endif
}

#ifndef _WIN32
bool removeDirectory(const std::string& path) {
    std::cout << "[removeDirectory] Would remove: " << path << std::endl;
    return true;
}
#endif

std::string getTempDirectory() {
#ifdef _WIN32
    wchar_t value[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TEMP", value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "C:/Windows/Temp";
    int size = WideCharToMultiByte(CP_ACP, 0, value, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string temp(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, value, static_cast<int>(length), &temp[0], size, nullptr, nullptr);
    for (char& c : temp) {
        if (c == '\\') c = '/';
    }
    return temp;
#else
    return InstallerConfig::MAC_TEMP_DIR;
#endif
}

int executeCommandSilent(const std::string& command) {
#ifdef _WIN32
    return WindowsCommand::run(WindowsCommand::widen(command));
#else
    return std::system(command.c_str());
#endif
}

bool isWindowsCommandSpecial(unsigned char c) {
    switch (c) {
    case '\'':
    case '%':
    case '!':
    case '^':
    case '&':
    case '|':
    case '<':
    case '>':
    case ';':
        return true;
    default:
        return false;
    }
}

// * and ? are wildcards to del, and ? is what the ANSI file calls put in
// place of a character the code page lacks: such a path names other files.
bool isSafeWindowsCommandPath(const std::string& path) {
    if (path.empty()) return false;
    for (unsigned char c : path) {
        if (c == '"' || c == '*' || c == '?' || c < 0x20 || c == 0x7f || (c != '\'' && isWindowsCommandSpecial(c))) {
            return false;
        }
    }
    return true;
}

bool deletePath(const std::string& path) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        std::cout << "[deletePath] Path doesn't exist, nothing to delete: " << path << std::endl;
        return true;
    }
    if (!isSafeWindowsCommandPath(path)) {
        std::cerr << "[deletePath] Refusing unsafe path: " << path << std::endl;
        return false;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory) {
        std::cout << "[deletePath] Detected directory, using PowerShell Remove-Item -Recurse" << std::endl;
    } else {
        std::cout << "[deletePath] Detected file, using PowerShell Remove-Item" << std::endl;
    }
    const int code = WindowsCommand::run(
        WindowsCommand::removeItemCommand(WindowsCommand::toolFolder(), WindowsCommand::widen(path), directory));
    std::cout << "[deletePath] Command result: " << code << std::endl;
    if (code != 0) {
        std::cerr << "[deletePath] Failed to delete: " << path << " (exit code: " << code << ")" << std::endl;
        return false;
    }
    // Errors are silenced in the command, so its exit code proves nothing.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::cerr << "[deletePath] Path still exists after deletion: " << path << std::endl;
        return false;
    }
    return true;
#else
    return std::system(("rm -rf " + quoted(path)).c_str()) == 0;
#endif
}

bool copyDirectory(const std::string& src, const std::string& dst) {
    std::cout << "[copyDirectory] Copying from: " << src << " to: " << dst << std::endl;
#ifdef _WIN32
    if (!isSafeWindowsCommandPath(src) || !isSafeWindowsCommandPath(dst)) {
        std::cerr << "[copyDirectory] Refusing unsafe path" << std::endl;
        return false;
    }
    using namespace WindowsCommand;
    const std::wstring xcopy = xcopyCommand(toolFolder(), widen(src), widen(dst));
    std::cout << "[copyDirectory] Executing: " << narrow(xcopy) << std::endl;
    int code = run(xcopy);
    if (code == 0) {
        std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
        return true;
    }
    std::cerr << "[copyDirectory] xcopy failed with code " << code << ", trying robocopy..." << std::endl;
    const std::wstring robocopy = robocopyCommand(toolFolder(), widen(src), widen(dst));
    std::cout << "[copyDirectory] Executing: " << narrow(robocopy) << std::endl;
    code = run(robocopy);
    if (code >= 0 && code <= 7) {
        std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
        return true;
    }
    std::cerr << "[copyDirectory] robocopy failed with code " << code << std::endl;
    if (code == 16) {
        std::cerr << "[copyDirectory] ERROR: Serious error - robocopy did not copy any files" << std::endl;
    } else if (code > 0 && (code & 16)) {
        std::cerr << "[copyDirectory] ERROR: Fatal error occurred (likely access denied)" << std::endl;
        std::cerr << "[copyDirectory] HINT: Please run the installer as Administrator (Right-click -> Run as Administrator)"
                  << std::endl;
    }
    return false;
#else
    const std::string command = "cp -R " + quoted(src) + " " + quoted(dst);
    std::cout << "[copyDirectory] Executing: " << command << std::endl;
    const int status = std::system(command.c_str());
    if (status != 0) {
        std::cerr << "[copyDirectory] cp failed with code " << status << std::endl;
        return false;
    }
    std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
    return true;
#endif
}

bool killProcessByName(const std::string& name) {
#ifdef _WIN32
    using namespace WindowsCommand;
    const std::wstring command = taskkillCommand(toolFolder(), widen(name));
    std::cout << "[killProcessByName] Executing: " << narrow(command) << std::endl;
    const int code = run(command);
    if (code == 0) {
        std::cout << "[killProcessByName] Process terminated successfully" << std::endl;
        return true;
    }
    if (code == 128) {
        std::cout << "[killProcessByName] Process not running (ok)" << std::endl;
        return true;
    }
    std::cerr << "[killProcessByName] Failed with code " << code << std::endl;
    return false;
#else
    std::cout << "[killProcessByName] Attempting to stop process: " << name << std::endl;
    std::string base = name;
    const std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) {
        base = name.substr(slash + 1);
        std::cout << "[killProcessByName] Extracted base name: " << base << " from path: " << name << std::endl;
    }
    const std::string command = "pkill -9 " + quoted(base) + " 2>/dev/null";
    std::cout << "[killProcessByName] Executing: " << command << std::endl;
    const int status = std::system(command.c_str());
    std::cout << "[killProcessByName] Process termination attempted (code " << status << ")" << std::endl;
    return true;
#endif
}

bool launchMRVServer() {
    std::cout << "[launchMRVServer] Attempting to launch MRV Server..." << std::endl;
    const std::string program =
        InstallerConfig::Paths::RENDER_ENGINE_DIR + "/" + InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
    const std::string launcher =
        "import sys,os;sys.stdout=open(os.devnull,'w',buffering=1);sys.stderr=open(os.devnull,'w',buffering=1);"
        "sys.path.insert(0,'" +
        InstallerConfig::Paths::MRV_SERVER_DIR +
        "');exec('from launcher import launcher;launcher(show_splash=False)')";
#ifdef _WIN32
    const std::string workingDir = withBackslashes(InstallerConfig::Paths::MRV_SERVER_DIR);
    std::string commandLine = "\"" + withBackslashes(program) + "\" -I -c \"" + launcher + "\"";
    std::cout << "[launchMRVServer] Launching: " << commandLine << std::endl;
    std::cout << "[launchMRVServer] Working Dir: " << workingDir << std::endl;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        workingDir.c_str(), &startup, &process)) {
        std::cerr << "[launchMRVServer] Failed to launch process. Error: " << GetLastError() << std::endl;
        return false;
    }
    std::cout << "[launchMRVServer] Process launched with PID: " << process.dwProcessId << std::endl;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
#else
    std::cout << "[launchMRVServer] Launching: " << program << " -I -c " << launcher << std::endl;
    std::vector<std::string> args = {program, "-I", "-c", launcher};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    keepOnlyStandardDescriptors(&actions, &attributes);
    pid_t pid = 0;
    const int result = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        std::cerr << "[launchMRVServer] Failed to launch process. Error: " << result << std::endl;
        return false;
    }
    std::cout << "[launchMRVServer] Process launched with PID: " << pid << std::endl;
    return true;
#endif
}

bool isHostAppRunning() {
    std::cout << "[isHostAppRunning] Checking if Adobe host applications are running..." << std::endl;
#ifdef _WIN32
    using namespace WindowsCommand;
    if (run(processSearchCommand(toolFolder(), L"AfterFX.exe")) == 0) {
        std::cout << "[isHostAppRunning] After Effects process detected (AfterFX.exe)" << std::endl;
        return true;
    }
    if (run(processSearchCommand(toolFolder(), L"Adobe Premiere Pro.exe")) == 0) {
        std::cout << "[isHostAppRunning] Premiere Pro process detected (Adobe Premiere Pro.exe)" << std::endl;
        return true;
    }
#else
    if (std::system("pgrep \"^After Effects\" >/dev/null 2>&1") == 0) {
        std::cout << "[isHostAppRunning] After Effects process detected" << std::endl;
        return true;
    }
    if (std::system("pgrep \"^Adobe Premiere Pro\" >/dev/null 2>&1") == 0) {
        std::cout << "[isHostAppRunning] Premiere Pro process detected" << std::endl;
        return true;
    }
#endif
    std::cout << "[isHostAppRunning] No Adobe host applications running" << std::endl;
    return false;
}

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is invalid.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    std::uint32_t codePoint;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF) return 0;
    return length;
}

std::string unicodeEscape(unsigned value) {
    static const char* digits = "0123456789ABCDEF";
    std::string out = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(value >> shift) & 0xF];
    return out;
}

}  // namespace

std::string escapeStringBody(const std::string& text, EscapeFor target) {
    const bool script = target == EscapeFor::Script;
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += script ? "\\uFFFD" : "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        // U+2028 and U+2029 end a line inside a script's string literal.
        if (script && length == 3 && c == 0xE2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 3;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (script && c == '\'') {
                    out += "\\'";
                } else if (c < 0x20 || c == 0x7F) {
                    out += unicodeEscape(c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out;
}

std::string escapeJsonText(const std::string& text) { return escapeStringBody(text, EscapeFor::Json); }

std::string withValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}
