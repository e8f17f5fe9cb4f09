#pragma once
// What production records say of a port besides its name: the stable name udev gives it
// (/dev/serial/by-id/..., which follows the adapter to any socket, or /dev/serial/by-path/...,
// which names the socket, i.e. the fixture) and the USB adapter's serial number.

#include <string>

namespace fleet {

struct PortIdentity {
    std::string strStableName;    // "" when the port has none (sim:, a built-in UART)
    std::string strAdapterSerial; // "" when the adapter reports none
};

// A port under DEV/serial/by-id or by-path is its own stable name; any other device gets the
// by-id link that leads to it, else the by-path link. The roots are parameters for tests.
PortIdentity IdentifyPort(const std::string& strPort, const std::string& strDevDir = "/dev",
                          const std::string& strSysClassTty = "/sys/class/tty");

} // namespace fleet
