// What the helpers share on every platform.
#include "system.h"

#include <cstddef>
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

}  // namespace System
