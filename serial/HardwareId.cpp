// Windows' hardware and instance ids of a port, read into the adapter table's terms. The ids
// are the bus, a backslash, then fields joined by '&' (USB, ACPI) or '+' (FTDI's instance ids),
// then, in an instance id, a backslash and the instance.
#include "serial/HardwareId.h"

#include <cctype>
#include <charconv>

namespace {

std::string Upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

// The value of "KEY_xxxx" when the field is that key followed by exactly nDigits hex digits.
bool HexField(std::string_view field, std::string_view key, size_t nDigits, int& n) {
    if (field.size() != key.size() + nDigits || Upper(field.substr(0, key.size())) != key)
        return false;
    const std::string_view digits = field.substr(key.size());
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n, 16);
    return r.ec == std::errc() && r.ptr == digits.data() + digits.size();
}

std::string Hex4(int n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s(4, '0');
    for (int i = 3; i >= 0; --i, n >>= 4)
        s[static_cast<size_t>(i)] = kDigits[n & 0xf];
    return s;
}

// The UART types of the PNP ids Windows gives built-in COM ports: PNP0500 a standard PC COM port
// (8250 family), PNP0501 a 16550A-compatible one.
int UartTypeOfPnp(std::string_view device) {
    const std::string s = Upper(device);
    if (s == "PNP0500" || s == "*PNP0500" || s == "VEN_PNP&DEV_0500")
        return 1;
    if (s == "PNP0501" || s == "*PNP0501" || s == "VEN_PNP&DEV_0501")
        return 4;
    return -1;
}

} // namespace

bool ParseHardwareId(std::string_view id, HARDWARE_ID& out) {
    out = HARDWARE_ID{};
    // A compatible id such as "*PNP0501" has no bus.
    if (const int nType = UartTypeOfPnp(id); nType >= 0) {
        out.nUartType = nType;
        return true;
    }
    const size_t nSlash = id.find('\\');
    if (nSlash == std::string_view::npos || nSlash == 0)
        return false;
    out.strBus = Upper(id.substr(0, nSlash));
    std::string_view device = id.substr(nSlash + 1);
    device = device.substr(0, device.find('\\')); // an instance id's instance
    if (const int nType = UartTypeOfPnp(device); nType >= 0) {
        out.nUartType = nType;
        return true;
    }
    int nVendor = -1, nProduct = -1;
    while (!device.empty()) {
        const size_t nEnd = device.find_first_of("&+");
        const std::string_view field = device.substr(0, nEnd);
        int n = -1;
        if (HexField(field, "VID_", 4, n))
            nVendor = n;
        else if (HexField(field, "PID_", 4, n))
            nProduct = n;
        else if (HexField(field, "REV_", 4, n))
            out.nRevision = n;
        else if (HexField(field, "MI_", 2, n))
            out.nInterface = n;
        device = nEnd == std::string_view::npos ? std::string_view() : device.substr(nEnd + 1);
    }
    if (nVendor < 0 || nProduct < 0) {
        out = HARDWARE_ID{};
        return false;
    }
    out.strVendorId = Hex4(nVendor);
    out.strProductId = Hex4(nProduct);
    return true;
}

std::string SerialFromInstanceId(std::string_view id) {
    const size_t nFirst = id.find('\\');
    const size_t nLast = id.rfind('\\');
    if (nFirst == std::string_view::npos || nLast == nFirst)
        return "";
    const std::string strBus = Upper(id.substr(0, nFirst));
    const std::string_view device = id.substr(nFirst + 1, nLast - nFirst - 1);
    std::string_view instance = id.substr(nLast + 1);
    if (strBus == "FTDIBUS") {
        // VID_0403+PID_6001+A12345BCA: the serial number and the port's letter.
        const size_t nPlus = device.rfind('+');
        if (nPlus == std::string_view::npos)
            return "";
        instance = device.substr(nPlus + 1);
        if (instance.size() < 2 || instance.find('&') != std::string_view::npos)
            return "";
        return std::string(instance.substr(0, instance.size() - 1));
    }
    HARDWARE_ID hw;
    if (strBus != "USB" || !ParseHardwareId(id, hw) || hw.nInterface >= 0 || instance.empty() ||
        instance.find('&') != std::string_view::npos)
        return "";
    return std::string(instance);
}

ADAPTER_INFO AdapterInfoFromWindows(const std::string& strDevice, const WIN_PORT_DEVICE& dev) {
    ADAPTER_INFO info;
    info.strDevice = strDevice;
    info.source = ADAPTER_SOURCE::SetupApi;
    info.strDriver = dev.strService;
    info.strDescription = dev.strDescription;
    if (!dev.nodes.empty() && !dev.nodes.front().hardwareIds.empty())
        info.strHardwareId = dev.nodes.front().hardwareIds.front();
    for (const WIN_DEVICE_NODE& node : dev.nodes) {
        for (const std::string& id : node.hardwareIds) {
            HARDWARE_ID hw;
            if (!ParseHardwareId(id, hw))
                continue;
            if (hw.nUartType >= 0) {
                if (!info.bUsb && info.nUartType < 0)
                    info.nUartType = hw.nUartType;
                continue;
            }
            if (!info.bUsb) {
                info.bUsb = true;
                info.strVendorId = hw.strVendorId;
                info.strProductId = hw.strProductId;
            } else if (hw.strVendorId != info.strVendorId || hw.strProductId != info.strProductId) {
                continue; // a hub or another device above the adapter
            }
            if (info.nBcdDevice < 0)
                info.nBcdDevice = hw.nRevision;
            if (info.nInterface < 0)
                info.nInterface = hw.nInterface;
        }
        if (info.strSerialNumber.empty())
            info.strSerialNumber = SerialFromInstanceId(node.strInstanceId);
        if (info.strProduct.empty())
            info.strProduct = node.strBusProduct;
    }
    if (info.bUsb) {
        info.nUartType = -1;
        // A single-interface device's port is the device itself: interface 0.
        if (info.nInterface < 0)
            info.nInterface = 0;
    }
    if (info.strVendorId == "0403")
        info.nLatencyTimerMs = dev.nLatencyTimerMs;
    return info;
}

std::string ComPortName(std::string_view strDevice) {
    if (strDevice.starts_with("\\\\.\\"))
        strDevice.remove_prefix(4);
    return Upper(strDevice);
}
