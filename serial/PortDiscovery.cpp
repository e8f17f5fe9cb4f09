#include "serial/PortDiscovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, or "" when it cannot be read.
std::string ReadAttr(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    if (in)
        std::getline(in, s);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    return s;
}

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

std::string DriverOf(const fs::path& device) {
    // Serial-core ports sit on a "port" device under a "ctrl" device under the real one.
    std::error_code ec;
    fs::path p = device;
    for (int i = 0; i < 4 && !p.empty(); ++i, p = p.parent_path()) {
        const fs::path drv = fs::read_symlink(p / "driver", ec);
        if (ec)
            continue;
        const std::string s = drv.filename().string();
        if (s != "port" && s != "ctrl")
            return s;
    }
    return "";
}

void FillUsb(const fs::path& device, SerialPortInfo& info) {
    // The USB device is the first ancestor that carries idVendor (ttyUSB: port, interface,
    // device; ttyACM: interface, device).
    fs::path p = device;
    for (int i = 0; i < 5 && !p.empty() && p != p.root_path(); ++i, p = p.parent_path()) {
        std::error_code ec;
        if (!fs::exists(p / "idVendor", ec))
            continue;
        info.bUsb = true;
        info.strVendorId = ReadAttr(p / "idVendor");
        info.strProductId = ReadAttr(p / "idProduct");
        info.strManufacturer = ReadAttr(p / "manufacturer");
        info.strProduct = ReadAttr(p / "product");
        info.strSerialNumber = ReadAttr(p / "serial");
        return;
    }
}

} // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts(const std::string& strSysClassTty,
                                                 const std::string& strDevDir) {
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
        if (fs::exists(ttyDir / "type", ec2) && ReadAttr(ttyDir / "type") == "0")
            continue;
        const fs::path node = fs::path(strDevDir) / DevName(ttyDir, strName);
        if (!fs::exists(node, ec2))
            continue;
        SerialPortInfo info;
        info.strDevice = node.string();
        const fs::path device = fs::canonical(ttyDir / "device", ec2);
        if (!ec2) {
            info.strDriver = DriverOf(device);
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
