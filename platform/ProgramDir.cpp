#include "platform/ProgramDir.h"

#include <climits>
#include <unistd.h>

std::string DirectoryOf(const std::string& strPath) {
    const auto slash = strPath.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return strPath.substr(0, slash + 1);
}

std::string GetProgramDir(const char* pszArgv0) {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        buf[n] = '\0';
        return DirectoryOf(buf);
    }
    return DirectoryOf(pszArgv0 ? pszArgv0 : "");
}

char PathSeparator() {
    return '/';
}

std::string WithTrailingSeparator(std::string strDir) {
    if (!strDir.empty() && strDir.back() != '/')
        strDir += '/';
    return strDir;
}
