#pragma once
// The termios2 side of the termios line: any integer rate through BOTHER, the raw line with
// breaks and errors marked, and the few other settings calls. The kernel's <asm/termbits.h>
// clashes with glibc's <termios.h>, so this header speaks plain types only and its source
// file is the one place that includes the kernel's definitions.

// Framing of the line. Parity and stop codes are those of the line-state record.
struct Termios2Frame {
    unsigned nBaud = 9600;
    int nDataBits = 8; // 5 .. 8
    int nParity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int nStopBits = 0; // 0 one, 1 one and a half (5 data bits only), 2 two
    bool bRtsCts = false;
};

enum class Termios2Result {
    Ok,
    Failed,     // the descriptor refused the call (errno tells why)
    Refused,    // the framing is not one the line can take (bad field, or not kept)
    RateMissed, // the driver's rate misses the request by more than 2 %
};

// True when fd is a terminal that answers TCGETS2.
bool Termios2IsTerminal(int fd);

// Makes the transfer raw and 8-bit clean with flow control off and NUL bytes kept, breaks
// and bytes received with errors marked (PARMRK with INPCK; IGNBRK, BRKINT, ISTRIP and IGNPAR
// clear), receiver on, modem status ignored, reads that return at once (VMIN 1, VTIME 0 on a
// non-blocking descriptor). Speed and framing stay as they are.
Termios2Result Termios2MakeRaw(int fd);

// Applies rate and framing (and the raw settings with them), then reads them back. A rate
// the driver rounds by more than 2 %, or framing it does not keep, restores the settings the
// line had before and reports the failure. *pnActualBaud gets the rate read back.
Termios2Result Termios2ApplyFrame(int fd, const Termios2Frame& frame, unsigned* pnActualBaud);

// The output and input rates as the line reports them (on a pseudo-terminal's master side:
// the rates of its slave).
bool Termios2GetRates(int fd, unsigned* pnOutBaud, unsigned* pnInBaud);

// The framing the line holds now (rate, data bits, parity, stop bits, RTS/CTS), and whether
// the raw, marked settings are all in place.
bool Termios2GetFrame(int fd, Termios2Frame* pFrame, bool* pbRawMarked);

// Discards bytes not yet sent (so that close does not wait for them).
bool Termios2FlushOutput(int fd);

// The line's settings as they were found, kept so that closing can give them back (the port
// leaves a device as it found it: a console or modem program that uses it next expects its own
// settings, not a raw line).
struct Termios2Saved {
    alignas(8) unsigned char bytes[64] = {};
    bool bValid = false;
};
bool Termios2Save(int fd, Termios2Saved* pSaved);
// Puts saved settings back (nothing when none were saved).
bool Termios2Restore(int fd, const Termios2Saved& saved);
