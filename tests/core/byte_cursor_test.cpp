// The bounds-checked byte cursor: big-endian reads of every width at the start, in
// the middle and at the end; failed checks raise the owner's message and leave the
// position; seeks, skips, spans and the empty view.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "support/ByteCursor.h"
#include "support/ZarvoText.h"

using namespace zarvo;

namespace {

constexpr std::array<uint8_t, 16> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
const char* const kMessage = "reply truncated";

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// The width fixed at compile time, through the named reads where there is one.
uint64_t ReadFixed(TByteCursor& c, size_t width) {
    switch (width) {
    case 1:
        return c.ReadU8();
    case 2:
        return c.ReadU16();
    case 3:
        return c.ReadBE<3>();
    case 4:
        return c.ReadU32();
    case 5:
        return c.ReadBE<5>();
    case 6:
        return c.ReadBE<6>();
    case 7:
        return c.ReadBE<7>();
    default:
        return c.ReadU64();
    }
}

TEST(ByteCursor, BigEndianReadsOfEveryWidth) {
    struct Case {
        size_t Pos, Width;
        uint64_t Expected; // unless Fails
        bool Fails;
    };
    const Case cases[] = {
        {0, 1, 0x01, false},
        {0, 2, 0x0102, false},
        {0, 3, 0x010203, false},
        {0, 4, 0x01020304, false},
        {0, 5, 0x0102030405, false},
        {0, 6, 0x010203040506, false},
        {0, 7, 0x01020304050607, false},
        {0, 8, 0x0102030405060708, false},
        {5, 1, 0x06, false},
        {5, 2, 0x0607, false},
        {5, 3, 0x060708, false},
        {5, 4, 0x06070809, false},
        {5, 7, 0x060708090A0B0C, false},
        {5, 8, 0x060708090A0B0C0D, false},
        {15, 1, 0x10, false},
        {14, 2, 0x0F10, false},
        {13, 3, 0x0E0F10, false},
        {12, 4, 0x0D0E0F10, false},
        {11, 5, 0x0C0D0E0F10, false},
        {10, 6, 0x0B0C0D0E0F10, false},
        {9, 7, 0x0A0B0C0D0E0F10, false},
        {8, 8, 0x090A0B0C0D0E0F10, false},
        // One byte past the end.
        {16, 1, 0, true},
        {15, 2, 0, true},
        {14, 3, 0, true},
        {13, 4, 0, true},
        {12, 5, 0, true},
        {11, 6, 0, true},
        {10, 7, 0, true},
        {9, 8, 0, true},
    };
    using Reader = std::function<uint64_t(TByteCursor&, size_t)>;
    const Reader readers[] = {ReadFixed, [](TByteCursor& c, size_t n) { return c.ReadBE(n); }};
    for (const Case& k : cases)
        for (size_t r = 0; r < std::size(readers); ++r) {
            SCOPED_TRACE(testing::Message()
                         << "pos " << k.Pos << " width " << k.Width << (r ? " runtime" : " fixed"));
            TByteCursor c(kBytes.data(), kBytes.size(), kMessage);
            c.Seek(k.Pos);
            if (k.Fails) {
                EXPECT_EQ(MessageOf([&] { readers[r](c, k.Width); }), kMessage);
                EXPECT_EQ(c.Tell(), k.Pos);
            } else {
                EXPECT_EQ(readers[r](c, k.Width), k.Expected);
                EXPECT_EQ(c.Tell(), k.Pos + k.Width);
                EXPECT_EQ(c.Remaining(), kBytes.size() - k.Pos - k.Width);
            }
        }
}

TEST(ByteCursor, RuntimeWidthsOutsideOneToEight) {
    TByteCursor c(kBytes.data(), kBytes.size());
    EXPECT_EQ(c.ReadBE(0), 0u);
    EXPECT_EQ(c.Tell(), 0u);
    // Only the last eight of ten bytes survive the shifts.
    EXPECT_EQ(c.ReadBE(10), 0x030405060708090Aull);
    EXPECT_EQ(c.Tell(), 10u);
}

TEST(ByteCursor, SeekSkipAndNeedStopAtTheEnd) {
    struct Case {
        const char* Name;
        std::function<void(TByteCursor&)> Op;
        size_t PosAfter; // unless Fails
        bool Fails;
    };
    const Case cases[] = {
        {"seek to the end", [](TByteCursor& c) { c.Seek(16); }, 16, false},
        {"seek past the end", [](TByteCursor& c) { c.Seek(17); }, 4, true},
        {"seek far past the end", [](TByteCursor& c) { c.Seek(SIZE_MAX); }, 4, true},
        {"seek back", [](TByteCursor& c) { c.Seek(1); }, 1, false},
        {"skip to the end", [](TByteCursor& c) { c.Skip(12); }, 16, false},
        {"skip past the end", [](TByteCursor& c) { c.Skip(13); }, 4, true},
        {"skip far past the end", [](TByteCursor& c) { c.Skip(SIZE_MAX); }, 4, true},
        {"need the rest", [](TByteCursor& c) { c.Need(12); }, 4, false},
        {"need one more", [](TByteCursor& c) { c.Need(13); }, 4, true},
        {"cursor at the end", [](TByteCursor& c) { c = c.At(16); }, 16, false},
        {"cursor past the end", [](TByteCursor& c) { c = c.At(17); }, 4, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        TByteCursor c(kBytes.data(), kBytes.size(), kMessage);
        c.Skip(4);
        if (k.Fails)
            EXPECT_EQ(MessageOf([&] { k.Op(c); }), kMessage);
        else
            k.Op(c);
        EXPECT_EQ(c.Tell(), k.PosAfter);
        EXPECT_EQ(c.AtEnd(), k.PosAfter == 16);
    }
}

TEST(ByteCursor, EmptyView) {
    for (const TByteCursor& empty : {TByteCursor(), TByteCursor(kBytes.data(), 0)}) {
        TByteCursor c = empty;
        EXPECT_TRUE(c.AtEnd());
        EXPECT_EQ(c.Remaining(), 0u);
        EXPECT_TRUE(c.ReadBytes(0).empty());
        EXPECT_EQ(c.ReadBE(0), 0u);
        c.Seek(0);
        // Without a message of the owner's, the cursor's own.
        EXPECT_EQ(MessageOf([&] { c.ReadU8(); }), TByteCursor::kPastEnd);
        EXPECT_EQ(MessageOf([&] { c.Seek(1); }), TByteCursor::kPastEnd);
    }
}

TEST(ByteCursor, SpansViewTheBuffer) {
    TByteCursor c(kBytes.data(), kBytes.size(), kMessage);
    c.Seek(2);
    const std::span<const uint8_t> b = c.ReadBytes(3);
    EXPECT_EQ(b.data(), kBytes.data() + 2);
    EXPECT_EQ(b.size(), 3u);
    const std::string_view t = c.ReadText(11);
    EXPECT_EQ(static_cast<const void*>(t.data()), kBytes.data() + 5);
    EXPECT_EQ(t.size(), 11u);
    EXPECT_TRUE(c.AtEnd());
    c.Seek(14);
    EXPECT_EQ(MessageOf([&] { c.ReadBytes(3); }), kMessage);
    EXPECT_EQ(c.Tell(), 14u);
}

TEST(ByteCursor, CopiesAtAPositionWithTheirOwnMessage) {
    const TByteCursor whole(kBytes.data(), kBytes.size(), kMessage);
    TByteCursor other = whole.At(15, "other");
    EXPECT_EQ(other.ReadU8(), 0x10);
    EXPECT_EQ(MessageOf([&] { other.ReadU8(); }), "other");
    EXPECT_EQ(MessageOf([&] { (void)whole.At(17, "other"); }), "other");
    EXPECT_EQ(whole.Tell(), 0u);
    EXPECT_EQ(whole.At(3).Message(), kMessage);
}

TEST(ByteCursor, FitsAndHasDoNotOverflow) {
    TByteCursor c(kBytes.data(), kBytes.size());
    c.Skip(10);
    EXPECT_TRUE(c.Has(6));
    EXPECT_FALSE(c.Has(7));
    EXPECT_FALSE(c.Has(SIZE_MAX));
    EXPECT_TRUE(c.Fits(0, 16));
    EXPECT_TRUE(c.Fits(16, 0));
    EXPECT_FALSE(c.Fits(16, 1));
    EXPECT_FALSE(c.Fits(17, 0));
    EXPECT_FALSE(c.Fits(8, SIZE_MAX));
    EXPECT_FALSE(c.Fits(SIZE_MAX, 2));
}

} // namespace
