#include "platform/HostName.h"

#include "platform/Win32.h"

std::string GetHostName() {
    char buf[256] = {};
    DWORD nSize = sizeof buf;
    if (!GetComputerNameExA(ComputerNameDnsHostname, buf, &nSize))
        return {};
    return std::string(buf, nSize);
}
