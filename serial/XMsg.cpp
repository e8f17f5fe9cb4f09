#include "serial/XMsg.h"

CXRecover g_xRecover("", 0);

CXMsg::CXMsg(const std::string& strMessage, int nCode)
    : m_pstrMessage(std::make_unique<std::string>(strMessage)), m_nCode(nCode) {}

CXMsg::~CXMsg() = default;

void CXMsg::SetMessage(const char* pszMessage) {
    if (!m_pstrMessage)
        m_pstrMessage = std::make_unique<std::string>();
    *m_pstrMessage = pszMessage ? pszMessage : "";
}

CXRecover::~CXRecover() = default;
