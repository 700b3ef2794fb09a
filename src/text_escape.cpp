#include "text_escape.h"

#include <cstdint>

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is invalid.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    std::uint32_t codePoint;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF) return 0;
    return length;
}

std::string unicodeEscape(unsigned value) {
    static const char* digits = "0123456789ABCDEF";
    std::string out = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(value >> shift) & 0xF];
    return out;
}

}  // namespace

std::string escapeStringBody(const std::string& text, EscapeFor target) {
    const bool script = target == EscapeFor::Script;
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += script ? "\\uFFFD" : "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        // U+2028 and U+2029 end a line inside a script's string literal.
        if (script && length == 3 && c == 0xE2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 3;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (script && c == '\'') {
                    out += "\\'";
                } else if (c < 0x20 || c == 0x7F) {
                    out += unicodeEscape(c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out;
}

std::string escapeJsonText(const std::string& text) { return escapeStringBody(text, EscapeFor::Json); }

std::string jsEscape(const std::string& text) { return escapeStringBody(text, EscapeFor::Script); }

std::string withValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
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
