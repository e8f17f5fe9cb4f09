#pragma once
// What the trace and beep sinks do when nobody installed one: the system's own facilities.
// SystemSinks.cpp (Linux) and SystemSinks_win32.cpp (Windows). Kept apart from Beep.h, whose
// Beep would clash with the system's Beep in a file that includes <windows.h>.

#include "platform/Types.h"

// Windows: OutputDebugStringA. Linux: nothing (the debug output is stderr, switched on by
// MORFWUPLOAD_TRACE=1).
void TraceToSystem(const char* pszLine);
// Whether TraceToSystem goes anywhere (the debugger's output on Windows; nowhere on Linux).
bool TraceToSystemListens();

// A tone that returns when it has ended. Windows: the system's Beep. Linux: the terminal bell
// when stderr is a terminal, then the tone's length of silence.
void SystemBeep(DWORD dwFreq, DWORD dwDuration);

// Raises the system timer's resolution to 1 ms (bRaise) or gives one raise back; true when it
// took effect. Windows: timeBeginPeriod(1) / timeEndPeriod(1). Linux: nothing to do (its timed
// waits are precise already); true, so that the pairing is the same on both.
bool SystemTimerPeriod(bool bRaise);
