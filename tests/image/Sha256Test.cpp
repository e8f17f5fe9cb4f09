// SHA-256 against the published vectors, split updates across block boundaries, and the
// digests of an image set that production records keep.
#include "image/Sha256.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block, so the padding takes a second one.
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Any split of the input gives the digest of the whole, around the 55/56/64-byte edges too.
TEST(Sha256, SplitUpdatesGiveTheDigestOfTheWhole) {
    std::string data;
    for (int i = 0; i < 200; ++i)
        data += static_cast<char>(i * 37 + 11);
    for (const std::size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 128u, 200u}) {
        const std::string whole = Sha256Hex(data.substr(0, len));
        for (std::size_t cut = 0; cut <= len; cut += 7) {
            CSha256 sha;
            sha.Update(data.data(), cut);
            sha.Update(data.data() + cut, len - cut);
            EXPECT_EQ(ToHex(sha.Final()), whole) << len << " cut at " << cut;
        }
    }
    CSha256 again;
    again.Update("x");
    (void)again.Final();
    again.Reset();
    again.Update("abc");
    EXPECT_EQ(ToHex(again.Final()), Sha256Hex("abc"));
}

TEST(Sha256, DigestsOfAnImageSetAndOfTheWholeSet) {
    CTempDir dir;
    dir.Write("Shutup.bin", std::string("abc"));
    dir.Write("booti.BIN", std::string("")); // found as the loader finds it, whatever the case
    dir.Write("SBoot.bin", std::string(70, 'x'));
    dir.Write("kernimg.s19", std::string("S9030000FC\n"));
    dir.Write("Morvane.s19", std::string("S9030000FC\r\n"));
    const auto digests = DigestImageSet(dir.Path());
    ASSERT_EQ(digests.size(), 5u);
    EXPECT_EQ(digests[0].strName, "Shutup.bin");
    EXPECT_EQ(digests[0].strHex, Sha256Hex("abc"));
    EXPECT_EQ(digests[1].strName, "BootI.bin");
    EXPECT_EQ(digests[1].strHex, Sha256Hex(""));
    EXPECT_EQ(digests[4].strHex, Sha256Hex("S9030000FC\r\n"));

    // What sha256sum of the five files, piped into sha256sum, prints.
    std::string listing;
    for (const auto& d : digests)
        listing += d.strHex + "  " + d.strName + "\n";
    EXPECT_EQ(DigestOfSet(digests), Sha256Hex(listing));
    EXPECT_EQ(DescribeDigests(digests).substr(0, 11 + 64 + 2),
              "Shutup.bin=" + Sha256Hex("abc") + ", ");

    // A file that is missing, or not a regular file, leaves no digest of the set.
    std::filesystem::remove(dir.Path() + "SBoot.bin");
    std::filesystem::remove(dir.Path() + "kernimg.s19");
#if defined(_WIN32) // no FIFOs there: a directory is not a regular file either
    std::filesystem::create_directory(dir.Path() + "kernimg.s19");
#else
    ASSERT_EQ(mkfifo((dir.Path() + "kernimg.s19").c_str(), 0600), 0);
#endif
    const auto broken = DigestImageSet(dir.Path());
    EXPECT_EQ(broken[2].strHex, "");
    EXPECT_EQ(broken[2].strError, "not found");
#if defined(_WIN32) // the runtime refuses to open a directory at all
    EXPECT_NE(broken[3].strError, "");
#else
    EXPECT_EQ(broken[3].strError, "not a regular file");
#endif
    EXPECT_EQ(DigestOfSet(broken), "");
    EXPECT_NE(DescribeDigests(broken).find("SBoot.bin=unreadable (not found)"), std::string::npos);
}
