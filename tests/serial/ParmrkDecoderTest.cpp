#include "serial/ParmrkDecoder.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

struct Decoded {
    std::string bytes;
    RxInfo info;
};

// Feeds the input in pieces cut at the given positions, decoding each piece in place.
Decoded Feed(const std::string& in, std::initializer_list<size_t> cuts = {}) {
    CParmrkDecoder dec;
    Decoded d;
    size_t from = 0;
    auto piece = [&](size_t to) {
        std::string buf = in.substr(from, to - from);
        const int n = dec.Decode(buf.data(), static_cast<int>(buf.size()), buf.data(), d.info);
        EXPECT_LE(n, static_cast<int>(buf.size()));
        d.bytes.append(buf.data(), static_cast<size_t>(n));
        from = to;
    };
    for (size_t c : cuts)
        piece(c);
    piece(in.size());
    return d;
}

} // namespace

TEST(ParmrkDecoder, MarkersBecomeBytesBreaksAndErrors) {
    // Plain bytes, a doubled 0xFF, a break, a byte with a framing error, a plain NUL.
    const std::string in = "A\xFF\xFF"
                           "B\xFF\x00\x00"
                           "C\xFF\x00Z\x00"s;
    const Decoded d = Feed(in);
    EXPECT_EQ(d.bytes, "A\xFF"
                       "B\x00"
                       "CZ\x00"s);
    EXPECT_EQ(d.info.nBreaks, 1);
    EXPECT_EQ(d.info.nLineErrors, 1);
}

TEST(ParmrkDecoder, AStrayMarkerKeepsTheByteAndCountsAnError) {
    const Decoded d = Feed("\xFF"
                           "Q"s);
    EXPECT_EQ(d.bytes, "Q");
    EXPECT_EQ(d.info.nLineErrors, 1);
}

TEST(ParmrkDecoder, SurvivesEverySplitPosition) {
    const std::string in = "\xFF\xFF\xFF\x00\x00\xFF\x00\x41\x00\xFF\xFF\xFF\x00\x00"
                           "end"s;
    const Decoded whole = Feed(in);
    ASSERT_EQ(whole.bytes, "\xFF\x00\x41\x00\xFF\x00"
                           "end"s);
    ASSERT_EQ(whole.info.nBreaks, 2);
    ASSERT_EQ(whole.info.nLineErrors, 1);
    for (size_t i = 0; i <= in.size(); ++i) {
        for (size_t j = i; j <= in.size(); ++j) {
            const Decoded d = Feed(in, {i, j});
            EXPECT_EQ(d.bytes, whole.bytes) << "cut at " << i << " and " << j;
            EXPECT_EQ(d.info.nBreaks, 2) << "cut at " << i << " and " << j;
            EXPECT_EQ(d.info.nLineErrors, 1) << "cut at " << i << " and " << j;
        }
    }
}

TEST(ParmrkDecoder, OneByteAtATimeAndResetForgetsAMarker) {
    CParmrkDecoder dec;
    RxInfo info;
    const std::string in = "\xFF\x00\x00\xFF\xFF"s;
    std::string out;
    for (char c : in) {
        char b = c;
        out.append(&b, static_cast<size_t>(dec.Decode(&b, 1, &b, info)));
    }
    EXPECT_EQ(out, "\x00\xFF"s);
    EXPECT_EQ(info.nBreaks, 1);

    char m = '\xFF';
    EXPECT_EQ(dec.Decode(&m, 1, &m, info), 0);
    EXPECT_TRUE(dec.InMarker());
    dec.Reset();
    char z = '\0';
    EXPECT_EQ(dec.Decode(&z, 1, &z, info), 1); // a plain NUL, not the rest of a break
    EXPECT_EQ(info.nBreaks, 1);
}
