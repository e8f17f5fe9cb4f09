#pragma once
// Who else holds a serial device open. A plain open by another program (a terminal program,
// ModemManager probing a new USB adapter) passes the kernel's exclusive flag and our lock, and
// root passes the exclusive flag anyway; two programs then read the same line. The port treats
// any other holder as a busy port, and names it. On Windows the port is opened without sharing,
// which the system enforces itself; it does not say by whom (DeviceHolders_win32.cpp).

#include <string>
#include <vector>

struct DeviceHolder {
    int nPid = 0;
    std::string strName; // the process's command name, or "" when it cannot be read
};

// The processes other than this one with the character device nDevice (st_rdev) open, from
// the descriptors under strProcDir/PID/fd. Processes whose descriptors this user may not read
// stay unseen.
std::vector<DeviceHolder> FindDeviceHolders(unsigned long long nDevice,
                                            const std::string& strProcDir = "/proc");

// The same for a device by its path; none when it is not a character device.
std::vector<DeviceHolder> FindPortHolders(const std::string& strDevice);

// "minicom (pid 1234), ModemManager (pid 567)".
inline std::string DescribeHolders(const std::vector<DeviceHolder>& holders) {
    std::string s;
    for (const auto& h : holders) {
        if (!s.empty())
            s += ", ";
        s += (h.strName.empty() ? std::string("a process") : h.strName) + " (pid " +
             std::to_string(h.nPid) + ")";
    }
    return s;
}
