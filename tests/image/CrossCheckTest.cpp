// S-record images written by tools that are not ours (binutils objcopy, srecord's srec_cat) must
// load and convert into load records that carry exactly the original bytes.
#include "ImageTestUtil.h"
#include "image/FileImg.h"
#include "image/LRArray.h"

#include <gtest/gtest.h>

#include <map>

namespace {

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunTool(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

// Loads a set whose kernel and firmware images are the given files, and checks that the records
// of each hold exactly bin placed at offset, in the image's bank.
void ExpectRecordsCarry(const CTempDir& dir, const std::vector<std::uint8_t>& bin, unsigned offset,
                        const std::string& what) {
    CFileImgList list;
    std::int32_t nCount = 0;
    std::string err;
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, &nCount, &err), S_OK) << what << ": " << err;
    int nRecordsTotal = 0;
    for (int pos : {FILEIMG_POS_KERNEL, FILEIMG_POS_FIRMWARE}) {
        CFileImg* img = GetFileImgAt(list, pos);
        ASSERT_NE(img, nullptr);
        CLRArray lra(img);
        const char bank = pos == FILEIMG_POS_KERNEL ? '1' : '0';
        std::map<unsigned, std::uint8_t> mem;
        for (int i = 0; i < lra.GetSize(); ++i) {
            const CLoadRecord& r = lra.GetAt(i);
            ASSERT_GE(r.size(), 7u);
            const auto u = [&](std::size_t k) { return static_cast<std::uint8_t>(r[k]); };
            ASSERT_EQ(r[0], 'L');
            ASSERT_EQ(r[1], 'R');
            EXPECT_EQ(r[2], bank) << what;
            const unsigned addr = u(3) * 256u + u(4);
            const unsigned n = u(5);
            ASSERT_EQ(r.size(), n + 7) << what;
            unsigned sum = u(3) + u(4) + n;
            for (unsigned k = 0; k < n; ++k) {
                ASSERT_LT(addr + k, 0x10000u) << what;
                EXPECT_TRUE(mem.emplace(addr + k, u(6 + k)).second)
                    << what << ": address " << Hex(addr + k) << " written twice";
                sum += u(6 + k);
            }
            EXPECT_EQ(u(6 + n), sum & 0xFF) << what;
        }
        ASSERT_EQ(mem.size(), bin.size()) << what;
        for (std::size_t k = 0; k < bin.size(); ++k) {
            const auto it = mem.find(offset + static_cast<unsigned>(k));
            ASSERT_NE(it, mem.end()) << what << ": missing " << Hex(offset + unsigned(k));
            ASSERT_EQ(it->second, bin[k]) << what << " at " << Hex(offset + unsigned(k));
        }
        nRecordsTotal += lra.GetSize();
    }
    // The progress count matches the records sent (SBoot.bin's three records included).
    EXPECT_EQ(nCount, nRecordsTotal + 3) << what;
}

struct Layout {
    std::size_t size;
    unsigned offset;
};

// Sizes and offsets that end short of, and exactly at, the last 16-bit address.
const Layout kLayouts[] = {{1, 0}, {1000, 0x100}, {5000, 0x1234}, {0x1000, 0xF000}, {0xFFFF, 1}};

} // namespace

TEST(CrossCheck, ObjcopyImagesAtSeveralRecordLengths) {
    if (!HaveTool("objcopy"))
        GTEST_SKIP() << "binutils objcopy is not installed";
    for (const Layout& l : kLayouts) {
        for (int len : {1, 16, 32, 64, 252}) {
            CTempDir dir;
            WriteValidSet(dir);
            const auto bin = Pattern(l.size, static_cast<unsigned>(len) + l.offset);
            dir.Write("payload.bin", bin);
            for (const char* name : {"kernimg.s19", "Morvane.s19"}) {
                ASSERT_TRUE(RunTool("objcopy -I binary -O srec --srec-len=" + std::to_string(len) +
                                    " --change-addresses " + Hex(l.offset) + " '" + dir.Path() +
                                    "payload.bin' '" + dir.Path() + name + "'"));
            }
            ExpectRecordsCarry(dir, bin, l.offset,
                               "objcopy --srec-len=" + std::to_string(len) + " at " +
                                   Hex(l.offset) + " size " + std::to_string(l.size));
        }
    }
}

TEST(CrossCheck, SrecCatImagesWithCrLfAndLowerCase) {
    if (!HaveTool("srec_cat"))
        GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    for (const Layout& l : kLayouts) {
        for (int obs : {1, 28, 128, 252}) {
            CTempDir dir;
            WriteValidSet(dir);
            const auto bin = Pattern(l.size, static_cast<unsigned>(obs) * 7 + l.offset);
            dir.Write("payload.bin", bin);
            const std::string base = "srec_cat '" + dir.Path() + "payload.bin' -binary -offset " +
                                     Hex(l.offset) + " -o '" + dir.Path();
            ASSERT_TRUE(RunTool(base + "kernimg.s19' -motorola -obs=" + std::to_string(obs)));
            // DOS line ends and lower-case digits: both are taken as they come.
            ASSERT_TRUE(RunTool(base + "Morvane.s19' -motorola -obs=" + std::to_string(obs) +
                                " -line-termination=crlf"));
            ASSERT_TRUE(
                RunTool("sed -i 's/^S1\\(.*\\)$/S1\\L\\1/' '" + dir.Path() + "Morvane.s19'"));
            ExpectRecordsCarry(dir, bin, l.offset,
                               "srec_cat -obs=" + std::to_string(obs) + " at " + Hex(l.offset) +
                                   " size " + std::to_string(l.size));
        }
    }
}

TEST(CrossCheck, ObjcopyImageCutAfterItsLastS1Line) {
    if (!HaveTool("objcopy"))
        GTEST_SKIP() << "binutils objcopy is not installed";
    CTempDir dir;
    WriteValidSet(dir);
    const auto bin = Pattern(300, 77);
    dir.Write("payload.bin", bin);
    for (const char* name : {"kernimg.s19", "Morvane.s19"}) {
        ASSERT_TRUE(RunTool("objcopy -I binary -O srec --srec-len=32 --change-addresses 0x4000 '" +
                            dir.Path() + "payload.bin' '" + dir.Path() + name + "'"));
        // Drop the S9 termination record.
        ASSERT_TRUE(RunTool("sed -i '/^S9/d' '" + dir.Path() + name + "'"));
    }
    ExpectRecordsCarry(dir, bin, 0x4000, "objcopy without S9");
}

TEST(CrossCheck, ToolImagesAbove0xFFFFAreRefusedNotTruncated) {
    if (!HaveTool("objcopy"))
        GTEST_SKIP() << "binutils objcopy is not installed";
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("payload.bin", Pattern(100));
    ASSERT_TRUE(RunTool("objcopy -I binary -O srec --change-addresses 0xFFC0 '" + dir.Path() +
                        "payload.bin' '" + dir.Path() + "Morvane.s19'"));
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_NE(err.find("Morvane.s19, line 2: S2 data record"), std::string::npos) << err;
}
