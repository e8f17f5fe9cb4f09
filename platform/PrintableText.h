#pragma once
// Names that come from outside (file names, device names, port box text) may hold control
// characters; printed raw, a line feed in a name would forge a line of the log or of a
// script's output. Text output shows them escaped instead.

#include <string>
#include <string_view>

// The text with every control character (below 0x20, and 0x7F) written as \n, \r, \t or \xHH.
// Other bytes, backslashes and UTF-8 included, stay as they are.
std::string EscapeControlChars(std::string_view text);
