#include "serial/CircularBuffer.h"
#include "serial/XMsg.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

std::vector<char> Bytes(int n, int first = 0) {
    std::vector<char> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<char>((first + i) & 0xFF);
    return v;
}

// Runs f and returns the text of the ring error it raised ("" when none).
template <class F> std::string RaisedText(F f) {
    try {
        f();
    } catch (CXMsg* p) {
        EXPECT_EQ(p, &g_xRecover);
        return p->GetMessage();
    }
    return "";
}

} // namespace

TEST(CircularBuffer, FullAtItsSizeThenKeepsTheNewestBytes) {
    CCircularBuffer ring;
    ASSERT_EQ(ring.Create(4096), S_OK);
    EXPECT_EQ(ring.GetSize(), 4097);
    const auto data = Bytes(4096);
    EXPECT_EQ(ring.Write(data.data(), 4096), 4096);
    const char extra = 'Z';
    EXPECT_EQ(ring.Write(&extra, 1), -1);
    EXPECT_EQ(ring.GetCount(), 4096);
    EXPECT_EQ(ring.GetAt(0), data[1]); // the first byte was lost
    EXPECT_EQ(ring.GetAt(4095), 'Z');
}

TEST(CircularBuffer, OverrunAfterPartialReadKeepsNewest4096) {
    // 4000 unread bytes, then 200 more: the oldest 104 are dropped.
    CCircularBuffer ring;
    ring.Create(4096);
    const auto a = Bytes(2000, 0);
    ring.Write(a.data(), 2000);
    ring.Write(a.data(), 2000);
    const auto b = Bytes(200, 100);
    EXPECT_EQ(ring.Write(b.data(), 200), -1);
    EXPECT_EQ(ring.GetCount(), 4096);
    std::vector<char> out(4096);
    int n = 5000;
    EXPECT_EQ(ring.Read(out.data(), &n), 0);
    EXPECT_EQ(n, 4096);
    EXPECT_EQ(out[0], a[104]);
    EXPECT_EQ(out[4095], b[199]);
}

TEST(CircularBuffer, CountAndIndexErrorsLeaveTheRingUnchanged) {
    CCircularBuffer ring;
    ring.Create(4096);
    const auto big = Bytes(4097);
    EXPECT_EQ(RaisedText([&] { ring.Write(big.data(), 4097); }),
              "(CCircularBuffer): Count out of bounds");
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.Write(big.data(), 0), 0);
    ring.Write("abc", 3);
    EXPECT_EQ(ring.Write(big.data(), 0), 3);
    EXPECT_EQ(ring.GetAt(2), 'c');
    EXPECT_EQ(RaisedText([&] { ring.GetAt(3); }), "(CCircularBuffer): Index out of bounds");
    EXPECT_EQ(RaisedText([&] { ring.GetAt(-1); }), "(CCircularBuffer): Index out of bounds");
    EXPECT_EQ(ring.GetCount(), 3);
}

TEST(CircularBuffer, WrapsAtExactlyTheEndAndReadsBackInOrder) {
    CCircularBuffer ring;
    ring.Create(8); // 9 slots
    const auto a = Bytes(9, 10);
    ring.Write(a.data(), 5);
    char out[16];
    int n = 5;
    ring.Read(out, &n);
    // 4 more bytes reach exactly the end of the storage: the write index comes back to 0.
    EXPECT_EQ(ring.Write(a.data(), 4), 4);
    n = 4;
    EXPECT_EQ(ring.Read(out, &n), 0); // the read ends exactly at the end too
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.Write(a.data(), 3), 3); // so this lands at slot 0 ...
    n = 3;
    ring.Read(out, &n);
    EXPECT_EQ(std::string(out, 3), std::string(a.data(), 3));
    // ... and data across the end reads back in order by GetAt and by Read.
    ring.Clear();
    ring.Write(a.data(), 6);
    n = 6;
    ring.Read(out, &n);
    ring.Write(a.data(), 7); // slots 6,7,8,0,1,2,3
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(ring.GetAt(i), a[static_cast<size_t>(i)]);
    n = 7;
    ring.Read(out, &n);
    EXPECT_EQ(std::string(out, 7), std::string(a.data(), 7));
}

TEST(CircularBuffer, ReadOfMoreThanStoredAndOfAnEmptyRing) {
    CCircularBuffer ring;
    ring.Create(16);
    char out[32];
    int n = 10;
    EXPECT_EQ(ring.Read(out, &n), 1);
    EXPECT_EQ(n, 10); // untouched
    ring.Write("hello", 5);
    n = 10;
    EXPECT_EQ(ring.Read(out, &n), 0);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(out, 5), "hello");
}

TEST(CircularBuffer, ManyRandomishOperationsMatchAModel) {
    // A plain deque model catches index arithmetic slips at every alignment.
    CCircularBuffer ring;
    ring.Create(37);
    std::string model;
    unsigned seed = 12345;
    auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int step = 0; step < 20000; ++step) {
        if (next() % 2) {
            const int n = static_cast<int>(next() % 38);
            std::string chunk;
            for (int i = 0; i < n; ++i)
                chunk += static_cast<char>(next());
            const int r = ring.Write(chunk.data(), n);
            model += chunk;
            if (model.size() > 37) {
                EXPECT_EQ(r, -1);
                model.erase(0, model.size() - 37);
            } else {
                EXPECT_EQ(r, static_cast<int>(model.size()));
            }
        } else {
            int n = static_cast<int>(next() % 40);
            char out[64];
            const int want = n;
            const int r = ring.Read(out, &n);
            if (model.empty()) {
                EXPECT_EQ(r, 1);
                EXPECT_EQ(n, want);
            } else {
                ASSERT_EQ(r, 0);
                ASSERT_EQ(n, std::min<int>(want, static_cast<int>(model.size())));
                ASSERT_EQ(std::string(out, static_cast<size_t>(n)),
                          model.substr(0, static_cast<size_t>(n)));
                model.erase(0, static_cast<size_t>(n));
            }
        }
        ASSERT_EQ(ring.GetCount(), static_cast<int>(model.size()));
        if (!model.empty()) {
            ASSERT_EQ(ring.GetAt(static_cast<int>(model.size()) - 1), model.back());
        }
    }
}

TEST(CircularBuffer, CreateDiscardsContents) {
    CCircularBuffer ring;
    EXPECT_EQ(ring.GetCount(), 0);
    ring.Create(4);
    ring.Write("ab", 2);
    ring.Create(4);
    EXPECT_EQ(ring.GetCount(), 0);
}
