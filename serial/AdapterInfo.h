#pragma once
// What a port's adapter does for the unit's line. The unit opens every answer with a break
// that the host must see, the host opens every command with a break of about 1 ms, Slow Mode
// runs at 738 baud, and each load record waits for its answer, so every millisecond the
// adapter holds received bytes back is paid twice per record. Many USB adapters fall short on
// one of these, and their drivers say which: docs/adapters.md has the details and sources.
//
// ReadAdapterInfo collects what the system tells of a port: sysfs on Linux (AdapterInfo.cpp),
// SetupAPI and the registry on Windows (AdapterInfo_win32.cpp, HardwareId.cpp). JudgeAdapter
// looks the port up in one table of driver knowledge (AdapterTable.cpp), which makes no system
// calls: sysfs names the Linux driver, Windows the USB vendor and product.

#include <string>
#include <vector>

// What the protocol asks of the line.
enum class ADAPTER_NEED {
    SendsBreak,     // a break of about 1 ms before every command
    ReceivesBreak,  // the break that opens every answer of the unit, seen as a break
    Rate738,        // 738 baud, for Slow Mode
    ReceiveLatency, // received bytes handed over at once, not held back
};
inline constexpr int kAdapterNeeds = 4;

enum class VERDICT {
    Ok,
    Problem, // the driver's own code says it cannot be done (or only badly)
    Unknown, // nothing known tells either way; never a reason to refuse a port
};

struct ADAPTER_VERDICT {
    ADAPTER_NEED need = ADAPTER_NEED::SendsBreak;
    VERDICT verdict = VERDICT::Unknown;
    std::string strReason; // one line
    std::string strFix;    // one line; "" when there is nothing to do
    std::string strSource; // where the fact comes from (the kernel file and function), or ""
};

// Where a port's details come from.
enum class ADAPTER_SOURCE {
    Sysfs,    // Linux: the table goes by the bound driver
    SetupApi, // Windows: by the USB vendor (the drivers are the chip makers' own)
};

// What the system tells of a port. Empty strings and -1 stand for "not there".
struct ADAPTER_INFO {
    std::string strDevice; // as given
    ADAPTER_SOURCE source = ADAPTER_SOURCE::Sysfs;
    std::string strTty; // the tty's name (ttyUSB0), or "" when sysfs does not list it
    // The driver bound to the port: ftdi_sio, cp210x, ch341-uart, ... on Linux; the driver's
    // service on Windows: FTDIBUS, silabser, CH341SER_A64, Serial, ...
    std::string strDriver;
    std::string strDescription; // Windows: the device's name in Device Manager
    std::string strHardwareId;  // Windows: the port's first hardware id
    bool bUsb = false;
    std::string strVendorId; // idVendor and idProduct, four hex digits
    std::string strProductId;
    int nBcdDevice = -1;       // bcdDevice: the chip's release number, which tells variants apart
    std::string strUsbVersion; // bcdUSB as sysfs spells it: "1.10", "2.00"
    int nInterface = -1;       // bInterfaceNumber of the port's interface (port A is 0)
    std::string strProduct;    // the product string; it names the part on CP210x adapters
    std::string strSerialNumber;
    int nLatencyTimerMs = -1; // ftdi_sio's latency_timer attribute; FTDI's LatencyTimer value
    // cdc_acm's bmCapabilities attribute: the ACM functional descriptor's capabilities (bit D1
    // line coding and serial-state notifications, D2 SEND_BREAK); -1 when not known.
    int nAcmCapabilities = -1;
    int nUartType = -1;           // a built-in UART's type as serial core numbers it (16550A: 4)
    unsigned long nUartClock = 0; // its uartclk in Hz, 0 when not known
};

// Reads the port's details once. strDevice is a device path (/dev/ttyUSB0) or a link to one
// (/dev/serial/by-id/...). The roots are parameters so that a test can hand in a tree.
ADAPTER_INFO ReadAdapterInfo(const std::string& strDevice,
                             const std::string& strSysClassTty = "/sys/class/tty",
                             const std::string& strDevDir = "/dev");

// The chip the table recognises ("FT232R", "CP2102N", "CH340", "16550A"), or "".
std::string AdapterChip(const ADAPTER_INFO& info);

// Whether the port is an FTDI chip's, whose latency timer decides the receive latency.
bool IsFtdiAdapter(const ADAPTER_INFO& info);
// How to set an FTDI adapter's latency timer to 1 ms on the port's system.
std::string FtdiLatencyFix(const ADAPTER_INFO& info);

// One verdict per need, in ADAPTER_NEED order. Adapters the table does not know get Unknown
// verdicts only.
std::vector<ADAPTER_VERDICT> JudgeAdapter(const ADAPTER_INFO& info);

// Before an upload: one line per known problem of the adapter that makes this upload fail
// (breaks either way; 738 baud when Slow Mode is on), naming the chip, the reason and the fix.
std::vector<std::string> AdapterUploadWarnings(const ADAPTER_INFO& info, bool bSlowMode);
// After a session that never saw a break from the unit: the adapter's verdict on received
// breaks when it is a known problem, otherwise "".
std::string AdapterBreakVerdict(const ADAPTER_INFO& info);

// "sends_break", "receives_break", "rate_738", "receive_latency": the JSON names.
const char* AdapterNeedName(ADAPTER_NEED need);
// "sending a break", "receiving a break", "738 baud (Slow Mode)", "receive latency".
const char* AdapterNeedText(ADAPTER_NEED need);
// "ok", "problem", "unknown".
const char* VerdictName(VERDICT verdict);
