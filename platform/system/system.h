// Small helpers that the installer and the analytics library share.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Length of the well-formed UTF-8 sequence that starts at text[i], with its
// code point in *codePoint when asked; 0 when none starts there (a stray or
// cut byte, an overlong form, a surrogate, or beyond U+10FFFF).
std::size_t utf8SequenceLength(const std::string& text, std::size_t i, std::uint32_t* codePoint = nullptr);
// The text with each byte that starts no well-formed sequence replaced by U+FFFD.
std::string withValidUtf8(const std::string& text);

}  // namespace System
