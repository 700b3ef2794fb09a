// Small helpers that the installer and the analytics library share.
#pragma once

#include <string>

namespace System {

// The program file's full path; empty when it cannot be told.
std::string executablePath();

// "macOS", "Windows" or "Linux".
const char* platformName();

// The text without the blanks (space, tab, CR, LF) at either end.
std::string trimmed(const std::string& text);

// The last n lines of text for which keep is true (every line when keep is
// null), joined with "\n"; empty when n is not positive.
std::string lastLines(const std::string& text, int n, bool (*keep)(const std::string& line));

}  // namespace System
