#pragma once
// The error object the byte ring raises. One shared instance, g_xRecover, is thrown by pointer.

#include <memory>
#include <string>

class CXMsg {
public:
    CXMsg(const std::string& strMessage, int nCode);
    virtual ~CXMsg();
    CXMsg(const CXMsg&) = delete;
    CXMsg& operator=(const CXMsg&) = delete;

    void SetMessage(const char* pszMessage);
    // "" when there is no message.
    const char* GetMessage() const { return m_pstrMessage ? m_pstrMessage->c_str() : ""; }
    int GetCode() const { return m_nCode; }

private:
    std::unique_ptr<std::string> m_pstrMessage;
    int m_nCode;
};

class CXRecover : public CXMsg {
public:
    using CXMsg::CXMsg;
    ~CXRecover() override;
};

// Handlers catch it as CXRecover* or CXMsg* and must not free it. Each raise overwrites the
// message of the previous one.
extern CXRecover g_xRecover;
