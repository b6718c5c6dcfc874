// The strict dotted quad (TryStrictIPv4) read quickly from a text with room behind it:
// the lookup's input lines mostly are one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarvo {

// The bytes ReadPaddedDottedQuad may read from text.data(), whatever the text's length:
// 16 at once, and a number's three digits where the last one starts.
constexpr size_t kDottedQuadReadAhead = 17;

// What TryStrictIPv4 reads, and nothing else: four numbers of one to three digits, each
// at most 255 and without a leading zero. Reads up to kDottedQuadReadAhead bytes from
// text.data() (and takes none of those behind the text into account). The dots are
// found all at once, so that no number's place waits on the digits before it, and no
// branch depends on how many digits a number has.
inline bool ReadPaddedDottedQuad(std::string_view text, uint32_t& value) {
    const size_t n = text.size();
    if (n < 7 || n > 15) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned inText = (1u << n) - 1;
    unsigned dots = 0, digits = 0;
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    dots = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
    digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
#else
    for (size_t j = 0; j < n; ++j) {
        dots |= unsigned{s[j] == '.'} << j;
        digits |= unsigned{static_cast<unsigned char>(s[j] - '0') <= 9} << j;
    }
#endif
    dots &= inText;
    // Three dots: two cleared from the bottom leave one (popcount may be a library call).
    const unsigned upper = dots & (dots - 1), third = upper & (upper - 1);
    if (((dots | digits) & inText) != inText || third == 0 || (third & (third - 1)) != 0) return false;
    const unsigned p1 = static_cast<unsigned>(std::countr_zero(dots));
    const unsigned p2 = static_cast<unsigned>(std::countr_zero(dots & (dots - 1)));
    const unsigned p3 = static_cast<unsigned>(std::bit_width(dots)) - 1;
    const unsigned starts[4] = {0, p1 + 1, p2 + 1, p3 + 1};
    const unsigned ends[4] = {p1, p2, p3, static_cast<unsigned>(n)};
    uint32_t v = 0;
    bool bad = false;
    for (int k = 0; k < 4; ++k) {
        const unsigned at = starts[k], length = ends[k] - at;
        const unsigned d0 = s[at] - 48u, d1 = s[at + 1] - 48u, d2 = s[at + 2] - 48u;
        const unsigned two = length >= 2, three = length == 3;
        const unsigned v1 = d0, v2 = v1 * 10 + d1, v3 = v2 * 10 + d2;
        const unsigned number = v1 + two * (v2 - v1) + three * (v3 - v2);
        bad |= (length - 1 > 2) | (number > 255) | ((d0 == 0) & (two != 0));
        v = v << 8 | (number & 0xFF);
    }
    value = v;
    return !bad;
}

} // namespace zarvo
