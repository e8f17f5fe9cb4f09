#include "platform/CpuTime.h"

#include "platform/Win32.h"

double ProcessCpuSeconds() {
    FILETIME ftCreate, ftExit, ftKernel, ftUser;
    if (!GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser))
        return 0;
    // FILETIMEs count 100 ns.
    const auto toSeconds = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime) /
               1e7;
    };
    return toSeconds(ftKernel) + toSeconds(ftUser);
}
