// GetPortName serves the installed ports as the registry lists them; only the dialog sorts what
// it shows. Kept apart from the line's tests: <windows.h> and the beep sink's Beep do not mix.
#include "serial/SerialPort.h"

#include "platform/Win32.h" // last: the system's names over the project's

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(RegistryPorts, GetPortNameKeepsTheRegistrysOrder) {
    std::vector<std::string> listed;
    HKEY hKey;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                            &hKey),
              ERROR_SUCCESS);
    for (DWORD i = 0;; ++i) {
        char szName[256], szData[256];
        DWORD cchName = sizeof szName, cbData = sizeof szData - 1, dwType = 0;
        if (RegEnumValueA(hKey, i, szName, &cchName, nullptr, &dwType,
                          reinterpret_cast<BYTE*>(szData), &cbData) != ERROR_SUCCESS)
            break;
        szData[cbData] = 0;
        if (dwType == REG_SZ && szData[0])
            listed.emplace_back(szData);
    }
    RegCloseKey(hKey);
    ASSERT_FALSE(listed.empty()) << "the test's COM port is not in the registry";

    const CSerialPort port;
    std::vector<std::string> names;
    for (int i = 0; const char* psz = port.GetPortName(i); ++i)
        names.push_back(psz);
    EXPECT_EQ(names, listed);
}
