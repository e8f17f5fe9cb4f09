#pragma once
// The few Win32-style scalar types and wait results the rest of the program is written in.

#include <cstdint>

using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using BOOL = int;

// A time-out value that means "wait without limit".
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Results of the event and mutex waits.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Exit code reported for a thread that has not ended yet.
inline constexpr DWORD STILL_ACTIVE = 259;
