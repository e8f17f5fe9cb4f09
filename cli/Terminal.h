#pragma once
// Small helpers for writing to terminals (WriteAll, for any descriptor, is the platform's).

#include "platform/WriteAll.h"

#include <cstddef>
#include <string_view>

namespace cli {

// True when fd is a terminal that understands cursor movement (not TERM=dumb).
bool IsCapableTerminal(int fd);

// The terminal's width in columns; 80 when it cannot be read.
int TerminalColumns(int fd);
// Its height in lines; 24 when it cannot be read.
int TerminalLines(int fd);

// Columns a UTF-8 text takes: one per character, control characters none.
std::size_t DisplayColumns(std::string_view text);

// The longest start of text that fits in nColumns columns, never cutting a UTF-8 sequence.
std::string_view FitColumns(std::string_view text, std::size_t nColumns);

} // namespace cli
