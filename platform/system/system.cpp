// What the helpers share on every platform.
#include "system.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <sstream>
#include <string>

namespace System {

std::string trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string lastLines(const std::string& text, int n, bool (*keep)(const std::string& line)) {
    if (n <= 0) return "";
    std::istringstream in(text);
    std::deque<std::string> kept;
    std::string line;
    while (std::getline(in, line)) {
        if (keep != nullptr && !keep(line)) continue;
        if (kept.size() == static_cast<std::size_t>(n)) kept.pop_front();
        kept.push_back(line);
    }
    std::string joined;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) joined += "\n";
        joined += kept[i];
    }
    return joined;
}

std::size_t utf8SequenceLength(const std::string& text, std::size_t i, std::uint32_t* codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    std::uint32_t value;
    if (lead < 0x80) {
        length = 1;
        value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (overlong || surrogate || value > 0x10FFFF) return 0;
    if (codePoint != nullptr) *codePoint = value;
    return length;
}

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

}  // namespace System
