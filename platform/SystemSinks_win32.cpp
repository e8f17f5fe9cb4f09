#include "platform/SystemSinks.h"

#include "platform/Win32.h"

void TraceToSystem(const char* pszLine) { OutputDebugStringA(pszLine); }

void SystemBeep(DWORD dwFreq, DWORD dwDuration) { ::Beep(dwFreq, dwDuration); }
