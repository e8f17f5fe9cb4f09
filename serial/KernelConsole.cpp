// The consoles of a Linux machine. /proc/consoles has a line per console the kernel writes to:
// its name, flags and, where it has a tty, the device number ("ttyS0  -W- (EC p a)  4:64");
// /sys/class/tty/console/active names the consoles with a tty ("tty0 ttyS0"). A port is matched
// by its device number where it is a device node, and by its name below /dev after following
// links, which holds in a test's tree of plain files too.
#include "serial/KernelConsole.h"

#include "serial/Sysfs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// "4:64" as its two numbers; false for anything else.
bool ParseDevNumber(const std::string& s, int& nMajor, int& nMinor) {
    const size_t nColon = s.find(':');
    if (nColon == 0 || nColon == std::string::npos || nColon + 1 == s.size())
        return false;
    const auto digits = [](const std::string& t) {
        return std::all_of(t.begin(), t.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    const std::string strMajor = s.substr(0, nColon);
    const std::string strMinor = s.substr(nColon + 1);
    if (!digits(strMajor) || !digits(strMinor) || strMajor.size() > 6 || strMinor.size() > 9)
        return false;
    nMajor = std::stoi(strMajor);
    nMinor = std::stoi(strMinor);
    return true;
}

void Add(std::vector<KERNEL_CONSOLE>& consoles, KERNEL_CONSOLE c) {
    for (KERNEL_CONSOLE& known : consoles) {
        if (known.strName == c.strName) {
            if (known.nMajor < 0) {
                known.nMajor = c.nMajor;
                known.nMinor = c.nMinor;
            }
            return;
        }
    }
    consoles.push_back(std::move(c));
}

bool IsVirtualConsoleName(const std::string& strName) {
    return strName.size() > 3 && strName.starts_with("tty") &&
           std::all_of(strName.begin() + 3, strName.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

} // namespace

std::vector<KERNEL_CONSOLE> ReadKernelConsoles(const CONSOLE_ROOTS& roots) {
    std::vector<KERNEL_CONSOLE> consoles;
    std::ifstream proc(roots.strProcConsoles);
    std::string strLine;
    while (std::getline(proc, strLine)) {
        std::istringstream fields(strLine);
        std::string strField;
        KERNEL_CONSOLE c;
        if (!(fields >> c.strName))
            continue;
        std::string strLast;
        while (fields >> strField)
            strLast = strField;
        // A console without a tty (netconsole) has no number; it is no port either.
        if (!ParseDevNumber(strLast, c.nMajor, c.nMinor))
            c.nMajor = c.nMinor = -1;
        Add(consoles, std::move(c));
    }
    std::istringstream active(ReadSysfsAttr(fs::path(roots.strSysClassTty) / "console" / "active"));
    KERNEL_CONSOLE c;
    while (active >> c.strName) {
        c.nMajor = c.nMinor = -1;
        ParseDevNumber(ReadSysfsAttr(fs::path(roots.strSysClassTty) / c.strName / "dev"), c.nMajor,
                       c.nMinor);
        Add(consoles, c);
    }
    return consoles;
}

std::string ConsolePortReason(const std::string& strDevice, const CONSOLE_ROOTS& roots) {
    if (strDevice.empty())
        return "";
    // The device's name below /dev, links followed: /dev/serial0 is ttyS0.
    std::error_code ec;
    fs::path node = fs::canonical(strDevice, ec);
    if (ec)
        node = fs::path(strDevice).lexically_normal();
    fs::path dir = fs::canonical(roots.strDevDir, ec);
    if (ec)
        dir = fs::path(roots.strDevDir).lexically_normal();
    std::string strName = node.lexically_relative(dir).generic_string();
    if (strName.empty() || strName == "." || strName.starts_with(".."))
        strName.clear();
    std::replace(strName.begin(), strName.end(), '/', '!');

    int nMajor = -1;
    int nMinor = -1;
    struct stat st {};
    if (stat(strDevice.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        nMajor = static_cast<int>(major(st.st_rdev));
        nMinor = static_cast<int>(minor(st.st_rdev));
    }
    const auto is = [&](int nMaj, int nMin, const char* pszName) {
        return (nMajor == nMaj && nMinor == nMin) || strName == pszName;
    };
    if (is(5, 1, "console"))
        return strDevice + " is the system console";
    if (is(5, 0, "tty"))
        return strDevice + " is the terminal of this session (/dev/tty)";
    if ((nMajor == 4 && nMinor < 64) || IsVirtualConsoleName(strName))
        return strDevice + " is a virtual console";
    for (const KERNEL_CONSOLE& c : ReadKernelConsoles(roots)) {
        if ((c.nMajor >= 0 && c.nMajor == nMajor && c.nMinor == nMinor) || c.strName == strName)
            return strDevice + " is the kernel console (" + c.strName + ")";
    }
    return "";
}
