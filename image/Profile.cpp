#include "image/Profile.h"

std::string ParseProfileString(std::string_view, const char*, const char*, const char* pszDefault,
                               std::size_t) {
    return pszDefault ? pszDefault : "";
}

std::string GetPrivateProfileString(const char*, const char*, const char* pszDefault, std::size_t,
                                    const std::string&) {
    return pszDefault ? pszDefault : "";
}
