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

// The value of pszKey in section pszSection of the profile text, or pszDefault; cut to
// nBufferSize - 1 characters. Section and key names match without regard to ASCII case,
// blanks around names and values are trimmed, lines beginning with ';' are comments, one
// pair of surrounding quotes is removed, CR LF and LF line ends both work.
std::string ParseProfileString(std::string_view text, const char* pszSection, const char* pszKey,
                               const char* pszDefault, std::size_t nBufferSize);

// The same from a file; a missing or unreadable file gives the default.
std::string GetPrivateProfileString(const char* pszSection, const char* pszKey,
                                    const char* pszDefault, std::size_t nBufferSize,
                                    const std::string& strFileName);
