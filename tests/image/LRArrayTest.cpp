// Load records from binary and S-record images.
#include "image/LRArray.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> Bytes(const CLoadRecord& r) {
    return {r.begin(), r.end()};
}

std::vector<std::uint8_t> Rec(char bank, std::uint16_t addr, std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> r{'L',
                                'R',
                                static_cast<std::uint8_t>(bank),
                                static_cast<std::uint8_t>(addr >> 8),
                                static_cast<std::uint8_t>(addr & 0xFF),
                                static_cast<std::uint8_t>(data.size())};
    unsigned sum = (addr >> 8) + (addr & 0xFFu) + static_cast<unsigned>(data.size());
    for (auto b : data) {
        r.push_back(b);
        sum += b;
    }
    r.push_back(static_cast<std::uint8_t>(sum));
    return r;
}

} // namespace

TEST(LoadRecord, LayoutAndPlainChecksum) {
    const BYTE data[] = {0xFF, 0xFF, 0x10};
    const CLoadRecord r = MakeLoadRecord(0x1ABCD, data, 3);
    // "LR", bank '1', 0xAB 0xCD, n 3, data, (AB + CD + 03 + FF + FF + 10) & FF = 0x89.
    EXPECT_EQ(Bytes(r),
              (std::vector<std::uint8_t>{'L', 'R', '1', 0xAB, 0xCD, 3, 0xFF, 0xFF, 0x10, 0x89}));
    EXPECT_EQ(Bytes(MakeLoadRecord(0xFFFF, data, 0)),
              (std::vector<std::uint8_t>{'L', 'R', '0', 0xFF, 0xFF, 0, 0xFE}));
}

TEST(LRArrayBinary, CutIntoChunksOf64Bytes) {
    for (auto [len, sizes] : {std::pair<int, std::vector<std::size_t>>{0, {}},
                              {64, {71}},
                              {65, {71, 8}},
                              {200, {71, 71, 71, 15}}}) {
        CFileImg img = MakeImg(Pattern(static_cast<std::size_t>(len)), FILEIMG_BIN, 0);
        CLRArray lra(&img);
        EXPECT_TRUE(lra.m_bValid);
        EXPECT_EQ(lra.m_pFileImg, &img);
        ASSERT_EQ(static_cast<std::size_t>(lra.GetSize()), sizes.size()) << len;
        for (int i = 0; i < lra.GetSize(); ++i)
            EXPECT_EQ(lra.GetAt(i).size(), sizes[static_cast<std::size_t>(i)]);
    }
}

TEST(LRArrayBinary, AddressesFollowTheBaseAndTheBankTurnsAt0x10000) {
    const auto data = Pattern(0xFB00 + 100);
    CFileImg img = MakeImg(data, FILEIMG_BIN, 0x500);
    CLRArray lra(&img);
    ASSERT_EQ(lra.GetSize(), 0xFB00 / 64 + 2);
    EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('0', 0x0500, {data.begin(), data.begin() + 64}));
    EXPECT_EQ(Bytes(lra.GetAt(1)), Rec('0', 0x0540, {data.begin() + 64, data.begin() + 128}));
    const int k = 0xFB00 / 64;
    EXPECT_EQ(Bytes(lra.GetAt(k - 1)),
              Rec('0', 0xFFC0, {data.begin() + 0xFAC0, data.begin() + 0xFB00}));
    EXPECT_EQ(Bytes(lra.GetAt(k)),
              Rec('1', 0x0000, {data.begin() + 0xFB00, data.begin() + 0xFB40}));
    EXPECT_EQ(Bytes(lra.GetAt(k + 1)), Rec('1', 0x0040, {data.begin() + 0xFB40, data.end()}));
}

TEST(LRArrayBinary, NeverBuildsRecordsAtOrBeyondTheFullAddress0x20000) {
    CFileImg img = MakeImg(Pattern(0x20000), FILEIMG_BIN, 0x500);
    CLRArray lra(&img);
    EXPECT_FALSE(lra.m_bValid);
    ASSERT_GT(lra.GetSize(), 0);
    const CLoadRecord& last = lra.GetAt(lra.GetSize() - 1);
    EXPECT_EQ(last[2], '1');
    EXPECT_EQ(static_cast<std::uint8_t>(last[3]), 0xFF);
    EXPECT_EQ(static_cast<std::uint8_t>(last[4]), 0xC0);
}

TEST(LRArrayS19, OneRecordPerS1Line) {
    const auto d = Pattern(16);
    CFileImg img = MakeImg(std::string(kS0) + "\r\n" + MakeS1(0x0000, d) + "\r\n" +
                               MakeS1(0x0010, {0xAA}) + "\r\n" + kS9 + "\r\n",
                           FILEIMG_S19, 0);
    CLRArray lra(&img);
    ASSERT_EQ(lra.GetSize(), 2);
    EXPECT_EQ(lra.GetAt(0).size(), 23u);
    EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('0', 0x0000, d));
    EXPECT_EQ(Bytes(lra.GetAt(1)), Rec('0', 0x0010, {0xAA}));
}

TEST(LRArrayS19, LastLineIsConvertedWhenItIsAnS1Line) {
    const std::string body =
        std::string(kS0) + "\n" + MakeS1(0x100, {1, 2}) + "\n" + MakeS1(0x102, {3, 4});
    for (const std::string& text : {body, body + "\n", body + "\r\n\r\n  \n"}) {
        CFileImg img = MakeImg(text, FILEIMG_S19, 0);
        CLRArray lra(&img);
        ASSERT_EQ(lra.GetSize(), 2);
        EXPECT_EQ(Bytes(lra.GetAt(1)), Rec('0', 0x102, {3, 4}));
    }
    // The first line is the last line too.
    CFileImg one = MakeImg(MakeS1(0x7, {9}), FILEIMG_S19, 0);
    EXPECT_EQ(CLRArray(&one).GetSize(), 1);
}

TEST(LRArrayS19, LargestS1RecordGives259Bytes) {
    const auto d = Pattern(252);
    const std::string line = MakeS1(0x1234, d);
    ASSERT_EQ(line.substr(0, 4), "S1FF");
    CFileImg img = MakeImg(line + "\n" + kS9 + "\n", FILEIMG_S19, 0);
    CLRArray lra(&img);
    ASSERT_EQ(lra.GetSize(), 1);
    EXPECT_EQ(lra.GetAt(0).size(), 259u);
    EXPECT_EQ(static_cast<std::uint8_t>(lra.GetAt(0)[5]), 0xFC);
    EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('0', 0x1234, d));
}

TEST(LRArrayS19, BankComesFromTheBaseAddressAndTheAddressStaysTheLine) {
    CFileImg kern =
        MakeImg(MakeS1(0x0000, {1}) + "\n" + MakeS1(0xFFFF, {2}) + "\n", FILEIMG_S19, 0x10000);
    CLRArray lra(&kern);
    ASSERT_EQ(lra.GetSize(), 2);
    EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('1', 0x0000, {1}));
    EXPECT_EQ(Bytes(lra.GetAt(1)), Rec('1', 0xFFFF, {2}));
    CFileImg mid =
        MakeImg(MakeS1(0xFEFF, {1}) + "\n" + MakeS1(0xFF00, {2}) + "\n", FILEIMG_S19, 0x100);
    CLRArray lra2(&mid);
    ASSERT_EQ(lra2.GetSize(), 2);
    EXPECT_EQ(lra2.GetAt(0)[2], '0');
    EXPECT_EQ(lra2.GetAt(1)[2], '1');
    EXPECT_EQ(Bytes(lra2.GetAt(1)), Rec('1', 0xFF00, {2}));
}

TEST(LRArrayS19, LineEndsLowerCaseAndOtherLinesSkipped) {
    const std::string a = MakeS1(0x10, {1, 2, 3});
    std::string b = MakeS1(0x20, {0xAB, 0xCD});
    for (auto& c : b)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& text :
         {a + "\r" + b + "\r", a + "\n\n\n" + b, a + "\r\n   junk 1234\r\n" + b + "\r\n",
          "\x01" + a.substr(1) + "\n" + a + "\n" + b}) {
        CFileImg img = MakeImg(text, FILEIMG_S19, 0);
        CLRArray lra(&img);
        ASSERT_EQ(lra.GetSize(), 2) << text;
        EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('0', 0x10, {1, 2, 3}));
        EXPECT_EQ(Bytes(lra.GetAt(1)), Rec('0', 0x20, {0xAB, 0xCD}));
    }
}

TEST(LRArrayS19, ImagesWithoutS1LinesGiveNoRecords) {
    for (const std::string& text : {std::string(), std::string(kS0) + "\n" + kS9 + "\n",
                                    std::string(kS0) + "\n\r\n   ", std::string("hello\nworld")}) {
        CFileImg img = MakeImg(text, FILEIMG_S19, 0);
        CLRArray lra(&img);
        EXPECT_EQ(lra.GetSize(), 0) << text;
        EXPECT_TRUE(lra.m_bValid);
    }
}

TEST(LRArrayS19, MalformedS1LinesBuildNoRecordAndStayInsideTheImage) {
    const std::string good = MakeS1(0x40, {5, 6});
    std::string badSum = MakeS1(0x50, {7});
    badSum.back() = badSum.back() == 'F' ? 'E' : 'F';
    // Each text is placed at the very end of its buffer's bytes; ASan sees any overrun.
    for (const std::string& bad :
         {std::string("S1"), std::string("S1FF0000"), std::string("S102000000"), badSum,
          std::string("S1050000ZZ01"), "S1" + std::string(2000, '0'), std::string("S")}) {
        CFileImg img = MakeImg(good + "\n" + bad, FILEIMG_S19, 0);
        CLRArray lra(&img);
        ASSERT_EQ(lra.GetSize(), 1) << bad;
        EXPECT_EQ(Bytes(lra.GetAt(0)), Rec('0', 0x40, {5, 6}));
    }
}

TEST(LRArray, OtherKindsAreInvalidAndEmpty) {
    CFileImg img = MakeImg(Pattern(100), 7, 0);
    CLRArray lra(&img);
    EXPECT_FALSE(lra.m_bValid);
    EXPECT_EQ(lra.GetSize(), 0);
}

TEST(LRArray, SameChecksumFromBinaryChunkAndS1Line) {
    const auto d = Pattern(40, 9);
    CFileImg bin = MakeImg(d, FILEIMG_BIN, 0x2340);
    CFileImg srec = MakeImg(MakeS1(0x2340, d), FILEIMG_S19, 0);
    CLRArray a(&bin);
    CLRArray b(&srec);
    ASSERT_EQ(a.GetSize(), 1);
    ASSERT_EQ(b.GetSize(), 1);
    EXPECT_EQ(a.GetAt(0), b.GetAt(0));
}
