#include "text_escape.h"

#include "system.h"

namespace {

const char* const kHexDigits = "0123456789ABCDEF";

std::string unicodeEscape(unsigned value) {
    std::string out = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(value >> shift) & 0xF];
    return out;
}

}  // namespace

std::string escapeStringBody(const std::string& text, EscapeFor target) {
    const bool script = target == EscapeFor::Script;
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = System::utf8SequenceLength(text, i);
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

std::string escapeForLog(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}
