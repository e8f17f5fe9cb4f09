#pragma once
// Temporary image directories and S-record text for the image tests.

#include "../TestTempDir.h"
#include "image/FileImg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed at the end of the test.
class CTempDir {
public:
    CTempDir() {
        m_path = MakeTestTempDir("morfw-image-").string() + "/";
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_path; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream f(m_path + name, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        Write(name, std::string(bytes.begin(), bytes.end()));
    }

private:
    std::string m_path;
};

// One S1 line for the given address and data, with its correct checksum, no line end.
inline std::string MakeS1(std::uint16_t addr, const std::vector<std::uint8_t>& data) {
    char buf[32];
    const unsigned count = static_cast<unsigned>(data.size()) + 3;
    unsigned sum = count + (addr >> 8) + (addr & 0xFFu);
    std::snprintf(buf, sizeof buf, "S1%02X%04X", count, addr);
    std::string line = buf;
    for (std::uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFFu);
    return line + buf;
}

inline std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 1) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

inline const char* const kS0 = "S00600004844521B";
inline const char* const kS9 = "S9030000FC";

// A complete valid image set in dir: small binaries and two one-line S-record images.
inline void WriteValidSet(const CTempDir& dir) {
    dir.Write("Shutup.bin", Pattern(250, 1));
    dir.Write("BootI.bin", Pattern(500, 2));
    dir.Write("SBoot.bin", Pattern(130, 3));
    dir.Write("kernimg.s19", std::string(kS0) + "\r\n" + MakeS1(0x0000, Pattern(16, 4)) + "\r\n" +
                                 MakeS1(0x0010, Pattern(16, 5)) + "\r\n" + kS9 + "\r\n");
    dir.Write("Morvane.s19", MakeS1(0x1000, Pattern(32, 6)) + "\n" + kS9 + "\n");
}

// Builds an image record in memory, as loading would.
inline CFileImg MakeImg(const std::string& bytes, std::int32_t nType, std::int32_t nBaseAddr) {
    CFileImg img;
    img.strFileName = "mem";
    img.nLength = static_cast<std::int32_t>(bytes.size());
    img.nType = nType;
    img.nBaseAddr = nBaseAddr;
    img.pData = std::make_unique<BYTE[]>(bytes.size() + FILEIMG_SPARE);
    std::copy(bytes.begin(), bytes.end(), img.pData.get());
    return img;
}

inline CFileImg MakeImg(const std::vector<std::uint8_t>& bytes, std::int32_t nType,
                        std::int32_t nBaseAddr) {
    return MakeImg(std::string(bytes.begin(), bytes.end()), nType, nBaseAddr);
}
