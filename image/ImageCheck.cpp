#include "image/ImageCheck.h"

#include "image/LRArray.h"
#include "platform/ProgramDir.h"

#include <cerrno>
#include <sys/stat.h>

IMAGE_SET_CHECK CheckImageDir(const std::string& strImageDir) {
    IMAGE_SET_CHECK check;
    check.strImageDir = WithTrailingSeparator(strImageDir);
    check.strIniPath = check.strImageDir + FILEIMG_INI;
    struct stat st {};
    check.bIniFound = ::stat(check.strIniPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    check.strRevision = ReadFirmwareRevision(check.strIniPath, &check.strRevisionNote);

    check.bValid = true;
    int nPos = 0;
    for (const FILEIMG_ENTRY& entry : GetImageTable()) {
        IMAGE_FILE_CHECK file;
        file.nPosition = nPos;
        file.strName = entry.pszFileName;
        file.nBaseAddr = entry.nBaseAddr;
        file.nType = GetFileImgType(entry.pszFileName);

        std::string strPath;
        if (SUCCEEDED(ResolveImagePath(check.strImageDir, entry.pszFileName, strPath,
                                       &file.strError, &file.bMissing))) {
            if (::stat(strPath.c_str(), &st) == 0) {
                file.bFound = true;
                file.strPath = strPath;
                file.nLength = st.st_size;
            } else {
                // A folder without search permission hides the file; it is not missing.
                file.bMissing = errno == ENOENT;
            }
        }
        std::unique_ptr<CFileImg> img;
        if (SUCCEEDED(LoadImageFile(check.strImageDir, entry, nPos, img, &file.strError))) {
            file.bValid = true;
            file.strError.clear();
            if (nPos >= FILEIMG_POS_SBOOT) {
                file.nCounted = CountLoadRecords(*img);
                file.nRecords = CLRArray(img.get()).GetSize();
                check.nTotalCounted += file.nCounted;
            }
        } else {
            check.bValid = false;
        }
        check.files.push_back(std::move(file));
        ++nPos;
    }
    return check;
}
