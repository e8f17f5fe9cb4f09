#pragma once
// Small readers of the sysfs tree, shared by port discovery and the adapter details (Linux).

#include <filesystem>
#include <string>

// The first line of a sysfs attribute without trailing white space, or "" when it cannot be
// read.
std::string ReadSysfsAttr(const std::filesystem::path& p);

// The driver bound to a tty's device, or "". Serial-core ports sit on a "port" device under a
// "ctrl" device under the real one; those two generic drivers are skipped.
std::string SysfsDriverOf(const std::filesystem::path& device);

// The USB device a tty's device belongs to: the first ancestor that carries idVendor (ttyUSB:
// port, interface, device; ttyACM: interface, device), or an empty path.
std::filesystem::path SysfsUsbDevice(const std::filesystem::path& device);
