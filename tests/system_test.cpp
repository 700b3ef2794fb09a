// The helpers that the installer and the analytics library share: the last
// lines of a text, trimming, the platform's name and the program file's own path.
#include "system.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <utility>

namespace {

bool notBlankOrBanner(const std::string& line) { return !line.empty() && line.find("====") == std::string::npos; }

}  // namespace

TEST(SystemTrimmed, TakesBlanksOffBothEndsOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {" \t\r\n", ""}, {"1.2.3", "1.2.3"}, {"  1.2.3\r\n", "1.2.3"}, {"\ta b\t", "a b"}, {"x\n", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(System::trimmed(c.first), c.second) << c.first;
}

TEST(SystemLastLines, KeepsTheLastNKeptLinesJoined) {
    struct Case {
        const char* text;
        int n;
        bool (*keep)(const std::string&);
        const char* expected;
    };
    const Case cases[] = {
        {"a\nb\nc\n", 2, nullptr, "b\nc"},
        {"a\nb\nc", 5, nullptr, "a\nb\nc"},
        {"====\na\n\n====\nb\n", 3, nullptr, "\n====\nb"},
        {"a\n\nb\n", 3, nullptr, "a\n\nb"},
        {"a\n\nb\n\n", 3, nullptr, "\nb\n"},
        {"====\na\n\n====\nb\n", 3, notBlankOrBanner, "a\nb"},
        {"x\n== a ====\ny\n\nz\n", 2, notBlankOrBanner, "y\nz"},
        {"a\r\nb\r\n", 5, nullptr, "a\r\nb\r"},
        {"", 3, nullptr, ""},
        {"\n\n", 3, notBlankOrBanner, ""},
        {"a\nb\n", 0, nullptr, ""},
        {"a\nb\n", -1, nullptr, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(System::lastLines(c.text, c.n, c.keep), c.expected) << "text: " << c.text << " n: " << c.n;
    }
}

TEST(SystemPlatform, NameOfThisPlatform) { EXPECT_STREQ(System::platformName(), "Linux"); }

TEST(SystemPlatform, ExecutablePathIsThisProgramFile) {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
    ASSERT_GT(length, 0);
    const std::string path = System::executablePath();
    EXPECT_EQ(path, std::string(buffer, static_cast<size_t>(length)));
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "zrvk_system_tests");
}
