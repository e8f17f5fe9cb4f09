#include "cli/Backends.h"

#include "sim/SimAdapter.h"
#include "sim/SimLine.h"

namespace cli {

void RegisterLineBackends(const std::string& strImageDir) {
    RegisterSimLineBackend();
    SetSimDefaultImageDir(strImageDir);
}

ADAPTER_INFO ReadPortAdapterInfo(const std::string& strPort) {
    ADAPTER_INFO info;
    if (GetSimPortAdapterInfo(strPort, &info))
        return info;
    return ReadAdapterInfo(strPort);
}

} // namespace cli
