// The process's thread count (from a Toolhelp snapshot) and CPU time.
#include "SimTestHost.h"

#include "platform/CpuTime.h"
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
    return ::ProcessCpuSeconds();
}

} // namespace simtest
