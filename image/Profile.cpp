#include "image/Profile.h"

#include "image/AsciiCase.h"
#include "platform/FileCompat.h"

#include <cerrno>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Cut(std::string_view value, std::size_t nBufferSize) {
    // The value is a C string in a buffer of nBufferSize characters.
    const std::size_t nul = value.find('\0');
    if (nul != std::string_view::npos)
        value = value.substr(0, nul);
    const std::size_t nMax = nBufferSize ? nBufferSize - 1 : 0;
    if (value.size() > nMax)
        value = value.substr(0, nMax);
    return std::string(value);
}

} // namespace

std::string ParseProfileString(std::string_view text, const char* pszSection, const char* pszKey,
                               const char* pszDefault, std::size_t nBufferSize) {
    const std::string_view def = pszDefault ? pszDefault : "";
    if (!pszSection || !pszKey)
        return Cut(def, nBufferSize);
    const std::string_view section = Trim(pszSection);
    const std::string_view key = Trim(pszKey);

    // A UTF-8 byte-order mark written by some editors is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    bool bInSection = false;
    bool bSectionSeen = false;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = Trim(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);

        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            // The first section of that name is the one that counts.
            if (bSectionSeen)
                break;
            line.remove_prefix(1);
            const std::size_t close = line.find(']');
            bInSection = EqualNoCase(Trim(line.substr(0, close)), section);
            bSectionSeen = bInSection;
            continue;
        }
        if (!bInSection)
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || !EqualNoCase(Trim(line.substr(0, eq)), key))
            continue;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return Cut(value, nBufferSize);
    }
    return Cut(def, nBufferSize);
}

std::string GetPrivateProfileString(const char* pszSection, const char* pszKey,
                                    const char* pszDefault, std::size_t nBufferSize,
                                    const std::string& strFileName) {
    std::string text;
    // Non-blocking open: a FIFO of that name must not hang the window's start.
    const int fd = ::open(strFileName.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                text.append(buf, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
    }
    return ParseProfileString(text, pszSection, pszKey, pszDefault, nBufferSize);
}
