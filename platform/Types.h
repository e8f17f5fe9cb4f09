#pragma once
// The few Win32-style scalar types and wait results the rest of the program is written in.

// On Windows they are the system's own types (a DWORD is an unsigned long there), so that
// <windows.h> can follow these headers in the files that call the system; its macros of the
// same names then stand for the same values.

#include <cstdint>

#if defined(_WIN32)
using DWORD = unsigned long;
#else
using DWORD = std::uint32_t;
#endif
using BYTE = unsigned char;
using BOOL = int;

#if !defined(INFINITE)
// A time-out value that means "wait without limit".
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Results of the event and mutex waits.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Exit code reported for a thread that has not ended yet.
inline constexpr DWORD STILL_ACTIVE = 259;
#endif
