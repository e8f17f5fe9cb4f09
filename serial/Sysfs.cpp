#include "serial/Sysfs.h"

#include <cctype>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

std::string ReadSysfsAttr(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    if (in)
        std::getline(in, s);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    return s;
}

std::string SysfsDriverOf(const fs::path& device) {
    std::error_code ec;
    fs::path p = device;
    for (int i = 0; i < 4 && !p.empty(); ++i, p = p.parent_path()) {
        const fs::path drv = fs::read_symlink(p / "driver", ec);
        if (ec)
            continue;
        const std::string s = drv.filename().string();
        if (s != "port" && s != "ctrl")
            return s;
    }
    return "";
}

fs::path SysfsUsbDevice(const fs::path& device) {
    fs::path p = device;
    for (int i = 0; i < 5 && !p.empty() && p != p.root_path(); ++i, p = p.parent_path()) {
        std::error_code ec;
        if (fs::exists(p / "idVendor", ec))
            return p;
    }
    return {};
}
