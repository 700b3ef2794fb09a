// The machine identity's POSIX bodies: the adapters from getifaddrs, and the
// id file read and written without following links.
#include "posthog_internal.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <net/if_dl.h>
#else
#include <linux/if_packet.h>
#endif

#include <cerrno>

namespace PostHog {

namespace MachineID {

namespace {
// The list that a test hands in instead of the machine's own.
std::atomic<bool> g_useInterfaceList{false};
std::atomic<const struct ifaddrs*> g_interfaceList{nullptr};
}  // namespace

unsigned long long systemNode() {
    if (g_useInterfaceList.load()) return nodeFromInterfaceList(g_interfaceList.load());
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    unsigned long long node = nodeFromInterfaceList(list);
    freeifaddrs(list);
    return node;
}

unsigned long long nodeFromInterfaceList(const struct ifaddrs* list) {
    for (const struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const struct sockaddr* address = entry->ifa_addr;
        if (address == nullptr) continue;
#if defined(__APPLE__)
        if (address->sa_family != AF_LINK) continue;
        const struct sockaddr_dl* link = reinterpret_cast<const struct sockaddr_dl*>(address);
        if (link->sdl_alen != 6) continue;
        unsigned long long node = nodeFromBytes(reinterpret_cast<const unsigned char*>(LLADDR(link)));
#else
        if (address->sa_family != AF_PACKET) continue;
        const struct sockaddr_ll* link = reinterpret_cast<const struct sockaddr_ll*>(address);
        if (link->sll_halen != 6) continue;
        unsigned long long node = nodeFromBytes(link->sll_addr);
#endif
        if (node != 0) return node;
    }
    return 0;
}

namespace {
// The facts are read from the descriptor itself, so nothing can be swapped
// in between; O_NOFOLLOW already refuses a symbolic link.
bool isOwnIdFileAt(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return isOwnIdFile({S_ISREG(st.st_mode), static_cast<unsigned long long>(st.st_nlink), st.st_uid == geteuid()});
}
}  // namespace

// id.txt lies in a folder that every user may write: a link, a second name
// of another file or another user's file planted there is not read.
bool readFirstLine(const std::string& path, std::string& line) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (!isOwnIdFileAt(fd)) {
        close(fd);
        return false;
    }
    line.clear();
    char buffer[512];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0 || appendToFirstLine(line, buffer, static_cast<size_t>(n))) break;
    }
    close(fd);
    return true;
}

// A file made here is opened to every user through its own descriptor (the
// umask would narrow the creation mode), as the server chain leaves an
// existing one; nothing privileged ever changes its mode. Only its owner's
// runs read or rewrite it: any other run keeps to the computed id.
void writeId(const std::string& path, const std::string& id) {
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool created = true;
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = open(path.c_str(), flags);
    }
    if (fd < 0) return;
    if (isOwnIdFileAt(fd) && (!created || fchmod(fd, 0666) == 0) && ftruncate(fd, 0) == 0) {
        ssize_t written = write(fd, id.data(), id.size());
        (void)written;
    }
    close(fd);
}

}  // namespace MachineID

namespace Testing {

void setInterfaceList(const struct ifaddrs* list) {
    MachineID::g_interfaceList.store(list);
    MachineID::g_useInterfaceList.store(true);
}

void clearInterfaceList() {
    MachineID::g_useInterfaceList.store(false);
    MachineID::g_interfaceList.store(nullptr);
}

}  // namespace Testing

}  // namespace PostHog
