#include "fleet/ImageLock.h"

#include "image/FileImg.h"
#include "image/ImageCheck.h"
#include "platform/PrintableText.h"

namespace fleet {

namespace {

std::string Revision(const std::string& strImageDir) {
    std::string strIni;
    if (ResolveImagePath(strImageDir, FILEIMG_INI, strIni) != S_OK)
        return "Unspecified";
    return ReadFirmwareRevision(strIni);
}

std::string WithSlash(std::string s) {
    if (!s.empty() && s.back() != '/')
        s += '/';
    return s;
}

} // namespace

ImageSetLock ReadImageSet(const std::string& strImageDir) {
    ImageSetLock lock;
    lock.strImageDir = WithSlash(strImageDir);
    lock.strRevision = Revision(lock.strImageDir);
    lock.digests = DigestImageSet(lock.strImageDir);
    lock.strSetDigest = DigestOfSet(lock.digests);
    lock.bValid = !lock.strSetDigest.empty();
    return lock;
}

ImageSetLock JudgeImageSet(const std::string& strImageDir) {
    ImageSetLock lock = ReadImageSet(strImageDir);
    const IMAGE_SET_CHECK check = CheckImageDir(lock.strImageDir);
    lock.bValid = check.bValid && !lock.strSetDigest.empty();
    for (const auto& f : check.files) {
        if (!f.bValid) {
            lock.strProblem =
                f.strName + ": " + (f.strError.empty() ? std::string("not valid") : f.strError);
            break;
        }
    }
    if (!lock.bValid && lock.strProblem.empty())
        lock.strProblem = "a file of the set cannot be read";
    return lock;
}

std::string DescribeImageChange(const ImageSetLock& held, const ImageSetLock& now) {
    std::string text;
    const auto line = [&text](const std::string& s) { text += s + "\n"; };
    for (std::size_t i = 0; i < now.digests.size(); ++i) {
        const IMAGE_DIGEST& n = now.digests[i];
        const std::string was = i < held.digests.size() ? held.digests[i].strHex : "";
        if (n.strHex.empty())
            line(n.strName + " cannot be read: " + EscapeControlChars(n.strError));
        else if (n.strHex != was)
            line(n.strName + " changed (sha256 " + ShortDigest(was) + " is now " +
                 ShortDigest(n.strHex) + ")");
    }
    if (now.strRevision != held.strRevision)
        line("the revision changed from " + EscapeControlChars(held.strRevision) + " to " +
             EscapeControlChars(now.strRevision));
    if (!text.empty())
        text.pop_back();
    return text;
}

std::string ShortDigest(const std::string& strHex) {
    return strHex.empty() ? std::string("none") : strHex.substr(0, 12);
}

} // namespace fleet
