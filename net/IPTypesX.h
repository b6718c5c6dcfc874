// One IPv4 and one IPv6 address value, with their text parsers and formatters.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "support/ZarvoText.h"

namespace zarvo {

static_assert(std::endian::native == std::endian::little,
              "the address views below rely on a little-endian layout");

using TIPv4ByteArray = uint8_t[4];
using TIPv6WordArray = uint16_t[8];
using TIPv6CardinalArray = uint32_t[4];

// Three views of the same 32 bits: the named octets (A is written first), Groups
// (element 0 is D, the last written part) and the numeric Value.
union TIPv4 {
    struct {
        uint8_t D, C, B, A;
    };
    TIPv4ByteArray Groups;
    uint32_t Value;
};
static_assert(sizeof(TIPv4) == 4);

// Three views of the same 128 bits: the named groups (A is written first), Groups
// (element 0 is H) and Values (element k holds Groups 2k and 2k+1).
union TIPv6 {
    struct {
        uint16_t H, G, F, E, D, C, B, A;
    };
    TIPv6WordArray Groups;
    TIPv6CardinalArray Values;
};
static_assert(sizeof(TIPv6) == 16);

class EIPv4Error : public Exception {
public:
    using Exception::Exception;
};
class EIPv6Error : public Exception {
public:
    using Exception::Exception;
};

TIPv4 ParseIPv4(std::string_view text, bool raiseOnError, bool& valid);
TIPv4 StrToIPv4(std::string_view text);
std::string IPv4ToStr(const TIPv4& ip);

TIPv6 ParseIPv6(std::string_view text, bool raiseOnError, bool& valid);
TIPv6 StrToIPv6(std::string_view text);
std::string IPv6ToStr(const TIPv6& ip);

// Whether ParseIPv4 or ParseIPv6 (by the ":" rule) reads all of a valid text as it stands:
// no IPv4 field taken as 0 for not being a number from 0 to 255 by the integer-text rule,
// nothing passed over (after the last field or group; before the "::" of the IPv4-mapped
// form unless zero groups; the character after its FFFF unless ":"). A range line's
// address must be read whole, or "10.0.0.5 GB" would silently become 10.0.0.0.
bool ReadsWhole(std::string_view text);

// The strict reading, for a text that must be one whole address (a lookup), where the
// readings above, made for the range box, take a bad part as 0 or pass over what
// follows. IPv4: four decimal numbers of one to three digits, each at most 255 and
// without a leading zero ("010" could mean octal). IPv6: the text forms of RFC 4291
// 2.2: eight groups of one to four hexadecimal digits, or one "::" standing for one or
// more zero groups, the last 32 bits optionally a strict dotted quad. Nothing else may
// stand in the text (no prefix, blank, zone or bracket): what inet_pton reads, and no more.
bool TryStrictIPv4(std::string_view text, TIPv4& ip);
bool TryStrictIPv6(std::string_view text, TIPv6& ip);
// The same, raising the messages of StrToIPv4 and StrToIPv6.
TIPv4 StrictStrToIPv4(std::string_view text);
TIPv6 StrictStrToIPv6(std::string_view text);

// Allocation-free formatters for the hot path: write the text at out and return
// the end. out needs the room below (the IPv4 writer may scribble two bytes past
// the text it returns).
constexpr size_t kIPv4TextRoom = 17;
constexpr size_t kIPv6TextRoom = 39;
char* IPv4ToChars(const TIPv4& ip, char* out);
char* IPv6ToChars(const TIPv6& ip, char* out);

namespace ipv4_text {
// The decimal text of every octet: up to three digits and their count in byte 3.
struct TOctetTable {
    char text[256][4];
    constexpr TOctetTable() : text() {
        for (int v = 0; v < 256; ++v) {
            int n = 0;
            if (v >= 100) text[v][n++] = static_cast<char>('0' + v / 100);
            if (v >= 10) text[v][n++] = static_cast<char>('0' + v / 10 % 10);
            text[v][n++] = static_cast<char>('0' + v % 10);
            text[v][3] = static_cast<char>(n);
        }
    }
};
inline constexpr TOctetTable kOctets;

inline char* WriteOctet(uint8_t v, char* out) {
    const char* t = kOctets.text[v];
    std::memcpy(out, t, 3); // may write past the digits; the caller's room covers it
    return out + t[3];
}
} // namespace ipv4_text

// Writes IPv4 addresses as IPv4ToChars does, for runs of addresses that mostly share
// their first three octets (a field walked in order): "A.B.C." is made once for them.
class TIPv4RunWriter {
public:
    // Writes the text of the address value at out, which needs 16 bytes of room
    // (bytes past the text may be written), and returns the text's end.
    char* Write(uint32_t value, char* out) {
        if ((value >> 8) != FHigh || FPrefixLength == 0) {
            FHigh = value >> 8;
            TIPv4 first;
            first.Value = value & ~uint32_t{0xFF};
            char* end = IPv4ToChars(first, FPrefix);
            FPrefixLength = static_cast<size_t>(end - FPrefix) - 1; // "A.B.C." of "A.B.C.0"
        }
        std::memcpy(out, FPrefix, 12);
        return ipv4_text::WriteOctet(static_cast<uint8_t>(value), out + FPrefixLength);
    }

private:
    char FPrefix[kIPv4TextRoom] = {};
    size_t FPrefixLength = 0;
    uint32_t FHigh = 0;
};

inline TIPv4 MakeIPv4(uint32_t value) {
    TIPv4 r;
    r.Value = value;
    return r;
}

} // namespace zarvo
