// Writes the sample image set that the simulated unit and the tests use: the five images and
// MorFWImg.ini, all made from fixed seeds, so every build writes the same bytes.
//
//   morfw_sample_images OUTPUT_DIR
//
//   Shutup.bin     248 bytes     boot image of stage 1
//   BootI.bin      504 bytes     boot image of stage 2
//   SBoot.bin      4096 bytes    64 load records from 0x0500
//   kernimg.s19    about 24 KiB  330 S1 lines of 32 data bytes from 0x0000 (bank 1 by its base)
//   Morvane.s19    about 32 KiB  440 S1 lines of 32 data bytes from 0x8000
//   MorFWImg.ini   [Firmware_Info] Verion=...

#include <cstdint>
#include <cstdio>
#include <string>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes that look a little like code: short runs of opcodes among operands, never 0x00 first.
Bytes MakeImage(std::size_t n, std::uint32_t seed, const char* pszTag) {
    Bytes b;
    b.reserve(n);
    for (const char* p = pszTag; *p && b.size() < n; ++p)
        b.push_back(static_cast<std::uint8_t>(*p));
    std::uint32_t x = seed;
    while (b.size() < n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b.push_back(static_cast<std::uint8_t>(x % 7 == 0 ? 0xEA : x >> 8));
    }
    return b;
}

std::string S19(const Bytes& data, unsigned start, const char* pszHeader) {
    std::string s;
    char buf[16];
    // S0 header: address 0000 and the header text.
    const std::string header = pszHeader;
    unsigned sum = static_cast<unsigned>(header.size() + 3);
    std::snprintf(buf, sizeof buf, "S0%02X0000", static_cast<unsigned>(header.size() + 3));
    s += buf;
    for (unsigned char c : header) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        s += buf;
        sum += c;
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFFu);
    s += buf;
    for (std::size_t off = 0; off < data.size(); off += 32) {
        const std::size_t n = data.size() - off < 32 ? data.size() - off : 32;
        const unsigned addr = static_cast<unsigned>(start + off) & 0xFFFFu;
        sum = static_cast<unsigned>(n + 3) + (addr >> 8) + (addr & 0xFFu);
        std::snprintf(buf, sizeof buf, "S1%02X%04X", static_cast<unsigned>(n + 3), addr);
        s += buf;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
            s += buf;
            sum += data[off + i];
        }
        std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFFu);
        s += buf;
    }
    // S9 termination with the start address.
    sum = 3 + (start >> 8 & 0xFFu) + (start & 0xFFu);
    std::snprintf(buf, sizeof buf, "S903%04X%02X\r\n", start & 0xFFFFu, ~sum & 0xFFu);
    s += buf;
    return s;
}

bool Write(const std::string& path, const void* pData, std::size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "morfw_sample_images: cannot write %s\n", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(pData, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

bool Write(const std::string& path, const Bytes& b) {
    return Write(path, b.data(), b.size());
}
bool Write(const std::string& path, const std::string& s) {
    return Write(path, s.data(), s.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: morfw_sample_images OUTPUT_DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec); // an existing directory is fine
    if (dir.back() != '/')
        dir += '/';
    const bool ok =
        Write(dir + "Shutup.bin", MakeImage(248, 0x5348u, "\x7EMV2K SHUTUP ")) &&
        Write(dir + "BootI.bin", MakeImage(504, 0x4249u, "\x7EMV2K BOOTI ")) &&
        Write(dir + "SBoot.bin", MakeImage(4096, 0x5342u, "\x7EMV2K SBOOT ")) &&
        Write(dir + "kernimg.s19",
              S19(MakeImage(10560, 0x4B45u, "MV2K KERNEL "), 0x0000, "kernimg.s19")) &&
        Write(dir + "Morvane.s19",
              S19(MakeImage(14080, 0x4657u, "MV2K FIRMWARE "), 0x8000, "Morvane.s19")) &&
        Write(dir + "MorFWImg.ini",
              std::string("[Firmware_Info]\r\nVerion=2.10.0 (simulator sample set)\r\n"));
    return ok ? 0 : 1;
}
