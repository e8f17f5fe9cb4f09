#pragma once
#include "platform/Types.h"

#if defined(_WIN32)
// The system's own Sleep, declared as <windows.h> declares it.
extern "C" __declspec(dllimport) void __stdcall Sleep(DWORD dwMilliseconds);
#else
// A plain pause of the calling thread.
void Sleep(DWORD dwMilliseconds);
#endif
