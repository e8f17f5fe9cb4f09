#pragma once
// The line backends morfw links, registered with the serial port's name seam at start-up.

#include "serial/AdapterInfo.h"

#include <string>

namespace cli {

// "sim:" for the simulated unit; device paths need no registration. strImageDir is the image
// set the upload loads, which a simulated unit knows unless its images= option says otherwise.
void RegisterLineBackends(const std::string& strImageDir);

// What is known of the adapter behind a port name: a simulated unit's modelled adapter, or
// what the system says of a device.
ADAPTER_INFO ReadPortAdapterInfo(const std::string& strPort);

} // namespace cli
