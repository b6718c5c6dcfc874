// The generator's types: count modes, the tagged address and its bit arithmetic,
// the address list and the exclusion masks.
#pragma once

#include <bitset>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/IPTypesX.h"
#include "support/GrowList.h"

namespace zarvo {

enum TGenerateCounts : uint8_t { gcAllCount = 0, gcTotalCount = 1, gcForEach = 2 };
enum TIPAddrFamily : uint8_t { IPv4 = 0, IPv6 = 1 };

struct TIPAddr {
    TIPAddrFamily ip_family = zarvo::IPv4;
    // One 128-bit payload; an IPv4 value uses its first 32 bits.
    union {
        TIPv4 IPv4;
        TIPv6 IPv6;
    };
    TIPAddr() : IPv6{} {}
};

class EIPAddrListError : public Exception {
public:
    using Exception::Exception;
};

class TIPAddrList : public TGrowList<TIPAddr, EIPAddrListError> {
public:
    const TIPAddr& GetIPAddress(int32_t index) const { return Get(index); }
    void SetIPAddress(int32_t index, const TIPAddr& value) { Set(index, value); }
    const TIPAddr& operator[](int32_t index) const { return Get(index); }
};

// The range box's reading (ParseIPv4, ParseIPv6): IPv6 when the text holds a ":".
TIPAddr StrToIPAddr(std::string_view text);
bool TryStrToIPAddr(std::string_view text, TIPAddr& addr);
// TryStrToIPAddr of a text that it reads whole (ReadsWhole): a range line's address.
bool TryWholeStrToIPAddr(std::string_view text, TIPAddr& addr);
// The strict reading of one whole address (StrictStrToIPv4, StrictStrToIPv6), with the
// same messages.
TIPAddr StrictStrToIPAddr(std::string_view text);
std::string IPAddrToStr(const TIPAddr& addr, bool escapeIPv6);
// Writes the text at out (room for kIPAddrTextRoom characters) and returns the end.
constexpr size_t kIPAddrTextRoom = kIPv6TextRoom + 2;
char* IPAddrToChars(const TIPAddr& addr, bool escapeIPv6, char* out);
// The same with lowerIPv6: IPv6 hexadecimal digits in lower case, as RFC 5952 recommends
// (the zero groups compressed as above all the same).
char* IPAddrToChars(const TIPAddr& addr, bool escapeIPv6, bool lowerIPv6, char* out);
std::string IPAddrQuadrant(const TIPAddr& addr, int n);

TIPAddr MakeIPAddrMask(TIPAddrFamily family, int netBits, int hostFrom);
void IPAddrAddBit(TIPAddr& addr, int bit);
void IPAddrRandomBits(TIPAddr& addr, int firstBit, int count);
// ORs value, shifted up by shift bits, into the address; bits beyond the width are dropped.
void IPAddrOrBits(TIPAddr& addr, uint64_t value, int shift);
bool IPAddrEqual(const TIPAddr& a, const TIPAddr& b);
void IPAddrAnd(TIPAddr& a, const TIPAddr& b);
void IPAddrOr(TIPAddr& a, const TIPAddr& b);
void IPAddrNot(TIPAddr& a);
bool IPAddrMaskedEqual(const TIPAddr& a, const TIPAddr& b, const TIPAddr& mask);

// A compiled wildcard mask: "*", "?", "[set]" with ranges and "!" negation; ASCII
// letters match without regard to case; the whole text must match.
class TMask {
public:
    // Raises "'%s' is an invalid mask at (%d)".
    explicit TMask(std::string_view mask);
    bool Matches(std::string_view text) const;
    // True for a mask of stars only ("*"), which every text matches.
    bool MatchesEverything() const;

private:
    enum Kind : uint8_t { mkStar, mkLiteral, mkAny, mkSet };
    struct Element {
        Kind kind = mkLiteral;
        bool negate = false;
        char literal = 0;       // upper case
        std::bitset<256> set{}; // upper-case members
        bool Matches(char c) const;
    };
    std::vector<Element> FElements;
};

class TExcludeList {
public:
    void Add(std::string_view mask) { FMasks.push_back(std::make_unique<TMask>(mask)); }
    int32_t Count() const { return static_cast<int32_t>(FMasks.size()); }
    const TMask& GetExcludeMask(int32_t index) const;
    // True when any mask matches the whole text.
    bool Excludes(std::string_view text) const;
    // True when some mask matches every text, so that nothing can survive.
    bool ExcludesEverything() const;

private:
    std::vector<std::unique_ptr<TMask>> FMasks;
};

} // namespace zarvo
