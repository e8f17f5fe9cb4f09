#pragma once
// The load records of one image: binary images cut into 64-byte chunks, S-record images one
// record per S1 line.

#include "image/FileImg.h"

#include <cstdint>
#include <vector>

// One load record, sent verbatim: "LR", bank ('0' or '1'), address high, address low, n,
// n data bytes, checksum (low 8 bits of the sum of address high, address low, n and the data).
using CLoadRecord = std::vector<char>;

inline constexpr int LR_HEADER_SIZE = 6; // "LR", bank, address high, address low, n
inline constexpr int LR_OVERHEAD = 7;    // header and checksum
inline constexpr int LR_BIN_CHUNK = 64;  // data bytes per record of a binary image
inline constexpr int LR_MAX_DATA = 252;  // data bytes of the longest S1 record

// Builds one record for the full address nFullAddr (bank '1' from 0x10000 on) from n bytes.
CLoadRecord MakeLoadRecord(std::int32_t nFullAddr, const BYTE* pData, int n);
// The same with the bank given directly ('0' or '1') and a 16-bit address.
CLoadRecord MakeLoadRecord(char cBank, std::uint16_t wAddr, const BYTE* pData, int n);

class CLRArray {
public:
    // Converts the image at once. The image must outlive the array.
    explicit CLRArray(CFileImg* pImg);
    CLRArray(const CLRArray&) = delete;
    CLRArray& operator=(const CLRArray&) = delete;

    // Number of records.
    int GetSize() const { return static_cast<int>(m_records.size()); }
    // Record i, 0 <= i < GetSize(): bytes are data(), length is size().
    const CLoadRecord& GetAt(int i) const { return m_records.at(static_cast<std::size_t>(i)); }

    CFileImg* m_pFileImg; // the image the records were built from, not owned
    bool m_bValid;        // false when the image kind is neither binary nor S-record

private:
    void ConvertBinary();
    void ConvertS19();

    std::vector<CLoadRecord> m_records;
};
