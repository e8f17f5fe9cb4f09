// Any bytes as an S-record image: the reader must stay inside the image, and what it accepts
// must convert into sound load records, one per S1 line.
#include "image/FileImg.h"
#include "image/LRArray.h"
#include "image/SRecord.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize > 1 << 20)
        return 0;
    // The first byte picks the base address; the image buffer holds exactly the image's bytes
    // (no spare bytes behind), so any read beyond the image is caught.
    const std::int32_t nBase = nSize && (pData[0] & 1) ? 0x10000 : (nSize ? pData[0] << 4 : 0);
    CFileImg img;
    img.strFileName = "fuzz.s19";
    img.nType = FILEIMG_S19;
    img.nBaseAddr = nBase;
    img.nLength = static_cast<std::int32_t>(nSize);
    img.pData = std::make_unique<BYTE[]>(nSize ? nSize : 1);
    if (nSize)
        std::memcpy(img.pData.get(), pData, nSize);

    std::string err;
    std::int32_t nS1 = -1;
    const HRESULT hr =
        ValidateSRecordImage(img.pData.get(), img.nLength, img.strFileName, &err, &nS1);
    if (FAILED(hr) && err.rfind("fuzz.s19, line ", 0) != 0)
        std::abort();
    (void)CountLoadRecords(img);

    CLRArray lra(&img);
    if (!lra.m_bValid)
        std::abort();
    if (SUCCEEDED(hr) && lra.GetSize() != nS1)
        std::abort();
    for (int i = 0; i < lra.GetSize(); ++i) {
        const CLoadRecord& r = lra.GetAt(i);
        if (r.size() < 7 || r[0] != 'L' || r[1] != 'R' || (r[2] != '0' && r[2] != '1'))
            std::abort();
        const auto n = static_cast<std::uint8_t>(r[5]);
        if (n > LR_MAX_DATA || r.size() != n + 7u)
            std::abort();
        unsigned sum = 0;
        for (std::size_t k = 3; k + 1 < r.size(); ++k)
            sum += static_cast<std::uint8_t>(r[k]);
        if (static_cast<std::uint8_t>(r.back()) != (sum & 0xFF))
            std::abort();
    }

    // The same bytes as a binary load image.
    img.nType = FILEIMG_BIN;
    CLRArray bin(&img);
    if (bin.m_bValid && bin.GetSize() != CountLoadRecords(img))
        std::abort();
    return 0;
}
