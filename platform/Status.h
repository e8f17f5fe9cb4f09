#pragma once
// 32-bit status codes: 0 is success, failures have the top bit set.

// On Windows HRESULT is the system's own (a long); <windows.h> may follow this header.

#include <cstdint>

#if defined(_WIN32)
using HRESULT = long;
#else
using HRESULT = std::int32_t;
#endif

inline constexpr HRESULT MakeStatus(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

#if !defined(S_OK)
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = MakeStatus(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeStatus(0x8000FFFFu);
inline constexpr HRESULT E_INVALIDARG = MakeStatus(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeStatus(0x8007000Eu);
inline constexpr HRESULT E_NOTIMPL = MakeStatus(0x80004001u);
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
#endif
// The serial port could not be opened or set up.
inline constexpr HRESULT E_PORT_OPEN_FAILED = MakeStatus(0x800A0003u);
