#include "upload/LogText.h"

std::string_view CLogText::Append(std::string_view strText) {
    if (m_strText.empty())
        m_strText.reserve(INITIAL_RESERVE);
    const std::size_t nStart = m_strText.size();
    for (const char c : strText) {
        // At position 0 there is no character before the LF: it always gets its CR.
        if (c == '\n' && (m_strText.empty() || m_strText.back() != '\r'))
            m_strText.push_back('\r');
        m_strText.push_back(c);
    }
    return std::string_view(m_strText).substr(nStart);
}
