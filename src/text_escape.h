// Texts placed into scripts for the page and into hand-written JSON: escaped
// so that they always parse and arrive unchanged.
#pragma once

#include <string>

// The body of a string literal: valid UTF-8 kept as it is; backslash, quote and
// control characters escaped; invalid UTF-8 replaced by U+FFFD. A script's
// literal also escapes the single quote and U+2028/U+2029.
enum class EscapeFor { Json, Script };
std::string escapeStringBody(const std::string& text, EscapeFor target);
// The body of a JSON string: valid UTF-8 kept as it is, quote, backslash and
// control bytes escaped, invalid UTF-8 replaced by U+FFFD, so a name read from
// disk comes back from the page unchanged. A reader of it gets
// System::withValidUtf8 of the text back.
std::string escapeJsonText(const std::string& text);

// Escapes a text for a double-quoted JavaScript string literal so that the
// script always parses and the text arrives unchanged: backslash, quotes,
// every control character, U+2028/U+2029; invalid UTF-8 becomes U+FFFD.
std::string jsEscape(const std::string& text);

// Text that an archive or a server controls, for a log line: a backslash is
// doubled and every control byte written as \xHH, so that the text can
// never end the line or write one of its own; everything else stays as it is.
std::string escapeForLog(const std::string& text);
