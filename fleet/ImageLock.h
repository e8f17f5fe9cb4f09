#pragma once
// The job of a station: the image set it flashes, judged once when the station opens and then
// held by its digest. Before each unit starts, the set on disk is compared with the one held;
// when a file has changed (a new set copied in during the day, a file half-written), no unit
// starts until the operator takes the new set on purpose.

#include "image/Sha256.h"

#include <string>
#include <vector>

namespace fleet {

struct ImageSetLock {
    std::string strImageDir;           // ending in '/'
    bool bValid = false;               // every file loads: an upload would take this set
    std::string strProblem;            // when not valid: the first fault, "NAME: reason"
    std::string strRevision;           // the INI file's revision ("Unspecified" without one)
    std::string strSetDigest;          // SHA-256 of the set (DigestOfSet), "" when unreadable
    std::vector<IMAGE_DIGEST> digests; // each file's, in load order
};

// Judges the set in strImageDir (every check of morfw check) and takes its digests.
ImageSetLock JudgeImageSet(const std::string& strImageDir);

// The digests and revision of the set on disk now, without judging it again (cheap enough to do
// before every unit).
ImageSetLock ReadImageSet(const std::string& strImageDir);

// What differs between the set held and the set now, one change a line ("kernimg.s19 changed",
// "Morvane.s19 cannot be read: ...", "the revision changed from 1.2 to 1.3"); "" when the bytes
// and the revision are the same.
std::string DescribeImageChange(const ImageSetLock& held, const ImageSetLock& now);

// The first 12 hexadecimal digits of a digest, as the operator compares them by eye.
std::string ShortDigest(const std::string& strHex);

} // namespace fleet
