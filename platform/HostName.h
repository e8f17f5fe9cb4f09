#pragma once
// This machine's name, as the records name the station a unit was flashed at
// (HostName.cpp, HostName_win32.cpp).

#include <string>

// The host name, or "" when the system does not say it.
std::string GetHostName();
