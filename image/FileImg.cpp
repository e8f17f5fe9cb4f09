#include "image/FileImg.h"

#include "image/AsciiCase.h"
#include "image/LRArray.h"
#include "image/Profile.h"
#include "image/SRecord.h"
#include "platform/FileCompat.h"
#include "platform/PrintableText.h"
#include "platform/ProgramDir.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <new>
#include <vector>

namespace {

void SetError(std::string* pstrError, const std::string& strText) {
    if (pstrError)
        *pstrError = strText;
}

// Closes the descriptor on every path.
class CFdGuard {
public:
    explicit CFdGuard(int fd) : m_fd(fd) {}
    ~CFdGuard() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFdGuard(const CFdGuard&) = delete;
    CFdGuard& operator=(const CFdGuard&) = delete;

private:
    int m_fd;
};

// The binary image's last byte must stay below the full address 0x20000: the bank byte has only
// two values, and the 16-bit address of a record beyond would wrap onto the image's own start.
inline constexpr std::int64_t LR_ADDRESS_LIMIT = 0x20000;

// What a part whose image gives nothing to send would do: report success while the unit never
// got that part.
std::string SendsNothing(int nPos) {
    return "; part " + std::to_string(nPos + 1) + " of " + std::to_string(FILEIMG_COUNT) +
           " would send nothing to the unit";
}

// A text file saved as UTF-16 holds no S1 line a reader of ASCII text can see.
bool IsUtf16Text(const BYTE* p, std::int32_t n) {
    return n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF));
}

} // namespace

CFileImg* GetFileImgAt(const CFileImgList& listFileImg, int nPos) {
    if (nPos < 0 || static_cast<std::size_t>(nPos) >= listFileImg.size())
        return nullptr;
    auto it = listFileImg.begin();
    std::advance(it, nPos);
    return it->get();
}

const std::array<FILEIMG_ENTRY, FILEIMG_COUNT>& GetImageTable() {
    static const std::array<FILEIMG_ENTRY, FILEIMG_COUNT> table = {{{"Shutup.bin", 0},
                                                                    {"BootI.bin", 0},
                                                                    {"SBoot.bin", 0x500},
                                                                    {"kernimg.s19", 0x10000},
                                                                    {"Morvane.s19", 0}}};
    return table;
}

std::string GetImageDir(const std::string& strAppDir) {
    const std::string dir = WithTrailingSeparator(strAppDir);
    return dir + FILEIMG_DIR + (dir.empty() ? PathSeparator() : dir.back());
}

std::string GetIniPath(const std::string& strAppDir) {
    return GetImageDir(strAppDir) + FILEIMG_INI;
}

std::int32_t GetFileImgType(const std::string& strFileName) {
    const std::size_t dot = strFileName.rfind('.');
    const std::string ext = dot == std::string::npos ? strFileName : strFileName.substr(dot + 1);
    if (EqualNoCase(ext, "s19"))
        return FILEIMG_S19;
    if (EqualNoCase(ext, "bin"))
        return FILEIMG_BIN;
    return -1;
}

HRESULT ResolveImagePath(const std::string& strImageDir, const std::string& strFileName,
                         std::string& strPath, std::string* pstrError, bool* pbMissing) {
    if (pbMissing)
        *pbMissing = false;
    const std::string dir = WithTrailingSeparator(strImageDir);
    strPath = dir + strFileName;
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) == 0 || errno != ENOENT)
        return S_OK; // present (or present but unreadable: opening will say so)

    // Image sets copied from other systems often come with the letter case changed.
    DIR* pDir = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!pDir) {
        const int nError = errno;
        if (nError == ENOENT || nError == ENOTDIR) {
            if (pbMissing)
                *pbMissing = true;
            SetError(pstrError,
                     EscapeControlChars(strPath) + ": cannot open: " + std::strerror(ENOENT));
        } else {
            // Not known to be missing: it may be there under another letter case.
            SetError(pstrError, EscapeControlChars(strPath) +
                                    ": cannot open: " + std::strerror(ENOENT) +
                                    " (the folder cannot be read to look for the name in another "
                                    "letter case: " +
                                    std::strerror(nError) + ")");
        }
        return E_FAIL;
    }
    std::vector<std::string> matches;
    while (const dirent* pEnt = ::readdir(pDir)) {
        if (EqualNoCase(pEnt->d_name, strFileName))
            matches.emplace_back(pEnt->d_name);
    }
    ::closedir(pDir);
    if (matches.empty()) {
        if (pbMissing)
            *pbMissing = true;
        SetError(pstrError,
                 EscapeControlChars(strPath) + ": cannot open: " + std::strerror(ENOENT));
        return E_FAIL;
    }
    if (matches.size() > 1) {
        std::sort(matches.begin(), matches.end());
        std::string text = EscapeControlChars(strPath) +
                           ": ambiguous: more than one file matches \"" + strFileName +
                           "\" without regard to letter case (";
        for (std::size_t i = 0; i < matches.size(); ++i)
            text += (i ? ", " : "") + EscapeControlChars(matches[i]);
        SetError(pstrError, text + ")");
        return E_FAIL;
    }
    strPath = dir + matches.front();
    return S_OK;
}

HRESULT LoadImageFile(const std::string& strImageDir, const FILEIMG_ENTRY& entry, int nPos,
                      std::unique_ptr<CFileImg>& pImg, std::string* pstrError) {
    pImg.reset();
    std::string strPath;
    if (FAILED(ResolveImagePath(strImageDir, entry.pszFileName, strPath, pstrError)))
        return E_FAIL;
    const std::string strShown = EscapeControlChars(strPath);
    const bool bBoot = nPos < FILEIMG_POS_SBOOT;

    // Non-blocking so that a FIFO of that name cannot hang the load; regular files ignore it.
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetError(pstrError, strShown + ": cannot open: " + std::strerror(errno));
        return E_FAIL;
    }
    CFdGuard guard(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        SetError(pstrError, strShown + ": cannot read: " + std::strerror(errno));
        return E_FAIL;
    }
    if (!S_ISREG(st.st_mode)) {
        SetError(pstrError, strShown + ": not a regular file");
        return E_FAIL;
    }
    // Judged by the size before anything is read: a boot image of 200 MB must not be read at all.
    if (st.st_size == 0) {
        SetError(pstrError, strShown + ": empty file" + SendsNothing(nPos));
        return E_FAIL;
    }
    if (bBoot && st.st_size > MAX_BOOT_IMAGE_LENGTH) {
        SetError(pstrError, strShown + ": " + std::to_string(st.st_size) +
                                " bytes; a boot image can have at most " +
                                std::to_string(MAX_BOOT_IMAGE_LENGTH));
        return E_FAIL;
    }
    if (st.st_size > INT32_MAX - FILEIMG_SPARE) {
        SetError(pstrError,
                 strShown + ": file is too large (" + std::to_string(st.st_size) + " bytes)");
        return E_FAIL;
    }

    auto img = std::make_unique<CFileImg>();
    img->strFileName = strPath;
    img->nLength = static_cast<std::int32_t>(st.st_size);
    img->nBaseAddr = entry.nBaseAddr;
    img->nType = GetFileImgType(entry.pszFileName);
    if (img->nType < 0) {
        SetError(pstrError, strShown + ": unknown image kind (extension is neither s19 nor bin)");
        return E_UNEXPECTED;
    }
    // Value-initialised: the spare bytes behind the image are zero.
    try {
        img->pData =
            std::make_unique<BYTE[]>(static_cast<std::size_t>(img->nLength) + FILEIMG_SPARE);
    } catch (const std::bad_alloc&) {
        SetError(pstrError,
                 strShown + ": not enough memory for " + std::to_string(img->nLength) + " bytes");
        return E_OUTOFMEMORY;
    }

    std::int32_t nDone = 0;
    while (nDone < img->nLength) {
        const ssize_t n =
            ::read(fd, img->pData.get() + nDone, static_cast<std::size_t>(img->nLength - nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetError(pstrError, strShown + ": read error: " + std::strerror(errno));
            return E_FAIL;
        }
        if (n == 0) {
            SetError(pstrError, strShown + ": file is shorter than its length when read (" +
                                    std::to_string(nDone) + " of " + std::to_string(img->nLength) +
                                    " bytes)");
            return E_FAIL;
        }
        nDone += static_cast<std::int32_t>(n);
    }

    if (img->nType == FILEIMG_S19) {
        // Named before its first line is judged: the file looks right in an editor.
        if (IsUtf16Text(img->pData.get(), img->nLength)) {
            SetError(pstrError, strShown +
                                    ": UTF-16 text (S-record files are ASCII text), no S1 data "
                                    "record" +
                                    SendsNothing(nPos));
            return E_FAIL;
        }
        std::int32_t nS1Lines = 0;
        if (FAILED(ValidateSRecordImage(img->pData.get(), img->nLength, strShown, pstrError,
                                        &nS1Lines)))
            return E_FAIL;
        if (nS1Lines == 0) {
            SetError(pstrError, strShown + ": no S1 data record" + SendsNothing(nPos));
            return E_FAIL;
        }
        // Every S1 line, of either letter case, must have become exactly one load record: the
        // last guard against a line dropped unseen while the session reports success.
        if (const std::int32_t nConverted = CLRArray(img.get()).GetSize(); nConverted != nS1Lines) {
            SetError(pstrError, strShown + ": " + std::to_string(nS1Lines) + " S1 lines but " +
                                    std::to_string(nConverted) + " load records converted");
            return E_FAIL;
        }
    } else if (nPos >= FILEIMG_POS_SBOOT &&
               static_cast<std::int64_t>(img->nBaseAddr) + img->nLength > LR_ADDRESS_LIMIT) {
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      ": image of %d bytes at base address 0x%X reaches the address 0x%llX; load "
                      "records reach only up to 0x1FFFF",
                      img->nLength, static_cast<unsigned>(img->nBaseAddr),
                      static_cast<unsigned long long>(img->nBaseAddr) +
                          static_cast<unsigned long long>(img->nLength) - 1);
        SetError(pstrError, strShown + buf);
        return E_FAIL;
    }
    pImg = std::move(img);
    return S_OK;
}

HRESULT LoadImageFilesFromTable(const std::string& strImageDir,
                                std::span<const FILEIMG_ENTRY> table, CFileImgList& listFileImg,
                                std::int32_t* pnRecords, std::string* pstrError) {
    if (pnRecords)
        *pnRecords = 0;
    int nPos = 0;
    for (const FILEIMG_ENTRY& entry : table) {
        if (!entry.pszFileName || !*entry.pszFileName)
            break;
        std::unique_ptr<CFileImg> img;
        const HRESULT hr = LoadImageFile(strImageDir, entry, nPos, img, pstrError);
        if (FAILED(hr))
            return hr;
        if (pnRecords && nPos >= FILEIMG_POS_SBOOT)
            *pnRecords += CountLoadRecords(*img);
        listFileImg.push_back(std::move(img));
        ++nPos;
    }
    return S_OK;
}

HRESULT LoadImageFiles(const std::string& strAppDir, CFileImgList& listFileImg,
                       std::int32_t* pnRecords, std::string* pstrError) {
    return LoadImageFilesFromDir(GetImageDir(strAppDir), listFileImg, pnRecords, pstrError);
}

HRESULT LoadImageFilesFromDir(const std::string& strImageDir, CFileImgList& listFileImg,
                              std::int32_t* pnRecords, std::string* pstrError) {
    return LoadImageFilesFromTable(strImageDir, GetImageTable(), listFileImg, pnRecords, pstrError);
}

std::int32_t CountLoadRecords(const CFileImg& img) {
    if (img.nLength <= 0 || !img.pData)
        return 0;
    if (img.nType == FILEIMG_BIN)
        return img.nLength / 64 + (img.nLength % 64 ? 1 : 0);
    if (img.nType != FILEIMG_S19)
        return 0;
    // Every "S1" pair of the text, resuming one character after each match.
    std::int32_t nCount = 0;
    const BYTE* p = img.pData.get();
    for (std::int32_t i = 0; i + 1 < img.nLength; ++i) {
        if (p[i] == 'S' && p[i + 1] == '1')
            ++nCount;
    }
    return nCount;
}

std::string GetFirmwareRevision(const std::string& strAppDir) {
    return ReadFirmwareRevision(GetIniPath(strAppDir));
}

std::string ReadFirmwareRevision(const std::string& strIniPath, std::string* pstrNote) {
    const PROFILE_VALUE value =
        ReadProfileValue(FWINFO_SECTION, FWINFO_KEY, FWINFO_DEFAULT, FWINFO_BUFFER, strIniPath);
    if (pstrNote) {
        *pstrNote = value.strNote.empty() ? std::string()
                    : value.strNote == "not found"
                        ? std::string(FILEIMG_INI) + " not found"
                        : std::string(FILEIMG_INI) + ": " + value.strNote;
    }
    return value.strValue;
}
