#pragma once
// The firmware image set: five files in the image directory "MorFWImg/" beside the program,
// held in memory for one upload session.

#include "platform/Status.h"
#include "platform/Types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <string>

// Image kinds (CFileImg::nType).
inline constexpr std::int32_t FILEIMG_BIN = 0; // binary image
inline constexpr std::int32_t FILEIMG_S19 = 1; // Motorola S-record text

// Bytes behind every image buffer that belong to no image; they are zero.
inline constexpr std::int32_t FILEIMG_SPARE = 10;

// Positions in the image list.
inline constexpr int FILEIMG_POS_SHUTUP = 0;
inline constexpr int FILEIMG_POS_BOOTI = 1;
inline constexpr int FILEIMG_POS_SBOOT = 2;
inline constexpr int FILEIMG_POS_KERNEL = 3;
inline constexpr int FILEIMG_POS_FIRMWARE = 4;
inline constexpr int FILEIMG_COUNT = 5;

// A boot frame (the lead byte 0xFF and the image) goes out in one piece and must fit the
// port's transmit ring, which holds 4096 bytes.
inline constexpr std::int32_t MAX_BOOT_IMAGE_LENGTH = 4095;

// The image directory below the program directory (with the system's separator behind it), and
// the INI file inside it.
inline constexpr const char* FILEIMG_DIR = "MorFWImg";
inline constexpr const char* FILEIMG_INI = "MorFWImg.ini";

// One image file in memory. Nobody writes a record after LoadImageFiles has appended it.
class CFileImg {
public:
    std::string strFileName;          // full path as opened (image directory + file name)
    std::int32_t nLength = 0;         // file size in bytes
    std::int32_t nType = FILEIMG_BIN; // FILEIMG_BIN or FILEIMG_S19
    std::unique_ptr<BYTE[]> pData;    // nLength + FILEIMG_SPARE bytes; readers stay below nLength
    std::int32_t nBaseAddr = 0;       // base address from the image table

    CFileImg() = default;
    CFileImg(const CFileImg&) = delete;
    CFileImg& operator=(const CFileImg&) = delete;
    CFileImg(CFileImg&&) = default;
    CFileImg& operator=(CFileImg&&) = default;
};

// The image list (m_listFileImg): the records by position, owned by the list's nodes.
// Emptying the list (clear) destroys every record and its buffer.
using CFileImgList = std::list<std::unique_ptr<CFileImg>>;

// The record at position nPos, or null when the list holds fewer than nPos + 1 records.
CFileImg* GetFileImgAt(const CFileImgList& listFileImg, int nPos);

// One entry of the fixed image table.
struct FILEIMG_ENTRY {
    const char* pszFileName;
    std::int32_t nBaseAddr;
};

// The five images in load order: "Shutup.bin" 0, "BootI.bin" 0, "SBoot.bin" 0x500,
// "kernimg.s19" 0x10000, "Morvane.s19" 0.
const std::array<FILEIMG_ENTRY, FILEIMG_COUNT>& GetImageTable();

// strAppDir + "MorFWImg/", with the separator strAppDir ends with ("C:\MorFW\MorFWImg\" on
// Windows); one is added when it has none, so the path keeps to one kind of separator.
std::string GetImageDir(const std::string& strAppDir);
// strAppDir + "MorFWImg/MorFWImg.ini".
std::string GetIniPath(const std::string& strAppDir);

// The kind that a file name's extension gives ("s19" or "bin", any ASCII case), or -1.
std::int32_t GetFileImgType(const std::string& strFileName);

// Finds strFileName in strImageDir: the exact name when it exists, otherwise the single entry
// whose name matches without regard to ASCII case. S_OK with the path in strPath; E_FAIL when
// there is none or more than one (pstrError, when not null, says which). *pbMissing, when not
// null, says whether the file is known to be absent (not merely unreadable or ambiguous).
HRESULT ResolveImagePath(const std::string& strImageDir, const std::string& strFileName,
                         std::string& strPath, std::string* pstrError = nullptr,
                         bool* pbMissing = nullptr);

// Loads the five images of the table from strAppDir + "MorFWImg/" and appends them to
// listFileImg (which the caller has emptied). *pnRecords, when pnRecords is not null, receives
// the load-record count of positions 2 to 4 (the progress bar's range).
//   S_OK          all five records are in the list;
//   E_FAIL        a file could not be opened or read, or an image is invalid: one that would
//                 send nothing (an empty file, an S-record image without S1 data records), a
//                 boot image too long for one frame, S-record faults, S2/S3 data records, a
//                 binary image reaching the full address 0x20000, an S1 line that did not
//                 become exactly one load record;
//   E_UNEXPECTED  a table name with an extension other than "s19" or "bin";
//   E_OUTOFMEMORY no memory for an image's buffer.
// On failure the records appended before the failing file stay in the list, and *pstrError
// (when pstrError is not null) receives one line without a line end naming the file (control
// characters in the path escaped), and for an S-record fault its line number and what is
// wrong, e.g.
//   "/opt/morfw/bin/MorFWImg/kernimg.s19, line 12: S-record checksum mismatch ..."
HRESULT LoadImageFiles(const std::string& strAppDir, CFileImgList& listFileImg,
                       std::int32_t* pnRecords, std::string* pstrError = nullptr);

// The same from an image directory given directly (the command line's --images).
HRESULT LoadImageFilesFromDir(const std::string& strImageDir, CFileImgList& listFileImg,
                              std::int32_t* pnRecords, std::string* pstrError = nullptr);

// Loads one image of the table and judges it: this is the one judge of an image, for the
// upload's loading and for the command line's check alike. nPos is its position: positions 0
// and 1 are boot images (1 to MAX_BOOT_IMAGE_LENGTH bytes), from position 2 on an image becomes
// load records (at least one, each below the full address 0x20000). Same results as
// LoadImageFiles; pImg receives the record only on success.
HRESULT LoadImageFile(const std::string& strImageDir, const FILEIMG_ENTRY& entry, int nPos,
                      std::unique_ptr<CFileImg>& pImg, std::string* pstrError = nullptr);

// LoadImageFilesFromDir with a table of one's own; the table ends at its end or at an entry
// with an empty name.
HRESULT LoadImageFilesFromTable(const std::string& strImageDir,
                                std::span<const FILEIMG_ENTRY> table, CFileImgList& listFileImg,
                                std::int32_t* pnRecords, std::string* pstrError = nullptr);

// The load-record count of one image as the progress bar counts it: ceil(nLength / 64) for a
// binary image, the number of "S1" pairs in the text of an S-record image.
std::int32_t CountLoadRecords(const CFileImg& img);

// The firmware revision: section "Firmware_Info", key "Verion" of the INI file, default
// "Unspecified", at most 127 characters. The text is the file's: a front end escapes its control
// characters before showing it. *pstrNote, when not null, says why the default was taken (empty
// when the key was found), e.g. "MorFWImg.ini not found", "MorFWImg.ini: cannot open:
// Permission denied", "MorFWImg.ini: no Verion key in [Firmware_Info]".
std::string GetFirmwareRevision(const std::string& strAppDir);
std::string ReadFirmwareRevision(const std::string& strIniPath, std::string* pstrNote = nullptr);
