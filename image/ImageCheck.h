#pragma once
// Checks an image directory without any port: files, sizes, kinds, record counts, S-record
// validity and the revision, for the command line's "check".

#include "image/FileImg.h"

#include <cstdint>
#include <string>
#include <vector>

struct IMAGE_FILE_CHECK {
    int nPosition = 0;
    std::string strName; // name in the image table
    std::string strPath; // path found (empty when not found)
    std::int32_t nBaseAddr = 0;
    bool bFound = false;       // the file exists (exactly or as the single case-insensitive match)
    bool bMissing = false;     // the file is known to be absent (not merely unreadable)
    std::int64_t nLength = -1; // size in bytes, -1 when unknown
    std::int32_t nType = -1;   // FILEIMG_BIN, FILEIMG_S19 or -1
    std::int32_t nCounted = 0; // records as the progress bar counts them (positions 2 to 4)
    std::int32_t nRecords = 0; // load records the conversion builds (positions 2 to 4)
    bool bValid = false;       // the file loads and, where it is converted, converts soundly
    std::string strError;      // what is wrong, one line (empty when valid)
};

struct IMAGE_SET_CHECK {
    std::string strImageDir;
    std::string strIniPath;
    bool bIniFound = false;              // the INI file is there as a regular file
    std::string strRevision;             // "Unspecified" when the INI file or its key is missing
    std::string strRevisionNote;         // why the revision is the default (empty when it is not)
    std::vector<IMAGE_FILE_CHECK> files; // always the five entries of the table, in order
    std::int32_t nTotalCounted = 0;      // the progress bar's range
    bool bValid = false;                 // every file valid: an upload would load this set
};

// Checks every file (not stopping at the first fault).
IMAGE_SET_CHECK CheckImageDir(const std::string& strImageDir);
