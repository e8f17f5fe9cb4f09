#include "platform/SystemSinks.h"

#include "platform/Win32.h"

#include <timeapi.h>

void TraceToSystem(const char* pszLine) { OutputDebugStringA(pszLine); }

bool TraceToSystemListens() { return true; }

void SystemBeep(DWORD dwFreq, DWORD dwDuration) {
    // Beep returns when the tone has ended; where it returns early (no speaker, Wine) the rest
    // of the tone's length is waited out, so that beep codes keep their rhythm.
    const DWORD dwStart = GetTickCount();
    ::Beep(dwFreq, dwDuration);
    const DWORD dwSpent = GetTickCount() - dwStart;
    if (dwSpent < dwDuration)
        Sleep(dwDuration - dwSpent);
}

bool SystemTimerPeriod(bool bRaise) {
    return (bRaise ? timeBeginPeriod(1) : timeEndPeriod(1)) == TIMERR_NOERROR;
}
