// Loading and converting a 1 MiB S-record image, the work a session does before stage 4 or 5.
#include "image/FileImg.h"
#include "image/LRArray.h"
#include "image/SRecord.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A 1 MiB image of S1 lines with 32 data bytes each, CR LF line ends, in a temporary directory.
class CBenchImage {
public:
    CBenchImage() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "morfw-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        m_dir = tmpl + "/";
        std::string text = "S00600004844521B\r\n";
        std::uint32_t x = 1;
        unsigned addr = 0;
        char buf[16];
        while (text.size() < (1u << 20)) {
            std::snprintf(buf, sizeof buf, "S123%04X", addr);
            std::string line = buf;
            unsigned sum = 0x23 + (addr >> 8) + (addr & 0xFF);
            for (int i = 0; i < 32; ++i) {
                x = x * 1103515245u + 12345u;
                const unsigned b = (x >> 16) & 0xFF;
                std::snprintf(buf, sizeof buf, "%02X", b);
                line += buf;
                sum += b;
            }
            std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFF);
            text += line + buf;
            addr = (addr + 32) & 0xFFFF;
        }
        text += "S9030000FC\r\n";
        m_nBytes = text.size();
        std::ofstream(m_dir + "kernimg.s19", std::ios::binary) << text;
    }
    ~CBenchImage() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    const std::string& Dir() const { return m_dir; }
    std::size_t Bytes() const { return m_nBytes; }

private:
    std::string m_dir;
    std::size_t m_nBytes = 0;
};

const CBenchImage& Image() {
    static const CBenchImage image;
    return image;
}

const FILEIMG_ENTRY kKernel = {"kernimg.s19", 0x10000};

void BM_LoadAndConvert1MiB(benchmark::State& state) {
    const CBenchImage& image = Image();
    int nRecords = 0;
    for (auto _ : state) {
        std::unique_ptr<CFileImg> img;
        if (FAILED(LoadImageFile(image.Dir(), kKernel, FILEIMG_POS_KERNEL, img)))
            std::abort();
        CLRArray lra(img.get());
        nRecords = lra.GetSize();
        benchmark::DoNotOptimize(nRecords);
    }
    state.counters["records"] = nRecords;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.Bytes()));
}
BENCHMARK(BM_LoadAndConvert1MiB)->Unit(benchmark::kMillisecond);

// The two halves: reading and validating the file, then building the records.
void BM_LoadAndValidate1MiB(benchmark::State& state) {
    const CBenchImage& image = Image();
    for (auto _ : state) {
        std::unique_ptr<CFileImg> img;
        if (FAILED(LoadImageFile(image.Dir(), kKernel, FILEIMG_POS_KERNEL, img)))
            std::abort();
        benchmark::DoNotOptimize(img.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.Bytes()));
}
BENCHMARK(BM_LoadAndValidate1MiB)->Unit(benchmark::kMillisecond);

void BM_Convert1MiB(benchmark::State& state) {
    const CBenchImage& image = Image();
    std::unique_ptr<CFileImg> img;
    if (FAILED(LoadImageFile(image.Dir(), kKernel, FILEIMG_POS_KERNEL, img)))
        std::abort();
    for (auto _ : state) {
        CLRArray lra(img.get());
        benchmark::DoNotOptimize(lra.GetSize());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.Bytes()));
}
BENCHMARK(BM_Convert1MiB)->Unit(benchmark::kMillisecond);

} // namespace
