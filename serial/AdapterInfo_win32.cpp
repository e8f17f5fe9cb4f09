// The registry lists the ports without the adapters behind them: only the name is known, so
// every verdict on a Windows port is Unknown.
#include "serial/AdapterInfo.h"

ADAPTER_INFO ReadAdapterInfo(const std::string& strDevice, const std::string&, const std::string&) {
    ADAPTER_INFO info;
    info.strDevice = strDevice;
    return info;
}
