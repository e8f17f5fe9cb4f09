// Any bytes as an INI file: the lookup stays inside the text and never returns more than the
// buffer holds.
#include "image/Profile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
    const std::string rev =
        ParseProfileString(text, FWINFO_SECTION, FWINFO_KEY, FWINFO_DEFAULT, FWINFO_BUFFER);
    if (rev.size() > FWINFO_BUFFER - 1 || rev.find('\0') != std::string::npos)
        std::abort();

    // Section and key names taken from the text itself, and small buffers.
    if (nSize >= 2) {
        const std::size_t nBuf = pData[0] % 8;
        const std::size_t nSplit = pData[1] % 16;
        const std::string names(text.substr(2, nSplit));
        const std::string section = names.substr(0, names.size() / 2);
        const std::string key = names.substr(names.size() / 2);
        const std::string v =
            ParseProfileString(text.substr(2), section.c_str(), key.c_str(), "dflt", nBuf);
        if (v.size() > (nBuf ? nBuf - 1 : 0))
            std::abort();
    }
    return 0;
}
