// The program directory from the module's own path (GetModuleFileNameA), with a trailing '\'.
#include "platform/ProgramDir.h"

#include "platform/Win32.h"

std::string DirectoryOf(const std::string& strPath) {
    const auto sep = strPath.find_last_of("\\/");
    if (sep == std::string::npos)
        return ".\\";
    return strPath.substr(0, sep + 1);
}

std::string GetProgramDir(const char* pszArgv0) {
    char buf[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n > 0 && n < sizeof buf)
        return DirectoryOf(std::string(buf, n));
    return DirectoryOf(pszArgv0 ? pszArgv0 : "");
}

char PathSeparator() {
    return '\\';
}

std::string WithTrailingSeparator(std::string strDir) {
    if (strDir.empty() || strDir.back() == '/' || strDir.back() == '\\')
        return strDir;
    const auto sep = strDir.find_last_of("\\/");
    strDir += sep == std::string::npos ? '\\' : strDir[sep];
    return strDir;
}
