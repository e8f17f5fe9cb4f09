#pragma once
// Writing a whole text to a descriptor: standard output and error, a pipe, a log file
// (WriteAll.cpp, WriteAll_win32.cpp).

#include <string_view>

// Writes all of text, retrying after interruptions and short writes. False when the descriptor
// refused (a closed pipe, a full disk); the caller then stops writing there.
bool WriteAll(int fd, std::string_view text);

// Appends all of text to a file that other processes append to as well (a log file two sessions
// share): under an exclusive lock of the file, so that no other append lands inside it, and all
// or nothing: a write that fails (a full disk) cuts the file back to where it ended. False, with
// errno set, when it failed. strFirst goes before text when the file is empty (a CSV file's
// header row): the lock makes "empty? then the header" and the text one step.
bool AppendWhole(int fd, std::string_view text, std::string_view strFirst = {});
