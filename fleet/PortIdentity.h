#pragma once
// What production records say of a port besides its name: the stable name udev gives it
// (/dev/serial/by-id/..., which follows the adapter to any socket, or /dev/serial/by-path/...,
// which names the socket, i.e. the fixture) and the USB adapter's serial number.

#include <compare>
#include <string>

namespace fleet {

// What makes names one port: a character device is its device number, whatever names and links
// lead to it (udev gives one device a by-id and one or two by-path links); any other file is
// that file.
struct DeviceKey {
    bool bDevice = false;        // a character device: nNumber is its device number
    unsigned long long nDev = 0; // the device number, or the file system's of a plain file
    unsigned long long nIno = 0; // a plain file's inode
    auto operator<=>(const DeviceKey&) const = default;
};

// The key of what strPath leads to (links followed). False when it leads nowhere.
bool GetDeviceKey(const std::string& strPath, DeviceKey& key);

struct PortIdentity {
    std::string strStableName;    // "" when the port has none (sim:, a built-in UART)
    std::string strAdapterSerial; // "" when the adapter reports none
};

// A port under DEV/serial/by-id or by-path is its own stable name; any other device gets the
// by-id link that leads to it, else the by-path link. The roots are parameters for tests.
PortIdentity IdentifyPort(const std::string& strPort, const std::string& strDevDir = "/dev",
                          const std::string& strSysClassTty = "/sys/class/tty");

} // namespace fleet
