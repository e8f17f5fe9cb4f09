#include "serial/PortDiscovery.h"
#include "serial/KernelConsole.h"
#include "serial/Sysfs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Virtual consoles: tty followed by digits only.
bool IsVirtualConsole(const std::string& strName) {
    return strName.size() > 3 && strName.starts_with("tty") &&
           std::all_of(strName.begin() + 3, strName.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The node's name below /dev: DEVNAME from uevent, else the class name with '!' for '/'.
std::string DevName(const fs::path& ttyDir, const std::string& strName) {
    std::ifstream in(ttyDir / "uevent");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("DEVNAME="))
            return line.substr(8);
    }
    std::string s = strName;
    std::replace(s.begin(), s.end(), '!', '/');
    return s;
}

void FillUsb(const fs::path& device, SerialPortInfo& info) {
    const fs::path usb = SysfsUsbDevice(device);
    if (usb.empty())
        return;
    info.bUsb = true;
    info.strVendorId = ReadSysfsAttr(usb / "idVendor");
    info.strProductId = ReadSysfsAttr(usb / "idProduct");
    info.strManufacturer = ReadSysfsAttr(usb / "manufacturer");
    info.strProduct = ReadSysfsAttr(usb / "product");
    info.strSerialNumber = ReadSysfsAttr(usb / "serial");
}

} // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts(const std::string& strSysClassTty,
                                                 const std::string& strDevDir,
                                                 const std::string& strProcConsoles) {
    const CONSOLE_ROOTS roots{strProcConsoles, strSysClassTty, strDevDir};
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    fs::directory_iterator it(strSysClassTty, ec);
    if (ec)
        return ports;
    for (const auto& entry : it) {
        const std::string strName = entry.path().filename().string();
        const fs::path ttyDir = entry.path();
        std::error_code ec2;
        // A device behind it: no virtual console, console, ptmx or tty has one.
        if (IsVirtualConsole(strName) || !fs::exists(ttyDir / "device", ec2))
            continue;
        // Serial-core ports say what UART they found; 0 is none (a legacy 8250 slot).
        if (fs::exists(ttyDir / "type", ec2) && ReadSysfsAttr(ttyDir / "type") == "0")
            continue;
        const fs::path node = fs::path(strDevDir) / DevName(ttyDir, strName);
        if (!fs::exists(node, ec2))
            continue;
        SerialPortInfo info;
        info.strDevice = node.string();
        info.bConsole = IsConsolePort(info.strDevice, roots);
        const fs::path device = fs::canonical(ttyDir / "device", ec2);
        if (!ec2) {
            info.strDriver = SysfsDriverOf(device);
            FillUsb(device, info);
        }
        ports.push_back(std::move(info));
    }

    // The persistent names udev gives USB ports.
    fs::directory_iterator byId(fs::path(strDevDir) / "serial" / "by-id", ec);
    if (!ec) {
        for (const auto& link : byId) {
            std::error_code ec2;
            const fs::path target = fs::canonical(link.path(), ec2);
            if (ec2)
                continue;
            for (auto& info : ports) {
                std::error_code ec3;
                if (info.strByIdLink.empty() && fs::equivalent(target, info.strDevice, ec3))
                    info.strByIdLink = link.path().string();
            }
        }
    }

    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return PortNameLess(a.strDevice, b.strDevice);
    });
    return ports;
}
