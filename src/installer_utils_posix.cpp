// The utilities' bodies on macOS and Linux: shell commands through system(),
// the server started with posix_spawn.
#include "installer_utils.h"

#include "installer_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

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

}  // namespace

bool makeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

// O_NONBLOCK keeps the open itself from waiting on a pipe; the type is
// checked on the descriptor, so nothing can be swapped in between.
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const bool ok = readRegularDescriptor(fd, limit, bytes);
    ::close(fd);
    return ok;
}

bool readRegularDescriptor(int fd, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
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
    if (!ok) bytes.clear();
    return ok;
}

bool replaceWithNewFile(const std::string& path, const std::string& content) {
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            deletePath(path);
        } else {
            ::unlink(path.c_str());
        }
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = writeAll(fd, content.data(), content.size());
    return ::close(fd) == 0 && written;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info;
        FolderEntry found{name, false, false};
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            found.isLink = S_ISLNK(info.st_mode);
            found.isFolder = S_ISDIR(info.st_mode);
        }
        entries.push_back(found);
    }
    closedir(dir);
    return true;
}

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool isOwnedOnDisk(const std::string& path, const std::string& anchor, unsigned owner) {
    if (path.compare(0, anchor.size(), anchor) != 0) return false;
    std::string::size_type end = anchor.size();
    for (;;) {
        struct stat info;
        if (lstat(path.substr(0, end).c_str(), &info) != 0) return true;
        if (S_ISLNK(info.st_mode)) return false;
        if (!S_ISDIR(info.st_mode)) return end == path.size();
        if (info.st_uid != owner) return false;
        if (end >= path.size()) return true;
        end = path.find('/', end + 1);
        if (end == std::string::npos) end = path.size();
    }
}

bool removeDirectory(const std::string& path) {
    std::cout << "[removeDirectory] Would remove: " << path << std::endl;
    return true;
}

std::string getTempDirectory() { return InstallerConfig::MAC_TEMP_DIR; }

int executeCommandSilent(const std::string& command) { return std::system(command.c_str()); }

bool deletePath(const std::string& path) { return std::system(("rm -rf " + quoted(path)).c_str()) == 0; }

bool copyDirectory(const std::string& src, const std::string& dst) {
    std::cout << "[copyDirectory] Copying from: " << src << " to: " << dst << std::endl;
    const std::string command = "cp -R " + quoted(src) + " " + quoted(dst);
    std::cout << "[copyDirectory] Executing: " << command << std::endl;
    const int status = std::system(command.c_str());
    if (status != 0) {
        std::cerr << "[copyDirectory] cp failed with code " << status << std::endl;
        return false;
    }
    std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
    return true;
}

bool killProcessByName(const std::string& name) {
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
}

bool launchMRVServer() {
    std::cout << "[launchMRVServer] Attempting to launch MRV Server..." << std::endl;
    const std::string program =
        InstallerConfig::Paths::RENDER_ENGINE_DIR + "/" + InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
    const std::string launcher = serverLauncherScript();
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
}

bool isHostAppRunning() {
    std::cout << "[isHostAppRunning] Checking if Adobe host applications are running..." << std::endl;
    if (std::system("pgrep \"^After Effects\" >/dev/null 2>&1") == 0) {
        std::cout << "[isHostAppRunning] After Effects process detected" << std::endl;
        return true;
    }
    if (std::system("pgrep \"^Adobe Premiere Pro\" >/dev/null 2>&1") == 0) {
        std::cout << "[isHostAppRunning] Premiere Pro process detected" << std::endl;
        return true;
    }
    std::cout << "[isHostAppRunning] No Adobe host applications running" << std::endl;
    return false;
}
