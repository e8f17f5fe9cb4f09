// A port's details from sysfs: the tty's own attributes (a built-in UART's type and clock),
// the driver, the usb-serial port's latency_timer (ftdi_sio), a CDC-ACM interface's
// bmCapabilities, and the descriptors of the USB interface and device that tell the chip's
// variant.
#include "serial/AdapterInfo.h"
#include "serial/Sysfs.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A whole attribute as a number, or nFail. sysfs pads some with spaces ("version": " 1.10").
template <typename T> T ParseNumber(const std::string& s, int nBase, T nFail) {
    const char* p = s.data();
    const char* const e = p + s.size();
    while (p < e && *p == ' ')
        ++p;
    T n{};
    const auto r = std::from_chars(p, e, n, nBase);
    return (p < e && r.ec == std::errc() && r.ptr == e) ? n : nFail;
}

std::string TrimmedLeft(const std::string& s) {
    const size_t i = s.find_first_not_of(' ');
    return i == std::string::npos ? std::string() : s.substr(i);
}

// The tty's class name for a device path: its node below the device directory, '/' as '!'
// (as the kernel names /dev/foo/bar). Links such as /dev/serial/by-id/... are followed.
std::string TtyNameOf(const std::string& strDevice, const std::string& strDevDir) {
    std::error_code ec;
    fs::path node = fs::canonical(strDevice, ec);
    if (ec)
        node = fs::path(strDevice).lexically_normal();
    fs::path dir = fs::canonical(strDevDir, ec);
    if (ec)
        dir = fs::path(strDevDir).lexically_normal();
    std::string s = node.lexically_relative(dir).generic_string();
    if (s.empty() || s == "." || s.starts_with(".."))
        return "";
    std::replace(s.begin(), s.end(), '/', '!');
    return s;
}

} // namespace

ADAPTER_INFO ReadAdapterInfo(const std::string& strDevice, const std::string& strSysClassTty,
                             const std::string& strDevDir) {
    ADAPTER_INFO info;
    info.strDevice = strDevice;
    const std::string strName = TtyNameOf(strDevice, strDevDir);
    std::error_code ec;
    const fs::path ttyDir = fs::path(strSysClassTty) / strName;
    if (strName.empty() || !fs::exists(ttyDir, ec))
        return info;
    info.strTty = strName;

    // Serial core puts the UART's type and clock on the tty itself.
    info.nUartType = ParseNumber(ReadSysfsAttr(ttyDir / "type"), 10, -1);
    info.nUartClock = ParseNumber(ReadSysfsAttr(ttyDir / "uartclk"), 10, 0UL);

    const fs::path device = fs::canonical(ttyDir / "device", ec);
    if (ec)
        return info;
    info.strDriver = SysfsDriverOf(device);
    info.nLatencyTimerMs = ParseNumber(ReadSysfsAttr(device / "latency_timer"), 10, -1);
    // A ttyACM's device is the interface cdc_acm binds, which shows the capabilities in decimal.
    info.nAcmCapabilities = ParseNumber(ReadSysfsAttr(device / "bmCapabilities"), 10, -1);

    const fs::path usb = SysfsUsbDevice(device);
    if (usb.empty())
        return info;
    info.bUsb = true;
    // The interface: a ttyUSB port hangs below it, a ttyACM device is it.
    for (fs::path p = device; !p.empty() && p != usb; p = p.parent_path()) {
        if (fs::exists(p / "bInterfaceNumber", ec)) {
            info.nInterface = ParseNumber(ReadSysfsAttr(p / "bInterfaceNumber"), 16, -1);
            break;
        }
    }
    info.strVendorId = ReadSysfsAttr(usb / "idVendor");
    info.strProductId = ReadSysfsAttr(usb / "idProduct");
    info.nBcdDevice = ParseNumber(ReadSysfsAttr(usb / "bcdDevice"), 16, -1);
    info.strUsbVersion = TrimmedLeft(ReadSysfsAttr(usb / "version"));
    info.strProduct = ReadSysfsAttr(usb / "product");
    info.strSerialNumber = ReadSysfsAttr(usb / "serial");
    return info;
}
