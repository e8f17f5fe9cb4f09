#include "image/LRArray.h"

CLoadRecord MakeLoadRecord(std::int32_t nFullAddr, const BYTE* pData, int n) {
    return MakeLoadRecord(nFullAddr >= 0x10000 ? '1' : '0',
                          static_cast<std::uint16_t>(nFullAddr & 0xFFFF), pData, n);
}

CLoadRecord MakeLoadRecord(char cBank, std::uint16_t wAddr, const BYTE* pData, int n) {
    CLoadRecord rec;
    rec.reserve(static_cast<std::size_t>(n + LR_OVERHEAD));
    rec.push_back('L');
    rec.push_back('R');
    rec.push_back(cBank);
    rec.push_back(static_cast<char>(wAddr >> 8));
    rec.push_back(static_cast<char>(wAddr & 0xFF));
    rec.push_back(static_cast<char>(n));
    unsigned sum = (wAddr >> 8) + (wAddr & 0xFFu) + static_cast<unsigned>(n);
    for (int i = 0; i < n; ++i) {
        rec.push_back(static_cast<char>(pData[i]));
        sum += pData[i];
    }
    rec.push_back(static_cast<char>(sum & 0xFF));
    return rec;
}

CLRArray::CLRArray(CFileImg* pImg) : m_pFileImg(pImg), m_bValid(true) {}

void CLRArray::ConvertBinary() {}
void CLRArray::ConvertS19() {}
