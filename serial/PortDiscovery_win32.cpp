// The installed ports from the registry: the values of HKLM "HARDWARE\DEVICEMAP\SERIALCOMM",
// each naming one port (COM1, COM7, ...), read once and kept in the registry's order: the
// dialog sorts what it shows (COM2 before COM10), GetPortName serves them as the system lists
// them.
#include "serial/PortDiscovery.h"

#include "platform/Win32.h"

std::vector<SerialPortInfo> EnumerateSerialPorts(const std::string&, const std::string&,
                                                 const std::string&) {
    std::vector<SerialPortInfo> ports;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ,
                      &hKey) != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        char szName[256];
        DWORD cchName = sizeof szName;
        BYTE data[256];
        DWORD cbData = sizeof data - 1;
        DWORD dwType = 0;
        const LONG r = RegEnumValueA(hKey, i, szName, &cchName, nullptr, &dwType, data, &cbData);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        data[cbData] = 0;
        SerialPortInfo info;
        info.strDevice = reinterpret_cast<const char*>(data);
        if (!info.strDevice.empty() && info.strDevice.back() == '\0')
            info.strDevice.pop_back();
        // The value's name says which driver made the entry (\Device\Serial0, ...).
        info.strDriver = szName;
        if (!info.strDevice.empty())
            ports.push_back(std::move(info));
    }
    RegCloseKey(hKey);
    return ports;
}
