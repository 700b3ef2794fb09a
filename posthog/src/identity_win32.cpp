// The machine identity's Windows bodies: the adapters from
// GetAdaptersAddresses, and the id file in the shared data folder.
#include "posthog_internal.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <aclapi.h>

#include <vector>

namespace PostHog {

namespace MachineID {

unsigned long long systemNode() {
    ULONG size = 15000;
    std::vector<unsigned char> buffer(size, 0);
    ULONG result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                                        reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                                      reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return 0;
    for (auto* a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()); a != nullptr; a = a->Next) {
        if (a->PhysicalAddressLength != 6) continue;
        unsigned long long node = nodeFromBytes(a->PhysicalAddress);
        if (node != 0) return node;
    }
    return 0;
}

namespace {

// The process's own SIDs: its user, and the owner that its new files get
// (Administrators for the elevated program).
bool isCurrentUser(PSID owner) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool match = false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        match = EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, owner) != 0;
    }
    if (!match && GetTokenInformation(token, TokenOwner, buffer, sizeof(buffer), &size)) {
        match = EqualSid(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, owner) != 0;
    }
    CloseHandle(token);
    return match;
}

bool isOwnedByCurrentUser(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool ours = owner != nullptr && isCurrentUser(owner);
    LocalFree(descriptor);
    return ours;
}

// The facts come from the open handle itself, which is the link when the
// name is one (FILE_FLAG_OPEN_REPARSE_POINT), never what it leads to.
bool isOwnIdFileAt(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK &&
                         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    return isOwnIdFile({regular, info.nNumberOfLinks, isOwnedByCurrentUser(file)});
}

HANDLE openIdFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access | READ_CONTROL, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

// id.txt lies in a data folder where any user may create entries, and the
// elevated installer reads and writes it: a link, a second name of another
// file or another user's file planted as id.txt is neither read nor written.
bool readFirstLine(const std::string& path, std::string& line) {
    HANDLE file = openIdFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ours = isOwnIdFileAt(file);
    if (ours) {
        line.clear();
        char buffer[512];
        DWORD n = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0 && !appendToFirstLine(line, buffer, n)) {
        }
    }
    CloseHandle(file);
    return ours;
}

void writeId(const std::string& path, const std::string& id) {
    HANDLE file = openIdFile(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return;
    if (isOwnIdFileAt(file) && SetEndOfFile(file)) {
        DWORD written = 0;
        WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    }
    CloseHandle(file);
}

}  // namespace MachineID

}  // namespace PostHog
