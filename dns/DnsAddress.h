// The address text that the reverse lookup accepts: IPv4 only in dotted decimal
// (four parts of 1 to 3 digits, each at most 255), IPv6 in any form the address
// model reads. Stricter than the generator's reading, which takes a bad part as 0.
#pragma once

#include <string_view>

#include "net/uZarvo.h"

namespace zarvo::dns::detail {

inline bool IsDottedDecimal(std::string_view text) {
    int parts = 0;
    size_t digits = 0;
    unsigned value = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || value > 255) return false;
            ++parts;
            digits = 0;
            value = 0;
        } else if (text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

inline bool ParseLookupAddress(std::string_view text, TIPAddr& ip) {
    if (text.find(':') == std::string_view::npos && !IsDottedDecimal(text)) return false;
    return TryStrToIPAddr(text, ip);
}

} // namespace zarvo::dns::detail
