#pragma once
// Writing a whole text to a descriptor: standard output and error, a pipe, a log file
// (WriteAll.cpp, WriteAll_win32.cpp).

#include <string_view>

// Writes all of text, retrying after interruptions and short writes. False when the descriptor
// refused (a closed pipe, a full disk); the caller then stops writing there.
bool WriteAll(int fd, std::string_view text);
