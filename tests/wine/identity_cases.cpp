// The machine identity from the adapters that GetAdaptersAddresses lists,
// and its id.txt as the Windows build reads and writes it.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "case_runner.h"
#include "windows_support.h"

#include "posthog.h"

#include <string>
#include <vector>

using namespace wintest;
namespace MachineID = PostHog::MachineID;

namespace {

// The first adapter with a 6-byte address that is not all zero, read here
// without the library's code; 0 when there is none.
unsigned long long firstAdapterNode() {
    ULONG size = 64 * 1024;
    std::vector<unsigned char> buffer(size);
    auto* list = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data());
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, list, &size) != NO_ERROR) return 0;
    for (auto* adapter = list; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->PhysicalAddressLength != 6) continue;
        unsigned long long node = 0;
        for (int i = 0; i < 6; ++i) node = (node << 8) | adapter->PhysicalAddress[i];
        if (node != 0) return node;
    }
    return 0;
}

}  // namespace

ZRVK_CASE(machineIdOfANodeUsesItsLowEighteenBits) {
    CHECK_EQ(MachineID::getHashedMacIdFromNode(0xa1b2c3d4e5f6ULL), std::string("4d3f1137-24c9-1edb-0253-2c11e8707613"));
    CHECK_EQ(MachineID::getHashedMacIdFromNode(0x000123c4e5f6ULL), std::string("4d3f1137-24c9-1edb-0253-2c11e8707613"));
    CHECK_EQ(MachineID::getHashedMacIdFromNode(0), std::string());
}

ZRVK_CASE(machineIdComesFromTheFirstUsableAdapter) {
    const unsigned long long node = firstAdapterNode();
    const std::string expected = node != 0 ? MachineID::getHashedMacIdFromNode(node) : std::string();
    CHECK_EQ(MachineID::getHashedMacId(), expected);
    CHECK_EQ(PostHog::Client::generateMachineId(), expected);
}

ZRVK_CASE(machineIdFileKeepsItsFirstLine) {
    const std::string path = caseFolder() + "/id.txt";
    writeFile(path, "  abc \r\nsecond line\r\n");
    CHECK_EQ(MachineID::getHashedMacIdWithFallback(path), std::string("abc"));
    CHECK_EQ(readFile(path), std::string("  abc \r\nsecond line\r\n"));
}

ZRVK_CASE(machineIdFileIsWrittenWhenMissingOrBlank) {
    const std::string id = MachineID::getHashedMacId();
    if (id.empty()) skip("no adapter with a hardware address");
    const std::string path = caseFolder() + "/id.txt";
    CHECK_EQ(MachineID::getHashedMacIdWithFallback(path), id);
    CHECK_EQ(readFile(path), id);
    CHECK_EQ(readFile(path).size(), std::size_t(36));

    writeFile(path, "\r\nlater line\r\n");
    CHECK_EQ(PostHog::Client::generateMachineId(path), id);
    CHECK_EQ(readFile(path), id);
}

// The elevated installer reads and writes id.txt in a folder where any user
// may create entries: a link or a second name of another file there is
// neither read (its first line would be sent as the id) nor written through.
ZRVK_CASE(machineIdFileIsNotReadOrWrittenThroughALinkOrASecondName) {
    const std::string id = MachineID::getHashedMacId();
    if (id.empty()) skip("no adapter with a hardware address");
    const std::string victim = caseFolder() + "/victim.txt";
    const std::string hardLink = caseFolder() + "/hard/id.txt";
    makeFolders(caseFolder() + "/hard");
    for (const char* content : {"", "secret first line\r\n", "\r\nsecret second line\r\n"}) {
        DeleteFileA(hardLink.c_str());
        writeFile(victim, content);
        REQUIRE(CreateHardLinkA(hardLink.c_str(), victim.c_str(), nullptr));
        CHECK_EQ(MachineID::getHashedMacIdWithFallback(hardLink), id);
        CHECK_EQ(readFile(victim), std::string(content));
    }

    skipUnderWine("wine shows a Unix link to a file as the file itself (the hard link was checked)");
    const std::string linked = caseFolder() + "/linked/id.txt";
    makeFolders(caseFolder() + "/linked");
    REQUIRE(makeLink(linked, victim));
    CHECK_EQ(MachineID::getHashedMacIdWithFallback(linked), id);
    CHECK_EQ(readFile(victim), std::string("\r\nsecret second line\r\n"));
    removeLink(linked);
}
