#include "cli/Backends.h"

#include "sim/SimLine.h"

namespace cli {

void RegisterLineBackends(const std::string& strImageDir) {
    RegisterSimLineBackend();
    SetSimDefaultImageDir(strImageDir);
}

} // namespace cli
