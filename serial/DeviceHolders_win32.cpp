// Windows opens a port without sharing and refuses every other open itself; it does not tell
// who holds a port, so there is nobody to name.
#include "serial/DeviceHolders.h"

std::vector<DeviceHolder> FindDeviceHolders(unsigned long long, const std::string&) { return {}; }

std::vector<DeviceHolder> FindPortHolders(const std::string&) { return {}; }
