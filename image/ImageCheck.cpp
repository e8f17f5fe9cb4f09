#include "image/ImageCheck.h"

IMAGE_SET_CHECK CheckImageDir(const std::string& strImageDir) {
    IMAGE_SET_CHECK check;
    check.strImageDir = strImageDir;
    return check;
}
