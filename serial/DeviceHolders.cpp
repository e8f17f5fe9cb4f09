#include "serial/DeviceHolders.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* p) const { closedir(p); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A directory entry's name as a process id, or 0.
int PidOf(const char* pszName) {
    char* pEnd = nullptr;
    const long n = std::strtol(pszName, &pEnd, 10);
    return (pEnd != pszName && *pEnd == '\0' && n > 0 && n < 0x7FFFFFFF) ? static_cast<int>(n) : 0;
}

bool HoldsDevice(const std::string& strFdDir, unsigned long long nDevice) {
    const DirPtr dir(opendir(strFdDir.c_str()));
    if (!dir)
        return false;
    while (const dirent* e = readdir(dir.get())) {
        if (e->d_name[0] == '.')
            continue;
        struct stat st {};
        // stat follows the descriptor's link to what it has open; nothing is opened.
        if (stat((strFdDir + "/" + e->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            static_cast<unsigned long long>(st.st_rdev) == nDevice)
            return true;
    }
    return false;
}

} // namespace

std::vector<DeviceHolder> FindDeviceHolders(unsigned long long nDevice,
                                            const std::string& strProcDir) {
    std::vector<DeviceHolder> holders;
    const DirPtr proc(opendir(strProcDir.c_str()));
    if (!proc)
        return holders;
    const int nSelf = static_cast<int>(getpid());
    while (const dirent* e = readdir(proc.get())) {
        const int nPid = PidOf(e->d_name);
        if (nPid == 0 || nPid == nSelf)
            continue;
        const std::string strDir = strProcDir + "/" + e->d_name;
        if (!HoldsDevice(strDir + "/fd", nDevice))
            continue;
        DeviceHolder h;
        h.nPid = nPid;
        std::ifstream comm(strDir + "/comm");
        std::getline(comm, h.strName);
        holders.push_back(std::move(h));
    }
    return holders;
}

std::vector<DeviceHolder> FindPortHolders(const std::string& strDevice) {
    struct stat st {};
    if (stat(strDevice.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    return FindDeviceHolders(static_cast<unsigned long long>(st.st_rdev));
}
