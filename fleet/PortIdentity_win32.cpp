// Windows has no udev links: a COM port's name is what the system gives the adapter, and it
// keeps that name for the same adapter. What the records add is the adapter's serial number
// (SetupAPI, serial/AdapterInfo_win32.cpp); the stable name stays empty.
#include "fleet/PortIdentity.h"

#include "serial/AdapterInfo.h"
#include "serial/HardwareId.h"

#include <cstdlib>

namespace fleet {

bool GetDeviceKey(const std::string& strPath, DeviceKey& key) {
    // "COM7", "com7" and "\\.\COM7" are one port: its number.
    const std::string name = ComPortName(strPath);
    if (name.size() <= 3 || name.compare(0, 3, "COM") != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos)
        return false;
    key = {true, std::strtoull(name.c_str() + 3, nullptr, 10), 0};
    return true;
}

PortIdentity IdentifyPort(const std::string& strPort, const std::string&, const std::string&) {
    PortIdentity id;
    DeviceKey key;
    if (GetDeviceKey(strPort, key))
        id.strAdapterSerial = ReadAdapterInfo(strPort).strSerialNumber;
    return id;
}

} // namespace fleet
