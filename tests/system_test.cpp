// The helpers that the installer and the analytics library share: the last
// lines of a text, trimming, the UTF-8 check, the platform's name and the
// program file's own path.
#include "system.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
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

// The one UTF-8 check behind the page's escaping, the web view's bound names
// and the analytics documents.
TEST(SystemUtf8, SequenceLengthAcceptsOnlyWellFormedSequences) {
    struct Case {
        std::string text;
        std::size_t length;
        std::uint32_t codePoint;
    } cases[] = {
        {"A", 1, 'A'},
        {std::string("\0", 1), 1, 0},
        {"\xC3\xA9", 2, 0xE9},
        {"\xE2\x80\xA8", 3, 0x2028},
        {"\xEF\xBF\xBD", 3, 0xFFFD},
        {"\xF0\x9F\x98\x80", 4, 0x1F600},
        {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
        {"\x80", 0, 0},              // a continuation byte alone
        {"\xC0\xAF", 0, 0},          // overlong forms
        {"\xC1\xBF", 0, 0},
        {"\xE0\x80\xAF", 0, 0},
        {"\xF0\x80\x80\xAF", 0, 0},
        {"\xED\xA0\x80", 0, 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0, 0},  // beyond U+10FFFF
        {"\xF5\x80\x80\x80", 0, 0},
        {"\xE2\x80", 0, 0},          // cut
        {"\xE2\x28\xA1", 0, 0},      // a continuation missing
        {"\xFF", 0, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t codePoint = 0xDEAD;
        EXPECT_EQ(System::utf8SequenceLength(c.text, 0, &codePoint), c.length) << c.text;
        if (c.length > 0) {
            EXPECT_EQ(codePoint, c.codePoint) << c.text;
        }
    }
    EXPECT_EQ(System::utf8SequenceLength("a\xC3\xA9", 1), 2u) << "from the given byte on";
}

TEST(SystemUtf8, EachByteThatStartsNoCharacterBecomesOneReplacement) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"Caf\xC3\xA9 \xE2\x9C\x93", "Caf\xC3\xA9 \xE2\x9C\x93"},
        {"caf\xE9", "caf" + fffd},
        {"x\xFF\xFEy", "x" + fffd + fffd + "y"},
        {"cut \xE2\x80", "cut " + fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
    };
    for (const auto& c : cases) EXPECT_EQ(System::withValidUtf8(c.first), c.second) << c.first;
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
