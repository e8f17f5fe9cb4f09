#include "image/Profile.h"

#include "image/AsciiCase.h"
#include "platform/FileCompat.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

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

const char* OrEmpty(const char* psz) {
    return psz ? psz : "";
}

// The lookup, fed one line at a time (without its LF) by the text and by the file reader alike.
class CProfileLookup {
public:
    CProfileLookup(const char* pszSection, const char* pszKey)
        : m_section(Trim(OrEmpty(pszSection))), m_key(Trim(OrEmpty(pszKey))),
          m_bValid(pszSection && pszKey) {}

    // False once the answer is known: the key, or the end of the first matching section.
    bool TakeLine(std::string_view line) {
        if (!m_bValid)
            return false;
        // A UTF-8 byte-order mark written by some editors is not part of the first line.
        if (m_bFirst && line.substr(0, 3) == "\xEF\xBB\xBF")
            line.remove_prefix(3);
        m_bFirst = false;
        line = Trim(line);
        if (line.empty() || line.front() == ';')
            return true;
        if (line.front() == '[') {
            // The first section of that name is the one that counts.
            if (m_bInSection)
                return false;
            line.remove_prefix(1);
            m_bInSection = EqualNoCase(Trim(line.substr(0, line.find(']'))), m_section);
            m_bSectionSeen = m_bSectionSeen || m_bInSection;
            return true;
        }
        if (!m_bInSection)
            return true;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || !EqualNoCase(Trim(line.substr(0, eq)), m_key))
            return true;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        m_strValue = value;
        m_bFound = true;
        return false;
    }

    bool Found() const { return m_bFound; }
    bool SectionSeen() const { return m_bSectionSeen; }
    const std::string& Value() const { return m_strValue; }

private:
    std::string_view m_section;
    std::string_view m_key;
    bool m_bValid;
    bool m_bFirst = true;
    bool m_bInSection = false;
    bool m_bSectionSeen = false;
    bool m_bFound = false;
    std::string m_strValue;
};

} // namespace

std::string ParseProfileString(std::string_view text, const char* pszSection, const char* pszKey,
                               const char* pszDefault, std::size_t nBufferSize) {
    CProfileLookup lookup(pszSection, pszKey);
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!lookup.TakeLine(line))
            break;
    }
    return Cut(lookup.Found() ? std::string_view(lookup.Value()) : OrEmpty(pszDefault),
               nBufferSize);
}

PROFILE_VALUE ReadProfileValue(const char* pszSection, const char* pszKey, const char* pszDefault,
                               std::size_t nBufferSize, const std::string& strFileName) {
    PROFILE_VALUE result;
    result.strValue = Cut(OrEmpty(pszDefault), nBufferSize);
    // Non-blocking open: a FIFO of that name must not hang the window's start.
    const int fd = ::open(strFileName.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int nError = errno;
        // Windows refuses to open a folder ("Permission denied"): what it is says more.
        struct stat other {};
        if (nError != ENOENT && ::stat(strFileName.c_str(), &other) == 0 && !S_ISREG(other.st_mode))
            result.strNote = "not a regular file";
        else
            result.strNote = nError == ENOENT ? std::string("not found")
                                              : std::string("cannot open: ") + std::strerror(nError);
        return result;
    }
    CProfileLookup lookup(pszSection, pszKey);
    std::string line; // the line being read, at most PROFILE_MAX_LINE bytes of it
    std::size_t nRead = 0;
    bool bMore = true; // the lookup wants more lines
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.strNote = std::string("read error: ") + std::strerror(errno);
        bMore = false;
    } else if (!S_ISREG(st.st_mode)) {
        result.strNote = "not a regular file";
        bMore = false;
    }
    char buf[4096];
    while (bMore && nRead < PROFILE_MAX_READ) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, PROFILE_MAX_READ - nRead));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.strNote = std::string("read error: ") + std::strerror(errno);
            bMore = false;
            break;
        }
        if (n == 0)
            break;
        nRead += static_cast<std::size_t>(n);
        std::string_view chunk(buf, static_cast<std::size_t>(n));
        while (bMore && !chunk.empty()) {
            const std::size_t eol = chunk.find('\n');
            const std::string_view part = chunk.substr(0, eol);
            line.append(part.substr(0, PROFILE_MAX_LINE - std::min(line.size(), PROFILE_MAX_LINE)));
            if (eol == std::string_view::npos)
                break;
            chunk.remove_prefix(eol + 1);
            bMore = lookup.TakeLine(line);
            line.clear();
        }
    }
    ::close(fd);
    const bool bCut =
        bMore && nRead >= PROFILE_MAX_READ && static_cast<std::uintmax_t>(st.st_size) > nRead;
    // The last line, without a line end behind it; a line cut by the read limit does not count.
    if (bMore && !bCut && !line.empty())
        lookup.TakeLine(line);
    if (lookup.Found()) {
        result.strValue = Cut(lookup.Value(), nBufferSize);
        result.bFound = true;
    } else if (result.strNote.empty()) {
        const std::string section(Trim(OrEmpty(pszSection)));
        const std::string key(Trim(OrEmpty(pszKey)));
        if (bCut)
            result.strNote = "no " + key + " key in [" + section + "] within its first " +
                             std::to_string(PROFILE_MAX_READ) + " bytes";
        else if (lookup.SectionSeen())
            result.strNote = "no " + key + " key in [" + section + "]";
        else
            result.strNote = "no [" + section + "] section";
    }
    return result;
}

std::string GetPrivateProfileString(const char* pszSection, const char* pszKey,
                                    const char* pszDefault, std::size_t nBufferSize,
                                    const std::string& strFileName) {
    return ReadProfileValue(pszSection, pszKey, pszDefault, nBufferSize, strFileName).strValue;
}
