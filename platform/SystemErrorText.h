#pragma once
// The system's text for a Win32 error code (GetLastError), without its line end or closing full
// stop; "error N" where the system has none. Windows only (SystemErrorText_win32.cpp).

#include <string>

std::string SystemErrorText(unsigned long dwError);
