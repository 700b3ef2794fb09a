// What the fuzz targets share: stopping with a message the fuzzer keeps,
// private folders made and removed per input without following links, and
// the text a string must come back as after invalid UTF-8 is replaced.
#pragma once

#include <ftw.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zrvk_fuzz {

// A broken property: the message goes to the sanitizer's report (which
// stays open when the fuzzer closes standard error) and abort() makes
// libFuzzer save the input that caused it.
[[noreturn]] inline void fail(const std::string& what) {
    __sanitizer_report_error_summary(("zrvk-fuzz: property broken: " + what).c_str());
    std::abort();
}

inline void check(bool holds, const std::string& what) {
    if (!holds) fail(what);
}

inline int removeOne(const char* path, const struct stat*, int, struct FTW*) {
    std::remove(path);
    return 0;
}

// Removes a tree; links are removed, never followed.
inline void removeTree(const std::string& path) {
    nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

// A folder of its own under TMPDIR (or /tmp), removed with everything in it.
class PrivateFolder {
public:
    PrivateFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zrvk-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) fail("cannot make a private folder under " + pattern);
        char* real = realpath(pattern.c_str(), nullptr);
        path_ = real ? real : pattern;
        std::free(real);
    }
    ~PrivateFolder() { removeTree(path_); }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline bool writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

// Length of the well-formed UTF-8 sequence at text[i] (Unicode table 3-7),
// 0 when none starts there.
inline size_t wellFormedLength(const std::string& text, size_t i) {
    const auto at = [&](size_t k) -> unsigned { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100; };
    const auto in = [](unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    const unsigned b0 = at(i), b1 = at(i + 1), b2 = at(i + 2), b3 = at(i + 3);
    if (b0 <= 0x7F) return 1;
    if (in(b0, 0xC2, 0xDF)) return in(b1, 0x80, 0xBF) ? 2 : 0;
    if (b0 == 0xE0) return in(b1, 0xA0, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
    if (in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xED) return in(b1, 0x80, 0x9F) && in(b2, 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xF0) return in(b1, 0x90, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
    if (in(b0, 0xF1, 0xF3)) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
    if (b0 == 0xF4) return in(b1, 0x80, 0x8F) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
    return 0;
}

inline bool isValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = wellFormedLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// The text with every byte that starts no well-formed sequence replaced by
// U+FFFD, one replacement per byte.
inline std::string withReplacements(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t length = wellFormedLength(text, i);
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

// UTF-8 of one code point (no surrogates).
inline void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace zrvk_fuzz
