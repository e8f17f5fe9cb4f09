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

// Reads the byte at character position nPos of the line; the caller has checked the length.
bool ReadHexByte(const SREC_LINE& line, int nPos, BYTE& b, std::string& strFault) {
    for (int i = 0; i < 2; ++i) {
        if (HexValue(line.pText[nPos + i]) < 0) {
            strFault = Printable(line.pText[nPos + i]) + " at column " +
                       std::to_string(nPos + i + 1) + " is not a hexadecimal digit";
            return false;
        }
    }
    b = static_cast<BYTE>(HexValue(line.pText[nPos]) * 16 + HexValue(line.pText[nPos + 1]));
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

void ForEachSRecordLine(const BYTE* pImage, std::int32_t nLength,
                        const std::function<bool(const SREC_LINE&)>& fn) {
    if (!pImage || nLength <= 0)
        return;
    const char* p = reinterpret_cast<const char*>(pImage);
    const std::int32_t n = nLength;
    std::int32_t start = 0;
    int nLine = 1;
    // A UTF-8 byte-order mark (some editors write one) and white space before the first line
    // would otherwise become part of the first line and hide its record.
    if (n >= 3 && pImage[0] == 0xEF && pImage[1] == 0xBB && pImage[2] == 0xBF)
        start = 3;
    while (start < n && (p[start] == ' ' || p[start] == '\t' || p[start] == '\r' ||
                         p[start] == '\n' || p[start] == '\f' || p[start] == '\v')) {
        if (p[start] == '\n' || (p[start] == '\r' && (start + 1 >= n || p[start + 1] != '\n')))
            ++nLine;
        ++start;
    }
    for (;;) {
        std::int32_t end = start;
        while (end < n && p[end] != '\r' && p[end] != '\n')
            ++end;
        SREC_LINE line{p + start, static_cast<int>(end - start), nLine};
        // Skip to the next S or s, counting the line ends passed over (CR LF counts once).
        std::int32_t next = end;
        while (next < n && p[next] != 'S' && p[next] != 's') {
            if (p[next] == '\n' || (p[next] == '\r' && (next + 1 >= n || p[next + 1] != '\n')))
                ++nLine;
            ++next;
        }
        // The last line is handed on too: an image cut after an S1 line must not lose it.
        if (!fn(line) || next >= n)
            return;
        start = next;
    }
}

HRESULT DecodeS1Line(const SREC_LINE& line, S1_RECORD& rec, std::string& strFault) {
    rec = S1_RECORD{};
    if (line.nLength > SREC_MAX_LINE) {
        strFault = "line is longer than " + std::to_string(SREC_MAX_LINE) + " characters";
        return E_FAIL;
    }
    if (line.nLength < 4) {
        strFault = "line is too short to hold a byte count";
        return E_FAIL;
    }
    BYTE count = 0;
    if (!ReadHexByte(line, 2, count, strFault))
        return E_FAIL;
    if (count < 3) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "byte count %02X is below 3", count);
        strFault = buf;
        return E_FAIL;
    }
    const int nNeeded = 4 + 2 * count;
    if (line.nLength < nNeeded) {
        char buf[128];
        std::snprintf(buf, sizeof buf,
                      "line is shorter than its byte count says (count %02X needs %d characters, "
                      "line has %d)",
                      count, nNeeded, line.nLength);
        strFault = buf;
        return E_FAIL;
    }
    for (int i = nNeeded; i < line.nLength; ++i) {
        if (!IsBlank(line.pText[i])) {
            strFault = "unexpected " + Printable(line.pText[i]) + " at column " +
                       std::to_string(i + 1) + " after the checksum";
            return E_FAIL;
        }
    }
    unsigned sum = count;
    BYTE hi = 0;
    BYTE lo = 0;
    if (!ReadHexByte(line, 4, hi, strFault) || !ReadHexByte(line, 6, lo, strFault))
        return E_FAIL;
    sum += hi + lo;
    rec.wAddr = static_cast<std::uint16_t>(hi << 8 | lo);
    rec.nData = count - 3;
    for (int i = 0; i < rec.nData; ++i) {
        if (!ReadHexByte(line, 8 + 2 * i, rec.data[i], strFault))
            return E_FAIL;
        sum += rec.data[i];
    }
    BYTE check = 0;
    if (!ReadHexByte(line, 8 + 2 * rec.nData, check, strFault))
        return E_FAIL;
    const auto expected = static_cast<BYTE>(~sum & 0xFF);
    if (check != expected) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "S-record checksum mismatch (line has %02X, data give %02X)",
                      check, expected);
        strFault = buf;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ValidateSRecordImage(const BYTE* pImage, std::int32_t nLength,
                             const std::string& strFileName, std::string* pstrError,
                             std::int32_t* pnS1Lines) {
    std::int32_t nS1 = 0;
    HRESULT hr = S_OK;
    std::string strFault;
    int nFaultLine = 0;
    S1_RECORD rec;
    ForEachSRecordLine(pImage, nLength, [&](const SREC_LINE& line) {
        // Every "S1" or "s1" of a line must begin the one load record that the line gives:
        // anything else would be a record dropped unseen (or one nobody wrote). The progress
        // bar's count (capital "S1" only) merely sets the bar's range and is not judged here.
        int nSeen = 0;
        for (int i = 0; i + 1 < line.nLength; ++i)
            nSeen += (line.pText[i] == 'S' || line.pText[i] == 's') && line.pText[i + 1] == '1';
        const int nConverted = line.nLength >= 2 && line.pText[1] == '1';
        if (nSeen != nConverted) {
            strFault = nConverted ? "line does not begin with S1 but would be converted as an S1 "
                                    "record"
                                  : "\"S1\" inside a line that is not an S1 record; its data "
                                    "would be dropped";
            hr = E_FAIL;
            nFaultLine = line.nLineNumber;
            return false;
        }
        if (line.nLength < 2)
            return true;
        const char c0 = line.pText[0];
        const char c1 = line.pText[1];
        if (c1 == '1') {
            // The converter takes any line whose second character is 1 (the first character of
            // the image's first line is not examined), so each such line must be sound.
            if (FAILED(DecodeS1Line(line, rec, strFault))) {
                hr = E_FAIL;
                nFaultLine = line.nLineNumber;
                return false;
            }
            ++nS1;
        } else if ((c0 == 'S' || c0 == 's') && (c1 == '2' || c1 == '3')) {
            // The load records carry 16-bit addresses: this data could not reach the unit.
            strFault = std::string("S") + c1 + " data record (" + (c1 == '2' ? "24" : "32") +
                       "-bit address); only S1 records can be loaded";
            hr = E_FAIL;
            nFaultLine = line.nLineNumber;
            return false;
        }
        return true;
    });
    if (pnS1Lines)
        *pnS1Lines = nS1;
    if (FAILED(hr) && pstrError)
        *pstrError = strFileName + ", line " + std::to_string(nFaultLine) + ": " + strFault;
    return hr;
}
