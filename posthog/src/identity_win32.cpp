// The machine identity's Windows bodies: the adapters from
// GetAdaptersAddresses, and the id file in the shared data folder.
#include "posthog_internal.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <fstream>
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

bool readFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    std::getline(in, line);
    return true;
}

// id.txt lies in a data folder where any user may create entries, and the
// elevated installer writes it: a link, or a second name of another file,
// planted as id.txt is not written through.
void writeId(const std::string& path, const std::string& id) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        info.nNumberOfLinks == 1 && SetEndOfFile(file)) {
        DWORD written = 0;
        WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    }
    CloseHandle(file);
}

}  // namespace MachineID

}  // namespace PostHog
