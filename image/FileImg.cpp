#include "image/FileImg.h"

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
    std::string dir = strAppDir;
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir + FILEIMG_DIR;
}

std::string GetIniPath(const std::string& strAppDir) {
    return GetImageDir(strAppDir) + FILEIMG_INI;
}

std::int32_t GetFileImgType(const std::string&) { return -1; }

HRESULT ResolveImagePath(const std::string&, const std::string&, std::string&, std::string*) {
    return E_NOTIMPL;
}

HRESULT LoadImageFiles(const std::string& strAppDir, CFileImgList& listFileImg,
                       std::int32_t* pnRecords, std::string* pstrError) {
    return LoadImageFilesFromDir(GetImageDir(strAppDir), listFileImg, pnRecords, pstrError);
}

HRESULT LoadImageFilesFromDir(const std::string&, CFileImgList&, std::int32_t* pnRecords,
                              std::string*) {
    if (pnRecords)
        *pnRecords = 0;
    return E_NOTIMPL;
}

std::int32_t CountLoadRecords(const CFileImg&) { return 0; }

std::string GetFirmwareRevision(const std::string& strAppDir) {
    return ReadFirmwareRevision(GetIniPath(strAppDir));
}

std::string ReadFirmwareRevision(const std::string&) { return "Unspecified"; }
