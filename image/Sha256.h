#pragma once
// SHA-256 (FIPS 180-4), for the digests that production records keep of the image set: which
// bytes a unit received, checkable later with sha256sum. Small enough to carry rather than a
// crypto library, which would do much more than this needs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CSha256 {
public:
    CSha256();
    void Update(const void* pData, std::size_t nLength);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    // The digest; the object is spent afterwards (Reset starts again).
    std::array<std::uint8_t, 32> Final();
    void Reset();

private:
    void Block(const std::uint8_t* p);
    std::array<std::uint32_t, 8> m_h{};
    std::array<std::uint8_t, 64> m_buf{};
    std::size_t m_nBuf = 0;
    std::uint64_t m_nBytes = 0;
};

// Lower-case hexadecimal, 64 digits.
std::string Sha256Hex(std::string_view data);
std::string ToHex(const std::array<std::uint8_t, 32>& digest);

// The digest of a file's bytes in hexadecimal; false and strError (the system's reason) when it
// cannot be read.
bool Sha256File(const std::string& strPath, std::string& strHex, std::string& strError);

// The digests of the five image files of a set, in load order.
struct IMAGE_DIGEST {
    std::string strName; // the table's name: "Shutup.bin", ...
    std::string strHex;  // empty when the file cannot be read
    std::string strError;
};
std::vector<IMAGE_DIGEST> DigestImageSet(const std::string& strImageDir);

// One digest of the whole set: SHA-256 of the lines "HEX  NAME\n" in load order, which is what
//   (cd MorFWImg && sha256sum Shutup.bin BootI.bin SBoot.bin kernimg.s19 Morvane.s19) | sha256sum
// prints. Empty when a file could not be read.
std::string DigestOfSet(const std::vector<IMAGE_DIGEST>& digests);

// "Shutup.bin=HEX, BootI.bin=HEX, ..." (an unreadable file as "NAME=unreadable (REASON)").
std::string DescribeDigests(const std::vector<IMAGE_DIGEST>& digests);
