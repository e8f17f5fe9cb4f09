#include "platform/SystemSinks.h"

#include "platform/Sleep.h"

#include <cstdio>
#include <unistd.h>

void TraceToSystem(const char*) {}

bool TraceToSystemListens() { return false; }

void SystemBeep(DWORD, DWORD dwDuration) {
    if (isatty(STDERR_FILENO)) {
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }
    Sleep(dwDuration);
}

bool SystemTimerPeriod(bool /*bRaise*/) {
    return true;
}
