#include "sim/SimAdapter.h"

#include "sim/SimOptions.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<const char*, SimAdapterKind>, 7> kNames = {{
    {"uart", SimAdapterKind::Uart},
    {"ftdi", SimAdapterKind::Ftdi},
    {"ftdi16", SimAdapterKind::Ftdi16},
    {"cp2102", SimAdapterKind::Cp2102},
    {"cp2102n", SimAdapterKind::Cp2102n},
    {"ch340", SimAdapterKind::Ch340},
    {"pl2303", SimAdapterKind::Pl2303},
}};

// The CP2102's fixed rates (Silicon Labs AN205, table 1); the driver picks the first at or above
// the rate asked for.
constexpr DWORD kCp2102Rates[] = {300,    600,    1200,   1800,   2400,   4000,   4800,   7200,
                                  9600,   14400,  16000,  19200,  28800,  38400,  51200,  56000,
                                  57600,  64000,  76800,  115200, 128000, 153600, 230400, 250000,
                                  256000, 460800, 500000, 576000, 921600};

} // namespace

bool ParseSimAdapter(const std::string& strName, SimAdapterKind& kind) {
    for (const auto& [pszName, k] : kNames) {
        if (strName == pszName) {
            kind = k;
            return true;
        }
    }
    return false;
}

const char* SimAdapterName(SimAdapterKind kind) {
    for (const auto& [pszName, k] : kNames) {
        if (k == kind)
            return pszName;
    }
    return "uart";
}

SimAdapterModel GetSimAdapterModel(SimAdapterKind kind) {
    SimAdapterModel m;
    switch (kind) {
    case SimAdapterKind::Uart:
        break;
    case SimAdapterKind::Ftdi:
        m.dLatencyMs = 1;
        break;
    case SimAdapterKind::Ftdi16:
        m.dLatencyMs = 16;
        break;
    case SimAdapterKind::Cp2102:
        m.dLatencyMs = 1;
        m.bRateTable = true;
        break;
    case SimAdapterKind::Cp2102n:
        m.dLatencyMs = 1;
        break;
    case SimAdapterKind::Ch340:
        m.dLatencyMs = 1;
        m.bReportsBreaks = false;
        m.bFakeBreak = true;
        break;
    case SimAdapterKind::Pl2303:
        m.dLatencyMs = 1;
        m.bBreakMarksBatch = true;
        break;
    }
    return m;
}

DWORD SimAdapterRate(SimAdapterKind kind, DWORD dwBaud) {
    if (!GetSimAdapterModel(kind).bRateTable)
        return dwBaud;
    for (const DWORD r : kCp2102Rates) {
        if (r >= dwBaud)
            return r;
    }
    return kCp2102Rates[std::size(kCp2102Rates) - 1];
}

ADAPTER_INFO SimAdapterInfo(SimAdapterKind kind, const std::string& strDevice) {
    ADAPTER_INFO info;
    info.strDevice = strDevice;
    const auto usb = [&info](const char* pszDriver, const char* pszVendor, const char* pszProduct,
                             int nBcd, const char* pszUsb, const char* pszName) {
        info.strDriver = pszDriver;
        info.bUsb = true;
        info.strVendorId = pszVendor;
        info.strProductId = pszProduct;
        info.nBcdDevice = nBcd;
        info.strUsbVersion = pszUsb;
        info.nInterface = 0;
        info.strProduct = pszName;
        info.strSerialNumber = "SIM0001";
    };
    switch (kind) {
    case SimAdapterKind::Uart:
        info.strDriver = "serial8250";
        info.nUartType = 4; // 16550A
        info.nUartClock = 1843200;
        break;
    case SimAdapterKind::Ftdi:
    case SimAdapterKind::Ftdi16:
        usb("ftdi_sio", "0403", "6001", 0x0600, "2.00", "FT232R USB UART");
        info.nLatencyTimerMs = kind == SimAdapterKind::Ftdi ? 1 : 16;
        break;
    case SimAdapterKind::Cp2102:
        usb("cp210x", "10c4", "ea60", 0x0100, "1.10", "CP2102 USB to UART Bridge Controller");
        break;
    case SimAdapterKind::Cp2102n:
        usb("cp210x", "10c4", "ea60", 0x0100, "2.00", "CP2102N USB to UART Bridge Controller");
        break;
    case SimAdapterKind::Ch340:
        usb("ch341-uart", "1a86", "7523", 0x0264, "1.10", "USB Serial");
        break;
    case SimAdapterKind::Pl2303:
        usb("pl2303", "067b", "2303", 0x0300, "1.10", "USB-Serial Controller");
        break;
    }
    return info;
}

bool GetSimPortAdapterInfo(const std::string& strPort, ADAPTER_INFO* pInfo) {
    if (strPort.rfind("sim:", 0) != 0)
        return false;
    SimOptions opts;
    if (!ParseSimOptions(strPort, opts, nullptr))
        return false;
    *pInfo = SimAdapterInfo(opts.adapter, strPort);
    return true;
}
