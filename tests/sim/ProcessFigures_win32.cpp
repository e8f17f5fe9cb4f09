// The process's thread count and CPU time, from a Toolhelp snapshot and GetProcessTimes.
#include "SimTestHost.h"

#include "platform/Win32.h"

#include <tlhelp32.h>

namespace simtest {

int ThreadCount() {
    const HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE)
        return 0;
    int n = 0;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te)) {
        if (te.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    }
    CloseHandle(hSnap);
    return n;
}

double ProcessCpuSeconds() {
    FILETIME ftCreate, ftExit, ftKernel, ftUser;
    if (!GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser))
        return 0;
    const auto toSeconds = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime) /
               1e7;
    };
    return toSeconds(ftKernel) + toSeconds(ftUser);
}

} // namespace simtest
