#include "image/LRArray.h"

#include "image/SRecord.h"

#include <string>

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

CLRArray::CLRArray(CFileImg* pImg) : m_pFileImg(pImg), m_bValid(true) {
    if (!pImg || !pImg->pData || pImg->nLength <= 0) {
        m_bValid = pImg && (pImg->nType == FILEIMG_BIN || pImg->nType == FILEIMG_S19);
        return;
    }
    if (pImg->nType == FILEIMG_BIN)
        ConvertBinary();
    else if (pImg->nType == FILEIMG_S19)
        ConvertS19();
    else
        m_bValid = false;
}

void CLRArray::ConvertBinary() {
    const CFileImg& img = *m_pFileImg;
    m_records.reserve(static_cast<std::size_t>(img.nLength / LR_BIN_CHUNK + 1));
    for (std::int32_t k = 0; k < img.nLength; k += LR_BIN_CHUNK) {
        const std::int64_t nFull = static_cast<std::int64_t>(img.nBaseAddr) + k;
        if (nFull >= 0x20000 || nFull < 0) {
            // The bank byte cannot express this address; the records would overwrite the
            // image's own start. Loading refuses such an image; never build the records.
            m_bValid = false;
            return;
        }
        const int c = img.nLength - k < LR_BIN_CHUNK ? img.nLength - k : LR_BIN_CHUNK;
        m_records.push_back(
            MakeLoadRecord(static_cast<std::int32_t>(nFull), img.pData.get() + k, c));
    }
}

void CLRArray::ConvertS19() {
    const CFileImg& img = *m_pFileImg;
    S1_RECORD rec;
    std::string strFault;
    ForEachSRecordLine(img.pData.get(), img.nLength, [&](const SREC_LINE& line) {
        // Other records are skipped, and so are malformed S1 lines: loading has refused an
        // image that holds one, so this only keeps the converter inside the image.
        if (SUCCEEDED(DecodeS1Line(line, rec, strFault))) {
            const std::int64_t nFull = static_cast<std::int64_t>(rec.dwAddr) + img.nBaseAddr;
            m_records.push_back(MakeLoadRecord(nFull >= 0x10000 ? '1' : '0',
                                               static_cast<std::uint16_t>(rec.dwAddr), rec.data,
                                               rec.nData));
        }
        return true;
    });
}
