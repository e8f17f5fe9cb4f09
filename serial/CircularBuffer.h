#pragma once
// A byte ring of fixed capacity that keeps the newest bytes when it overflows.
// Not thread-safe by itself: the serial port guards each ring with its own mutex.

#include "platform/Status.h"

#include <memory>

class CCircularBuffer {
public:
    CCircularBuffer() = default;
    virtual ~CCircularBuffer();
    CCircularBuffer(const CCircularBuffer&) = delete;
    CCircularBuffer& operator=(const CCircularBuffer&) = delete;

    // Discards the old storage and contents; the ring then holds up to nSize bytes.
    // S_OK or E_OUTOFMEMORY (the ring is then left without storage).
    HRESULT Create(int nSize);

    int GetCount() const {
        return m_nIn >= m_nOut ? m_nIn - m_nOut : m_nSize - m_nOut + m_nIn;
    }
    // The byte nIndex places after the oldest. Raises the index error outside 0 .. count-1.
    char GetAt(int nIndex) const;
    // Appends nCount bytes. Returns the new count, or -1 when they overran the ring (the oldest
    // bytes are then lost and the ring is full). A count not below the slot count raises the
    // count error and stores nothing.
    int Write(const char* pSrc, int nCount);
    // Removes up to *pnCount bytes (the count is lowered to what was there): 0. On an empty
    // ring: 1, with *pnCount untouched.
    int Read(char* pDest, int* pnCount);
    void Clear() { m_nIn = m_nOut = 0; }

    int GetSize() const { return m_nSize; } // slots: the capacity plus one

private:
    std::unique_ptr<char[]> m_pData;
    int m_nIn = 0;
    int m_nOut = 0;
    int m_nSize = 0;
};
