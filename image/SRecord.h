#pragma once
// The S-record reader: finds the lines of an S-record image and decodes its S1 lines.

#include "platform/Status.h"
#include "platform/Types.h"

#include <cstdint>
#include <functional>
#include <string>

// Longest line the reader takes (characters before the line end).
inline constexpr int SREC_MAX_LINE = 1023;

// One line as the reader finds it: the first line begins at the image's first byte after a
// UTF-8 byte-order mark and white space, a line ends before the first CR or LF (or at the
// image's end), and the next line begins at the next S or s.
struct SREC_LINE {
    const char* pText; // inside the image
    int nLength;       // characters before the line end (may exceed SREC_MAX_LINE)
    int nLineNumber;   // 1-based, counting CR, LF and CR LF line ends in the file
};

// Calls fn for every line in order; stops early when fn returns false.
void ForEachSRecordLine(const BYTE* pImage, std::int32_t nLength,
                        const std::function<bool(const SREC_LINE&)>& fn);

// A decoded S1 line.
struct S1_RECORD {
    std::uint16_t wAddr = 0;
    int nData = 0; // 0 .. 252
    BYTE data[252] = {};
};

// Decodes an S1 (or s1) line, checking it in full. S_OK, or E_FAIL with the fault in strFault
// (byte count below 3, line shorter than its byte count says, a character that is not a
// hexadecimal digit, line longer than SREC_MAX_LINE, checksum mismatch).
HRESULT DecodeS1Line(const SREC_LINE& line, S1_RECORD& rec, std::string& strFault);

// Checks a whole S-record image: every S1 line decodes, no S2 or S3 data record is present, and
// every "S1" or "s1" in the text begins a line that gives exactly one load record.
// S_OK, or E_FAIL with "<strFileName>, line N: <fault>" in *pstrError. *pnS1Lines (when not
// null) receives the number of S1 lines converted.
HRESULT ValidateSRecordImage(const BYTE* pImage, std::int32_t nLength,
                             const std::string& strFileName, std::string* pstrError,
                             std::int32_t* pnS1Lines = nullptr);
