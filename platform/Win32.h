#pragma once
// <windows.h> for the files that call the system on Windows. Include it after the project's own
// headers: they declare the Win32 names they share with it (DWORD, INFINITE, WAIT_OBJECT_0,
// NOPARITY, SETDTR, EV_RXCHAR, ...) with the same values, which its macros then stand for, and the
// project's line-state record DCB, which is why the system's record is renamed WIN32_DCB here.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define DCB WIN32_DCB
#include <windows.h>
#undef DCB
