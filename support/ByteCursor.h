// A bounds-checked reader over bytes that someone else owns (a database image, a
// network reply): a position moved forward by big-endian integer reads, byte spans
// and skips, and set by seeks. Every read is checked against the end; a failed
// check raises the message the owner gave the cursor and leaves the position as it
// was. The checks are inline and the throw is out of line, so the reads stay cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zarvo {

class TByteCursor {
public:
    // Raised when the owner names no message of its own.
    static constexpr const char* kPastEnd = "Read past the end of the data.";

    constexpr TByteCursor() noexcept = default;
    // message must outlive the cursor (a literal or a constant).
    constexpr TByteCursor(const uint8_t* data, size_t size, const char* message = kPastEnd) noexcept
        : FData(data), FSize(size), FMessage(message) {}
    constexpr explicit TByteCursor(std::span<const uint8_t> bytes, const char* message = kPastEnd) noexcept
        : TByteCursor(bytes.data(), bytes.size(), message) {}

    const uint8_t* Data() const noexcept { return FData; }
    size_t Size() const noexcept { return FSize; }
    size_t Tell() const noexcept { return FPos; }
    size_t Remaining() const noexcept { return FSize - FPos; }
    bool AtEnd() const noexcept { return FPos == FSize; }
    const char* Message() const noexcept { return FMessage; }

    // Whether n more bytes lie behind the position, and whether count bytes at pos
    // lie inside the view; neither moves nor raises.
    bool Has(size_t n) const noexcept { return n <= FSize - FPos; }
    bool Fits(size_t pos, size_t count) const noexcept { return pos <= FSize && count <= FSize - pos; }

    // Raises unless n more bytes lie behind the position.
    void Need(size_t n) const {
        if (!Has(n)) [[unlikely]]
            Fail();
    }
    // The end itself is a valid position; a read there fails.
    void Seek(size_t pos) {
        if (pos > FSize) [[unlikely]]
            Fail();
        FPos = pos;
    }
    void Skip(size_t n) {
        Need(n);
        FPos += n;
    }
    // A copy of this cursor at pos that raises message.
    [[nodiscard]] TByteCursor At(size_t pos, const char* message) const {
        TByteCursor c(FData, FSize, message);
        c.Seek(pos);
        return c;
    }
    [[nodiscard]] TByteCursor At(size_t pos) const { return At(pos, FMessage); }

    uint8_t ReadU8() {
        Need(1);
        return FData[FPos++];
    }
    uint16_t ReadU16() { return static_cast<uint16_t>(ReadBE<2>()); }
    uint32_t ReadU32() { return static_cast<uint32_t>(ReadBE<4>()); }
    uint64_t ReadU64() { return ReadBE<8>(); }
    // N bytes (1 to 8, fixed at compile time) as a big-endian unsigned number.
    template <size_t N> uint64_t ReadBE() {
        static_assert(N >= 1 && N <= 8);
        return ReadBE(N); // inlined with n known, the loop unrolls
    }
    // n bytes as a big-endian unsigned number, for widths the data states (0 gives
    // 0); beyond 8 bytes the leading ones are shifted out.
    uint64_t ReadBE(size_t n) {
        Need(n);
        const uint8_t* p = FData + FPos;
        FPos += n;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }
    // The next n bytes as a view into the viewed data (no copy).
    std::span<const uint8_t> ReadBytes(size_t n) {
        Need(n);
        const uint8_t* p = FData + FPos;
        FPos += n;
        return {p, n};
    }
    std::string_view ReadText(size_t n) {
        const std::span<const uint8_t> b = ReadBytes(n);
        return {reinterpret_cast<const char*>(b.data()), b.size()};
    }

private:
    [[noreturn]] void Fail() const;

    const uint8_t* FData = nullptr;
    size_t FSize = 0;
    size_t FPos = 0;
    const char* FMessage = kPastEnd;
};

} // namespace zarvo
