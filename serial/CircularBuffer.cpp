#include "serial/CircularBuffer.h"

#include "serial/XMsg.h"

#include <cstring>
#include <new>

namespace {

[[noreturn]] void Raise(const char* pszText) {
    g_xRecover.SetMessage(pszText);
    throw static_cast<CXRecover*>(&g_xRecover);
}

} // namespace

CCircularBuffer::~CCircularBuffer() = default;

HRESULT CCircularBuffer::Create(int nSize) {
    m_nIn = m_nOut = 0;
    m_pData.reset();
    m_nSize = 0;
    if (nSize < 0)
        return E_OUTOFMEMORY;
    m_pData.reset(new (std::nothrow) char[static_cast<size_t>(nSize) + 1]);
    if (!m_pData)
        return E_OUTOFMEMORY;
    m_nSize = nSize + 1;
    return S_OK;
}

char CCircularBuffer::GetAt(int nIndex) const {
    if (nIndex < 0 || nIndex > GetCount() - 1)
        Raise("(CCircularBuffer): Index out of bounds");
    return m_pData[static_cast<size_t>((m_nOut + nIndex) % m_nSize)];
}

int CCircularBuffer::Write(const char* pSrc, int nCount) {
    if (nCount >= m_nSize || nCount < 0)
        Raise("(CCircularBuffer): Count out of bounds");
    const bool bOverrun = nCount > m_nSize - GetCount() - 1;
    if (m_nIn + nCount < m_nSize) {
        std::memcpy(&m_pData[static_cast<size_t>(m_nIn)], pSrc, static_cast<size_t>(nCount));
        m_nIn += nCount;
    } else {
        const int nFirst = m_nSize - m_nIn;
        const int nSecond = nCount - nFirst;
        std::memcpy(&m_pData[static_cast<size_t>(m_nIn)], pSrc, static_cast<size_t>(nFirst));
        if (nSecond > 0)
            std::memcpy(&m_pData[0], pSrc + nFirst, static_cast<size_t>(nSecond));
        m_nIn = nSecond;
    }
    if (bOverrun) {
        m_nOut = (m_nIn + 1) % m_nSize;
        return -1;
    }
    return GetCount();
}

int CCircularBuffer::Read(char* pDest, int* pnCount) {
    if (m_nIn == m_nOut)
        return 1;
    int n = *pnCount;
    if (n > GetCount())
        n = GetCount();
    if (n < 0)
        n = 0;
    *pnCount = n;
    if (m_nOut + n > m_nSize) {
        const int nFirst = m_nSize - m_nOut;
        std::memcpy(pDest, &m_pData[static_cast<size_t>(m_nOut)], static_cast<size_t>(nFirst));
        std::memcpy(pDest + nFirst, &m_pData[0], static_cast<size_t>(n - nFirst));
        m_nOut = n - nFirst;
    } else {
        std::memcpy(pDest, &m_pData[static_cast<size_t>(m_nOut)], static_cast<size_t>(n));
        m_nOut = (m_nOut + n) % m_nSize;
    }
    return 0;
}
