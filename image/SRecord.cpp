#include "image/SRecord.h"

#include <cstdio>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Printable(char c) {
    char buf[16];
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x21 && b < 0x7F)
        std::snprintf(buf, sizeof buf, "'%c'", c);
    else
        std::snprintf(buf, sizeof buf, "byte 0x%02X", b);
    return buf;
}

// The column of character position nPos of the line, counted from the line's start.
std::string Column(const SREC_LINE& line, int nPos) {
    return "column " + std::to_string(line.nColumn + nPos);
}

// Reads the byte at character position nPos of the line; the caller has checked the length.
bool ReadHexByte(const SREC_LINE& line, int nPos, BYTE& b, std::string& strFault) {
    for (int i = 0; i < 2; ++i) {
        if (HexValue(line.pText[nPos + i]) < 0) {
            strFault = Printable(line.pText[nPos + i]) + " at " + Column(line, nPos + i) +
                       " is not a hexadecimal digit";
            return false;
        }
    }
    b = static_cast<BYTE>(HexValue(line.pText[nPos]) * 16 + HexValue(line.pText[nPos + 1]));
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

// What may stand behind the last record: editors and old tools pad files with NUL or Ctrl-Z.
bool IsPadding(char c) {
    return IsBlank(c) || c == '\r' || c == '\n' || c == '\0' || c == '\x1A';
}

bool IsS(char c) {
    return c == 'S' || c == 's';
}

// Bytes of the address field by record type; 0 for the reserved S4.
constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

std::string Hex(unsigned v, int nDigits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", nDigits, v);
    return buf;
}

} // namespace

void ForEachSRecordLine(const BYTE* pImage, std::int32_t nLength,
                        const std::function<bool(const SREC_LINE&)>& fn) {
    if (!pImage || nLength <= 0)
        return;
    const char* p = reinterpret_cast<const char*>(pImage);
    std::int32_t n = nLength;
    while (n > 0 && IsPadding(p[n - 1]))
        --n;
    // A UTF-8 byte-order mark (some editors write one) is not part of the first line.
    const bool bBom = n >= 3 && pImage[0] == 0xEF && pImage[1] == 0xBB && pImage[2] == 0xBF;
    std::int32_t start = bBom ? 3 : 0;
    int nLine = 1;
    while (start < n) {
        std::int32_t end = start;
        while (end < n && p[end] != '\r' && p[end] != '\n')
            ++end;
        std::int32_t first = start;
        while (first < end && IsBlank(p[first]))
            ++first;
        if (first < end && !fn(SREC_LINE{p + first, static_cast<int>(end - first), nLine,
                                         static_cast<int>(first - start + 1)}))
            return;
        if (end < n && p[end] == '\r' && end + 1 < n && p[end + 1] == '\n')
            ++end;
        start = end + 1;
        ++nLine;
    }
}

HRESULT DecodeSRecord(const SREC_LINE& line, SRECORD& rec, std::string& strFault) {
    rec = SRECORD{};
    if (line.nLength < 1 || !IsS(line.pText[0])) {
        strFault = "not an S-record: " +
                   (line.nLength < 1 ? std::string("nothing") : Printable(line.pText[0])) + " at " +
                   Column(line, 0) + " instead of S";
        return E_FAIL;
    }
    if (line.nLength < 4) {
        strFault = "line is too short to hold a byte count";
        return E_FAIL;
    }
    const char cType = line.pText[1];
    if (cType < '0' || cType > '9') {
        strFault = "not an S-record: " + Printable(cType) + " at " + Column(line, 1) +
                   " instead of the record type (a digit)";
        return E_FAIL;
    }
    rec.nType = cType - '0';
    if (rec.nType == 4) {
        strFault = "S4 is a reserved record type";
        return E_FAIL;
    }
    if (line.nLength > SREC_MAX_LINE) {
        strFault = "line is longer than " + std::to_string(SREC_MAX_LINE) + " characters";
        return E_FAIL;
    }
    BYTE count = 0;
    if (!ReadHexByte(line, 2, count, strFault))
        return E_FAIL;
    const int nAddr = kAddressBytes[rec.nType];
    if (count < nAddr + 1) {
        strFault = "byte count " + Hex(count, 2) + " is below " + std::to_string(nAddr + 1);
        return E_FAIL;
    }
    const int nNeeded = 4 + 2 * count;
    if (line.nLength < nNeeded) {
        strFault = "line is shorter than its byte count says (count " + Hex(count, 2) + " needs " +
                   std::to_string(nNeeded) + " characters, line has " +
                   std::to_string(line.nLength) + ")";
        return E_FAIL;
    }
    for (int i = nNeeded; i < line.nLength; ++i) {
        if (!IsBlank(line.pText[i])) {
            strFault = "unexpected " + Printable(line.pText[i]) + " at " + Column(line, i) +
                       " after the checksum";
            return E_FAIL;
        }
    }
    unsigned sum = count;
    for (int i = 0; i < nAddr; ++i) {
        BYTE b = 0;
        if (!ReadHexByte(line, 4 + 2 * i, b, strFault))
            return E_FAIL;
        sum += b;
        rec.dwAddr = rec.dwAddr << 8 | b;
    }
    rec.nData = count - nAddr - 1;
    const int nDataPos = 4 + 2 * nAddr;
    for (int i = 0; i < rec.nData; ++i) {
        if (!ReadHexByte(line, nDataPos + 2 * i, rec.data[i], strFault))
            return E_FAIL;
        sum += rec.data[i];
    }
    BYTE check = 0;
    if (!ReadHexByte(line, nDataPos + 2 * rec.nData, check, strFault))
        return E_FAIL;
    const auto expected = static_cast<BYTE>(~sum & 0xFF);
    if (check != expected) {
        strFault = "S-record checksum mismatch (line has " + Hex(check, 2) + ", data give " +
                   Hex(expected, 2) + ")";
        return E_FAIL;
    }
    if (rec.nType >= 5 && rec.nData > 0) {
        strFault = "S" + std::to_string(rec.nType) + " record holds " + std::to_string(rec.nData) +
                   " data bytes; a " + (rec.nType <= 6 ? "count" : "termination") +
                   " record holds none";
        return E_FAIL;
    }
    // The load record carries a 16-bit address; data beyond 0xFFFF would wrap onto 0x0000.
    if (rec.nType == 1 && rec.dwAddr + static_cast<std::uint32_t>(rec.nData) > 0x10000) {
        strFault = "S1 record at 0x" + Hex(rec.dwAddr, 4) + " with " + std::to_string(rec.nData) +
                   " data bytes runs past 0xFFFF (to 0x" +
                   Hex(rec.dwAddr + static_cast<std::uint32_t>(rec.nData) - 1, 4) + ")";
        return E_FAIL;
    }
    return S_OK;
}

HRESULT DecodeS1Line(const SREC_LINE& line, S1_RECORD& rec, std::string& strFault) {
    if (FAILED(DecodeSRecord(line, rec, strFault)))
        return E_FAIL;
    if (rec.nType != 1) {
        strFault = "S" + std::to_string(rec.nType) + " record where an S1 record belongs";
        rec = SRECORD{};
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ValidateSRecordImage(const BYTE* pImage, std::int32_t nLength,
                             const std::string& strFileName, std::string* pstrError,
                             std::int32_t* pnS1Lines) {
    std::int32_t nS1 = 0;
    std::string strFault;
    int nFaultLine = 0;
    int nEndLine = 0; // the line of the termination record
    char cEndType = 0;
    SRECORD rec;
    ForEachSRecordLine(pImage, nLength, [&](const SREC_LINE& line) {
        nFaultLine = line.nLineNumber;
        if (nEndLine) {
            strFault = "line after the termination record (S" + std::string(1, cEndType) +
                       " in line " + std::to_string(nEndLine) +
                       "); only padding (NUL, Ctrl-Z, blanks, line ends) may follow it";
            return false;
        }
        const bool bS = IsS(line.pText[0]);
        const char cType = line.nLength >= 2 ? line.pText[1] : 0;
        if (bS && cType != '1') {
            // "S1" inside another record: the record somebody meant to write would be lost.
            for (int i = 0; i + 1 < line.nLength; ++i) {
                if (IsS(line.pText[i]) && line.pText[i + 1] == '1') {
                    strFault = "\"S1\" inside a line that is not an S1 record; its data would be "
                               "dropped";
                    return false;
                }
            }
        }
        if (bS && (cType == '2' || cType == '3')) {
            // The load records carry 16-bit addresses: this data could not reach the unit.
            strFault = std::string("S") + cType + " data record (" + (cType == '2' ? "24" : "32") +
                       "-bit address); only S1 records can be loaded";
            return false;
        }
        if (FAILED(DecodeSRecord(line, rec, strFault)))
            return false;
        if (rec.nType == 1) {
            ++nS1;
        } else if (rec.nType == 5 || rec.nType == 6) {
            if (rec.dwAddr != static_cast<std::uint32_t>(nS1)) {
                strFault = "S" + std::string(1, cType) + " count record says " +
                           std::to_string(rec.dwAddr) + " data record" +
                           (rec.dwAddr == 1 ? "" : "s") + ", but " + std::to_string(nS1) +
                           (nS1 == 1 ? " S1 record precedes it" : " S1 records precede it");
                return false;
            }
        } else if (rec.nType >= 7) {
            nEndLine = line.nLineNumber;
            cEndType = cType;
        }
        strFault.clear();
        return true;
    });
    if (pnS1Lines)
        *pnS1Lines = nS1;
    if (strFault.empty())
        return S_OK;
    if (pstrError)
        *pstrError = strFileName + ", line " + std::to_string(nFaultLine) + ": " + strFault;
    return E_FAIL;
}
