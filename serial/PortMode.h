#pragma once
// The port settings record callers fill, and the line-state record in the role of Win32's DCB.

#include "platform/Types.h"

#include <climits>

// Long enough for the system's device paths (/dev/serial/by-id/... names run past 100
// characters) and for simulated-port names with their options. A name that does not fit
// is refused by Open, never cut short or written past the field.
inline constexpr int PORTMODE_PORT_CHARS = 256;

struct PORTMODE {
    DWORD cbSize;                     // callers store 32; not read
    char szPort[PORTMODE_PORT_CHARS]; // NUL-terminated port name; only Open reads it
    DWORD dwBaudRate;
    BYTE byParity;     // DCB parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space
    BYTE byByteSize;   // data bits
    BYTE byStopBits;   // DCB stop code: 0 one, 1 one and a half, 2 two
    BYTE byRtsControl; // low 2 bits: 0 RTS held inactive, 1 RTS raised, 2 handshake, 3 toggle
    DWORD dwReserved;  // callers store 0xFFFFFFFF; not read
};

// Parity and stop-bit codes of the line-state record.
inline constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr BYTE RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                      RTS_CONTROL_TOGGLE = 3;

// The line state: what GetPortMode reads and the DCB form of SetPortMode applies.
struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 9600;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false; // hardware and software flow control stay off on this line
    bool fOutxDsrFlow = false;
    bool fOutX = false;
    bool fInX = false;
    bool fNull = false; // false: received NUL bytes are kept
    BYTE fRtsControl = RTS_CONTROL_DISABLE;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
};

// EscapeFunction codes.
inline constexpr DWORD SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6;
