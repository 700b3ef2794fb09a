// Machine identity from hand-built interface lists and id.txt fixtures.
#include "posthog.h"
#include "posthog_internal.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using zrvk_test::readFile;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

const char* const ID_A1B2 = "4d3f1137-24c9-1edb-0253-2c11e8707613";  // a1:b2:c3:d4:e5:f6

// An ifaddrs list built by hand, entries in the given order.
class InterfaceList {
public:
    void addLink(const std::vector<unsigned char>& address) {
        sockaddr_ll link;
        std::memset(&link, 0, sizeof(link));
        link.sll_family = AF_PACKET;
        link.sll_halen = static_cast<unsigned char>(address.size());
        std::memcpy(link.sll_addr, address.data(), std::min<size_t>(address.size(), sizeof(link.sll_addr)));
        links.push_back(link);
        add(reinterpret_cast<sockaddr*>(&links.back()));
    }
    void addInet() {
        sockaddr_in inet;
        std::memset(&inet, 0, sizeof(inet));
        inet.sin_family = AF_INET;
        inets.push_back(inet);
        add(reinterpret_cast<sockaddr*>(&inets.back()));
    }
    // AF_LINK's number on the other platform, as a non-link entry here.
    void addForeignFamily18(const std::vector<unsigned char>& address) {
        sockaddr_ll link;
        std::memset(&link, 0, sizeof(link));
        link.sll_family = 18;
        link.sll_halen = 6;
        std::memcpy(link.sll_addr, address.data(), 6);
        links.push_back(link);
        add(reinterpret_cast<sockaddr*>(&links.back()));
    }
    void addNoAddress() { add(nullptr); }
    const ifaddrs* head() {
        for (size_t i = 0; i < entries.size(); ++i) entries[i].ifa_next = i + 1 < entries.size() ? &entries[i + 1] : nullptr;
        return entries.empty() ? nullptr : &entries[0];
    }

private:
    void add(sockaddr* address) {
        ifaddrs entry;
        std::memset(&entry, 0, sizeof(entry));
        entry.ifa_name = const_cast<char*>("test0");
        entry.ifa_addr = address;
        entries.push_back(entry);
    }
    std::deque<sockaddr_ll> links;
    std::deque<sockaddr_in> inets;
    std::deque<ifaddrs> entries;
};

struct InterfaceSeam {
    explicit InterfaceSeam(const ifaddrs* list) { PostHog::Testing::setInterfaceList(list); }
    ~InterfaceSeam() { PostHog::Testing::clearInterfaceList(); }
};

}  // namespace

TEST(MachineId, NodeGivesTheDigestOfItsLow18Bits) {
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdFromNode(0xa1b2c3d4e5f6ULL), ID_A1B2);
    // Differs only above bit 17: the same id.
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdFromNode(0x000123c4e5f6ULL), ID_A1B2);
    EXPECT_NE(PostHog::MachineID::getHashedMacIdFromNode(0xa1b2c3d4e5f7ULL), ID_A1B2);
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdFromNode(0), "");
}

TEST(MachineId, TakesTheFirstNonZeroSixByteLinkAddressInListOrder) {
    struct Case {
        const char* name;
        void (*build)(InterfaceList&);
        unsigned long long node;
    };
    const Case cases[] = {
        {"first usable wins",
         [](InterfaceList& l) {
             l.addLink({0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6});
             l.addLink({0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
         },
         0xa1b2c3d4e5f6ULL},
        {"zero address, other families, missing addresses and other lengths are passed over",
         [](InterfaceList& l) {
             l.addNoAddress();
             l.addInet();
             l.addLink({0, 0, 0, 0, 0, 0});
             l.addLink({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
             l.addLink({0x11, 0x22, 0x33, 0x44});
             l.addForeignFamily18({0x99, 0x99, 0x99, 0x99, 0x99, 0x99});
             l.addLink({0x00, 0x01, 0x23, 0xc4, 0xe5, 0xf6});
         },
         0x000123c4e5f6ULL},
        {"only all-zero link addresses", [](InterfaceList& l) { l.addLink({0, 0, 0, 0, 0, 0}); }, 0},
        {"empty list", [](InterfaceList&) {}, 0},
    };
    for (const Case& c : cases) {
        InterfaceList list;
        c.build(list);
        const ifaddrs* head = list.head();
        EXPECT_EQ(PostHog::MachineID::nodeFromInterfaceList(head), c.node) << c.name;
        InterfaceSeam seam(head);
        EXPECT_EQ(PostHog::MachineID::getHashedMacId(), PostHog::MachineID::getHashedMacIdFromNode(c.node)) << c.name;
    }
}

class IdFile : public ::testing::Test {
protected:
    void SetUp() override {
        list.addLink({0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6});
        seam.reset(new InterfaceSeam(list.head()));
    }
    void TearDown() override { seam.reset(); }
    std::string path() { return dir / "id.txt"; }

    TempDir dir;
    InterfaceList list;
    std::unique_ptr<InterfaceSeam> seam;
};

TEST_F(IdFile, FirstLineIsTrimmedAndTheFileLeftAlone) {
    const std::string content = "  \tabc \r\nsecond line\n";
    writeFile(path(), content);
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), "abc");
    EXPECT_EQ(readFile(path()), content);
}

TEST_F(IdFile, MissingEmptyOrBlankFirstLineIsComputedAndWrittenAlone) {
    for (const char* content : {static_cast<const char*>(nullptr), "", "\nlater text\n", " \t\r\n"}) {
        std::remove(path().c_str());
        if (content) writeFile(path(), content);
        EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), ID_A1B2);
        EXPECT_EQ(readFile(path()), ID_A1B2) << "exactly the id, no line end";
        EXPECT_EQ(readFile(path()).size(), 36u);
    }
}

TEST_F(IdFile, AFileItMakesIsWritableByEveryUserAndAnExistingOneKeepsItsMode) {
    const mode_t saved = umask(022);
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), ID_A1B2);
    struct stat st {};
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    writeFile(path(), "");
    ASSERT_EQ(chmod(path().c_str(), 0600), 0);
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), ID_A1B2);
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(path()), ID_A1B2);
    umask(saved);
}

TEST_F(IdFile, AnyTextIsAcceptedEvenInvalidUtf8) {
    writeFile(path(), "id-\xff\xfe-x\n");
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), "id-\xff\xfe-x");
}

TEST_F(IdFile, EmptyPathOrMissingFolderStillGivesTheIdAndWritesNothing) {
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(""), ID_A1B2);
    const std::string inMissing = dir / "missing/id.txt";
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(inMissing), ID_A1B2);
    EXPECT_EQ(readFile(inMissing), "");
}

TEST_F(IdFile, NoHardwareAddressGivesNothingAndWritesNothing) {
    InterfaceList none;
    InterfaceSeam noAddress(none.head());
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), "");
    EXPECT_EQ(readFile(path()), "");
    EXPECT_EQ(PostHog::Client::generateMachineId(), "");
}

TEST(IdFileFacts, OnlyARegularFileWithOneNameOfTheCurrentUserIsOurs) {
    struct Case {
        const char* name;
        PostHog::MachineID::IdFileFacts facts;
        bool ours;
    };
    const Case cases[] = {
        {"our own file", {true, 1, true}, true},
        {"a second name of a file", {true, 2, true}, false},
        {"no name left", {true, 0, true}, false},
        {"another user's file", {true, 1, false}, false},
        {"not a regular file", {false, 1, true}, false},
        {"nothing of ours", {false, 3, false}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(PostHog::MachineID::isOwnIdFile(c.facts), c.ours) << c.name;
}

// Another user can plant, in the shared folder, a link or a second name of
// a file of the installing user: its first line would be sent as the id, and
// a blank one would have been rewritten with the id.
TEST_F(IdFile, ALinkOrASecondNameInTheSharedFolderIsNeitherReadNorWrittenThrough) {
    struct Case {
        const char* name;
        int (*plant)(const char* target, const char* at);
        const char* content;
    };
    const Case cases[] = {
        {"symbolic link", symlink, "secret first line\n"},
        {"symbolic link to a blank line", symlink, "\nsecret second line\n"},
        {"hard link", link, "secret first line\n"},
        {"hard link to a blank line", link, "\nsecret second line\n"},
        {"hard link to an empty file", link, ""},
    };
    for (const Case& c : cases) {
        const std::string target = dir / "elsewhere.txt";
        std::remove(path().c_str());
        writeFile(target, c.content);
        ASSERT_EQ(c.plant(target.c_str(), path().c_str()), 0) << c.name;
        EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), ID_A1B2) << c.name;
        EXPECT_EQ(readFile(target), c.content) << c.name;
    }
}

TEST_F(IdFile, AnotherUsersFileIsNeitherReadNorWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    for (const char* content : {"their id\n", "\ntheir second line\n", ""}) {
        std::remove(path().c_str());
        writeFile(path(), content);
        ASSERT_EQ(chown(path().c_str(), 65534, 65534), 0);
        EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(path()), ID_A1B2) << content;
        EXPECT_EQ(readFile(path()), content);
    }
}
