// jsEscape: whatever the text, the escaped form between double quotes is one
// JavaScript string literal (strict mode, also for engines that refuse a raw
// U+2028/U+2029), and its value is the text itself, or, when the text is not
// valid UTF-8, the text with U+FFFD for every byte that starts no character.
#include "fuzz_support.h"
#include "text_escape.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using zrvk_fuzz::check;
using zrvk_fuzz::fail;

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Saturates, so that any number of leading digits stays comparable with U+10FFFF.
uint32_t hexValue(const std::string& digits) {
    uint32_t value = 0;
    for (char c : digits) {
        const uint32_t digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        value = value > 0x10FFFF ? value : value * 16 + digit;
    }
    return value;
}

// Code points of UTF-8 source text; the literal must itself be valid UTF-8.
std::u32string sourceCodePoints(const std::string& text) {
    check(zrvk_fuzz::isValidUtf8(text), "escaped text is not valid UTF-8");
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const size_t length = zrvk_fuzz::wellFormedLength(text, i);
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out += static_cast<char32_t>(cp);
        i += length;
    }
    return out;
}

bool isLineTerminator(char32_t c) { return c == 0x0A || c == 0x0D || c == 0x2028 || c == 0x2029; }

// The value of "<body>" as a strict-mode string literal, in UTF-16 code units.
std::u16string literalValue(const std::string& body) {
    const std::u32string src = sourceCodePoints(body);
    std::u16string value;
    const auto unit = [&](uint32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            value += static_cast<char16_t>(0xD800 + (cp >> 10));
            value += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            value += static_cast<char16_t>(cp);
        }
    };
    const auto hexDigits = [&](size_t at, size_t count) {
        std::string digits;
        for (size_t k = 0; k < count; ++k) {
            check(at + k < src.size() && src[at + k] < 0x80 && isHex(static_cast<char>(src[at + k])),
                  "escape without its hexadecimal digits");
            digits += static_cast<char>(src[at + k]);
        }
        return hexValue(digits);
    };
    for (size_t i = 0; i < src.size(); ++i) {
        const char32_t c = src[i];
        if (c == U'"') fail("unescaped double quote ends the literal early");
        if (isLineTerminator(c)) fail("raw line terminator inside the literal");
        if (c != U'\\') {
            unit(c);
            continue;
        }
        check(i + 1 < src.size(), "backslash at the end escapes the closing quote");
        const char32_t e = src[++i];
        switch (e) {
            case U'b': unit(0x08); break;
            case U'f': unit(0x0C); break;
            case U'n': unit(0x0A); break;
            case U'r': unit(0x0D); break;
            case U't': unit(0x09); break;
            case U'v': unit(0x0B); break;
            case U'0':
                check(i + 1 >= src.size() || src[i + 1] < U'0' || src[i + 1] > U'9', "octal escape (refused in strict mode)");
                unit(0);
                break;
            case U'x':
                unit(hexDigits(i + 1, 2));
                i += 2;
                break;
            case U'u':
                if (i + 1 < src.size() && src[i + 1] == U'{') {
                    size_t close = i + 2;
                    while (close < src.size() && src[close] != U'}') ++close;
                    check(close < src.size() && close > i + 2, "unterminated \\u{...} escape");
                    const uint32_t cp = hexDigits(i + 2, close - i - 2);
                    check(cp <= 0x10FFFF, "\\u{...} beyond U+10FFFF");
                    unit(cp);
                    i = close;
                } else {
                    unit(hexDigits(i + 1, 4));
                    i += 4;
                }
                break;
            case U'\r':
                if (i + 1 < src.size() && src[i + 1] == U'\n') ++i;
                break;  // line continuation: no character
            case U'\n':
            case 0x2028:
            case 0x2029:
                break;
            default:
                check(e < U'1' || e > U'9', "octal or \\8 \\9 escape (refused in strict mode)");
                unit(e);
        }
    }
    return value;
}

std::string utf8OfUnits(const std::u16string& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            check(i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF, "lone high surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else {
            check(cp < 0xDC00 || cp > 0xDFFF, "lone low surrogate");
        }
        zrvk_fuzz::appendUtf8(out, cp);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string escaped = jsEscape(text);
    const std::string decoded = utf8OfUnits(literalValue(escaped));
    check(decoded == zrvk_fuzz::withReplacements(text), "the literal's value differs from the text");
    return 0;
}
