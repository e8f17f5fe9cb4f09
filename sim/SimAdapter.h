#pragma once
// The USB adapter (or built-in UART) on the host's side of a "sim:" line (adapter=). Each
// model changes only what the host sees, as the real chip and its Linux driver would:
//   uart     a built-in UART: every break both ways, exact rates, no USB latency;
//   ftdi     an FTDI FT232R with its latency timer at 1 ms: received bytes are handed over
//            in 1 ms batches;
//   ftdi16   the same at the timer's default of 16 ms;
//   cp2102   a CP2102: the rate rounds up to the chip's table (738 runs as 1200);
//   cp2102n  a CP2102N: exact rates;
//   ch340    a CH340: a received break is never reported (it comes as a plain 0x00), and the
//            host's break is faked as a 0x00 sent at about 51 baud (196 ms, whatever the break's
//            length), during which what arrives is garbled;
//   pl2303   a PL2303HX: breaks both ways, exact rates, 1 ms batches; its driver marks every
//            byte of the batch that brings a received break as a break, so the bytes that come
//            with the break are lost (each is a 0x00 with a break report).
// docs/adapters.md says where each behaviour comes from.

#include "platform/Types.h"
#include "serial/AdapterInfo.h"

#include <string>

enum class SimAdapterKind { Uart, Ftdi, Ftdi16, Cp2102, Cp2102n, Ch340, Pl2303 };

struct SimAdapterModel {
    double dLatencyMs = 0;         // received bytes are handed over at multiples of this
    bool bReportsBreaks = true;    // a received break reaches the host as a break
    bool bRateTable = false;       // rates round up to the chip's table
    bool bFakeBreak = false;       // the host's break is a slow 0x00 of fixed length
    bool bBreakMarksBatch = false; // every byte handed over with a received break is one too
};

// "uart", "ftdi", ...: false for an unknown name.
bool ParseSimAdapter(const std::string& strName, SimAdapterKind& kind);
const char* SimAdapterName(SimAdapterKind kind);
SimAdapterModel GetSimAdapterModel(SimAdapterKind kind);
// The rate the adapter really runs when asked for dwBaud.
DWORD SimAdapterRate(SimAdapterKind kind, DWORD dwBaud);
// What the adapter's descriptors would tell the system, for the adapter verdicts of a sim: port.
ADAPTER_INFO SimAdapterInfo(SimAdapterKind kind, const std::string& strDevice);

// A "sim:" port name's adapter: true with *pInfo filled for a name that begins with "sim:" and
// whose options parse; false otherwise.
bool GetSimPortAdapterInfo(const std::string& strPort, ADAPTER_INFO* pInfo);

// The fake break of a CH340: one 0x00 that keeps the line low for about 196 ms (the driver
// asks for 46 baud; ten bit times at this rate give the same length).
inline constexpr DWORD kSimFakeBreakBaud = 51;
