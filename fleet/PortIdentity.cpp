#include "fleet/PortIdentity.h"

#include "serial/AdapterInfo.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace fleet {

namespace {

fs::path Resolved(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::canonical(p, ec);
    return ec ? fs::path() : r;
}

// The links of one of udev's directories that lead to target, in name order.
std::string LinkTo(const fs::path& dir, const fs::path& target) {
    std::error_code ec;
    std::vector<fs::path> links;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        links.push_back(it->path());
    std::sort(links.begin(), links.end());
    for (const auto& link : links) {
        if (Resolved(link) == target)
            return link.string();
    }
    return {};
}

} // namespace

bool GetDeviceKey(const std::string& strPath, DeviceKey& key) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return false;
    if (S_ISCHR(st.st_mode))
        key = {true, st.st_rdev, 0};
    else
        key = {false, st.st_dev, st.st_ino};
    return true;
}

PortIdentity IdentifyPort(const std::string& strPort, const std::string& strDevDir,
                          const std::string& strSysClassTty) {
    PortIdentity id;
    if (strPort.empty() || strPort.front() != '/')
        return id; // sim: and other names that are no device
    const fs::path byId = fs::path(strDevDir) / "serial" / "by-id";
    const fs::path byPath = fs::path(strDevDir) / "serial" / "by-path";
    const fs::path parent = fs::path(strPort).parent_path();
    if (parent == byId || parent == byPath) {
        id.strStableName = strPort;
    } else if (const fs::path target = Resolved(strPort); !target.empty()) {
        id.strStableName = LinkTo(byId, target);
        if (id.strStableName.empty())
            id.strStableName = LinkTo(byPath, target);
    }
    id.strAdapterSerial = ReadAdapterInfo(strPort, strSysClassTty, strDevDir).strSerialNumber;
    return id;
}

} // namespace fleet
