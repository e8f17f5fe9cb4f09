#pragma once
// The INI (profile file) lookup in the role of GetPrivateProfileStringA.

#include <cstddef>
#include <string>
#include <string_view>

// Section "Firmware_Info", key "Verion", default "Unspecified", 128-character buffer.
inline constexpr const char* FWINFO_SECTION = "Firmware_Info";
inline constexpr const char* FWINFO_KEY = "Verion";
inline constexpr const char* FWINFO_DEFAULT = "Unspecified";
inline constexpr std::size_t FWINFO_BUFFER = 128;

// A profile file is read line by line up to the answer, and no further than its first
// PROFILE_MAX_READ bytes; of a line only its first PROFILE_MAX_LINE bytes are kept. A file of
// gigabytes costs neither the time to read it nor the memory to hold it.
inline constexpr std::size_t PROFILE_MAX_READ = 1 << 20;
inline constexpr std::size_t PROFILE_MAX_LINE = 1 << 16;

// The value of pszKey in section pszSection of the profile text, or pszDefault; cut to
// nBufferSize - 1 characters. Section and key names match without regard to ASCII case,
// blanks around names and values are trimmed, lines beginning with ';' are comments, one
// pair of surrounding quotes is removed, CR LF and LF line ends both work.
std::string ParseProfileString(std::string_view text, const char* pszSection, const char* pszKey,
                               const char* pszDefault, std::size_t nBufferSize);

// A lookup in a file: the value (or the default) and, when the default was taken, why.
struct PROFILE_VALUE {
    std::string strValue;
    bool bFound = false; // the key was found (its value may be empty)
    // Empty when found, otherwise one of: "not found", "cannot open: <reason>", "not a regular
    // file", "read error: <reason>", "no [<section>] section", "no <key> key in [<section>]",
    // "no <key> key in [<section>] within its first <PROFILE_MAX_READ> bytes".
    std::string strNote;
};
PROFILE_VALUE ReadProfileValue(const char* pszSection, const char* pszKey, const char* pszDefault,
                               std::size_t nBufferSize, const std::string& strFileName);

// The value alone; a missing or unreadable file gives the default.
std::string GetPrivateProfileString(const char* pszSection, const char* pszKey,
                                    const char* pszDefault, std::size_t nBufferSize,
                                    const std::string& strFileName);
