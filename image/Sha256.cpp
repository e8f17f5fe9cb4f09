#include "image/Sha256.h"

#include "image/FileImg.h"
#include "platform/FileCompat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::array<std::uint32_t, 64> K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

} // namespace

CSha256::CSha256() {
    Reset();
}

void CSha256::Reset() {
    m_h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    m_nBuf = 0;
    m_nBytes = 0;
}

void CSha256::Block(const std::uint8_t* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(p[4 * i]) << 24 |
               static_cast<std::uint32_t>(p[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3];
    std::uint32_t e = m_h[4], f = m_h[5], g = m_h[6], h = m_h[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 =
            h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const std::uint32_t t2 =
            (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    m_h[0] += a;
    m_h[1] += b;
    m_h[2] += c;
    m_h[3] += d;
    m_h[4] += e;
    m_h[5] += f;
    m_h[6] += g;
    m_h[7] += h;
}

void CSha256::Update(const void* pData, std::size_t nLength) {
    const auto* p = static_cast<const std::uint8_t*>(pData);
    m_nBytes += nLength;
    if (m_nBuf > 0) {
        const std::size_t n = std::min(nLength, m_buf.size() - m_nBuf);
        std::memcpy(m_buf.data() + m_nBuf, p, n);
        m_nBuf += n;
        p += n;
        nLength -= n;
        if (m_nBuf < m_buf.size())
            return;
        Block(m_buf.data());
        m_nBuf = 0;
    }
    for (; nLength >= 64; p += 64, nLength -= 64)
        Block(p);
    std::memcpy(m_buf.data(), p, nLength);
    m_nBuf = nLength;
}

std::array<std::uint8_t, 32> CSha256::Final() {
    const std::uint64_t nBits = m_nBytes * 8;
    const std::uint8_t pad = 0x80;
    Update(&pad, 1);
    const std::uint8_t zero = 0;
    while (m_nBuf != 56)
        Update(&zero, 1);
    std::uint8_t len[8];
    for (int i = 0; i < 8; ++i)
        len[i] = static_cast<std::uint8_t>(nBits >> (56 - 8 * i));
    Update(len, 8);
    std::array<std::uint8_t, 32> out{};
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(m_h[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(m_h[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(m_h[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(m_h[i]);
    }
    return out;
}

std::string ToHex(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(64);
    for (const std::uint8_t b : digest) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::string Sha256Hex(std::string_view data) {
    CSha256 sha;
    sha.Update(data);
    return ToHex(sha.Final());
}

bool Sha256File(const std::string& strPath, std::string& strHex, std::string& strError) {
    // Non-blocking, as the loader opens images: a FIFO of that name must not hang the digest.
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_BINARY | O_NONBLOCK);
    if (fd < 0) {
        strError = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        strError = "not a regular file";
        close(fd);
        return false;
    }
    CSha256 sha;
    char buf[16384];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            strError = std::strerror(errno);
            close(fd);
            return false;
        }
        sha.Update(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    strHex = ToHex(sha.Final());
    return true;
}

std::vector<IMAGE_DIGEST> DigestImageSet(const std::string& strImageDir) {
    std::vector<IMAGE_DIGEST> digests;
    for (const auto& entry : GetImageTable()) {
        IMAGE_DIGEST d;
        d.strName = entry.pszFileName;
        // The file the upload loads: the same case-insensitive lookup.
        std::string strPath;
        if (ResolveImagePath(strImageDir, d.strName, strPath) != S_OK)
            d.strError = "not found";
        else
            Sha256File(strPath, d.strHex, d.strError);
        digests.push_back(std::move(d));
    }
    return digests;
}

std::string DigestOfSet(const std::vector<IMAGE_DIGEST>& digests) {
    CSha256 sha;
    for (const auto& d : digests) {
        if (d.strHex.empty())
            return {};
        sha.Update(d.strHex + "  " + d.strName + "\n");
    }
    return ToHex(sha.Final());
}

std::string DescribeDigests(const std::vector<IMAGE_DIGEST>& digests) {
    std::string s;
    for (const auto& d : digests) {
        if (!s.empty())
            s += ", ";
        s += d.strName + "=" + (d.strHex.empty() ? "unreadable (" + d.strError + ")" : d.strHex);
    }
    return s;
}
