#pragma once
// The S-record reader: finds the lines of an S-record image, decodes and checks its records.

#include "platform/Status.h"
#include "platform/Types.h"

#include <cstdint>
#include <functional>
#include <string>

// Longest line the reader takes (characters before the line end).
inline constexpr int SREC_MAX_LINE = 1023;

// One line that is not blank. Lines end at CR, LF or CR LF; the first line begins after a UTF-8
// byte-order mark. Blank lines (spaces, tabs, form feeds) are passed over, and so is the padding
// at the image's end: NUL, Ctrl-Z, blanks and line ends behind its last other byte.
struct SREC_LINE {
    const char* pText; // the line's first character that is not a blank, inside the image
    int nLength;       // characters from pText to the line end, trailing blanks included
    int nLineNumber;   // 1-based, counting CR, LF and CR LF line ends in the file
    int nColumn = 1;   // 1-based column of pText[0] in its line (after a byte-order mark)
};

// Calls fn for every line that is not blank, in order; stops early when fn returns false.
void ForEachSRecordLine(const BYTE* pImage, std::int32_t nLength,
                        const std::function<bool(const SREC_LINE&)>& fn);

// A decoded record of any type.
struct SRECORD {
    int nType = 0;            // 0 to 9, never 4
    std::uint32_t dwAddr = 0; // the address field: 2 bytes (S0, S1, S5, S9), 3 (S2, S6, S8),
                              // 4 (S3, S7); the record count of S5 and S6
    int nData = 0;            // 0 .. 252
    BYTE data[252] = {};
};
using S1_RECORD = SRECORD;

// Decodes a record of any type, checking it in full. S_OK, or E_FAIL with the fault in strFault
// (columns count from the start of the line): not an S-record (no S or s, no type digit, the
// reserved type S4), a line longer than SREC_MAX_LINE, a byte count too small for the type's
// address or larger than the line, a character that is not a hexadecimal digit, anything but
// blanks after the checksum, a checksum mismatch, data in a count or termination record (S5 to
// S9), an S1 record running past the address 0xFFFF.
HRESULT DecodeSRecord(const SREC_LINE& line, SRECORD& rec, std::string& strFault);

// The same for an S1 (or s1) line; any other line is a fault.
HRESULT DecodeS1Line(const SREC_LINE& line, S1_RECORD& rec, std::string& strFault);

// Checks a whole S-record image: every line that is not blank is a sound record; no S2 or S3
// data record; a count record (S5, S6) gives the number of S1 records before it; nothing but
// padding follows a termination record (S7, S8, S9); no "S1" or "s1" inside a line that is not
// an S1 record. S_OK, or E_FAIL with "<strFileName>, line N: <fault>" in *pstrError.
// *pnS1Lines (when not null) receives the number of S1 records.
HRESULT ValidateSRecordImage(const BYTE* pImage, std::int32_t nLength,
                             const std::string& strFileName, std::string* pstrError,
                             std::int32_t* pnS1Lines = nullptr);
