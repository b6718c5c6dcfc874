#include "support/TextDecode.h"

#include <algorithm>
#include <cstring>

namespace zarvo {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

TByteOrderMark DetectByteOrderMark(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return {TTextEncoding::Utf8, 3};
    if (bytes.substr(0, 2) == "\xFF\xFE") return {TTextEncoding::Utf16LE, 2};
    if (bytes.substr(0, 2) == "\xFE\xFF") return {TTextEncoding::Utf16BE, 2};
    return {};
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i]; 0 when it is malformed, with
// skip set to the bytes that one U+FFFD then replaces.
size_t WellFormedAt(std::string_view s, size_t i, size_t& skip) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t need = 0;
    uint32_t v = 0, min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2, v = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3, v = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4, v = c & 0x07, min = 0x10000;
    }
    size_t k = 1;
    for (; k < need && i + k < s.size(); ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) break;
        v = (v << 6) | (d & 0x3F);
    }
    if (need != 0 && k == need && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) return need;
    skip = std::max<size_t>(k, 1);
    return 0;
}

// Length of the longest well-formed prefix of s.
size_t WellFormedPrefix(std::string_view s) {
    size_t i = 0, skip = 0;
    while (i < s.size()) {
        // Eight ASCII bytes at a time, the common case.
        uint64_t word = 0;
        if (i + sizeof word <= s.size()) {
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += sizeof word;
                continue;
            }
        }
        const size_t n = WellFormedAt(s, i, skip);
        if (n == 0) break;
        i += n;
    }
    return i;
}

void AppendSanitized(std::string& out, std::string_view s) {
    while (!s.empty()) {
        const size_t good = WellFormedPrefix(s);
        out.append(s.substr(0, good));
        s.remove_prefix(good);
        if (s.empty()) break;
        size_t skip = 1;
        WellFormedAt(s, 0, skip);
        AppendUtf8(out, kReplacement);
        s.remove_prefix(skip);
    }
}

} // namespace

std::string SanitizeUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    AppendSanitized(out, s);
    return out;
}

std::string Utf16ToUtf8(std::string_view s, bool bigEndian) {
    std::string out;
    out.reserve(s.size());
    const size_t units = s.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        const unsigned char a = static_cast<unsigned char>(s[2 * i]),
                            b = static_cast<unsigned char>(s[2 * i + 1]);
        return bigEndian ? (uint32_t(a) << 8 | b) : (uint32_t(b) << 8 | a);
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = unit(i + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? kReplacement : u);
    }
    if (s.size() % 2) AppendUtf8(out, kReplacement);
    return out;
}

std::string DecodeText(std::string_view bytes) {
    const TByteOrderMark bom = DetectByteOrderMark(bytes);
    bytes.remove_prefix(bom.Size);
    switch (bom.Encoding) {
    case TTextEncoding::Utf16LE:
        return Utf16ToUtf8(bytes, false);
    case TTextEncoding::Utf16BE:
        return Utf16ToUtf8(bytes, true);
    case TTextEncoding::Utf8:
        break;
    }
    return SanitizeUtf8(bytes);
}

std::string DecodeTextBuffer(std::string bytes) {
    const TByteOrderMark bom = DetectByteOrderMark(bytes);
    if (bom.Encoding == TTextEncoding::Utf8) {
        const std::string_view body = std::string_view(bytes).substr(bom.Size);
        const size_t good = WellFormedPrefix(body);
        if (good == body.size()) {
            bytes.erase(0, bom.Size);
            return bytes;
        }
    }
    std::string text = DecodeText(bytes);
    std::string().swap(bytes);
    return text;
}

std::vector<std::string> SplitLines(std::string_view text, size_t maxLine) {
    std::vector<std::string> lines;
    ForEachLine(text, [&](size_t start, size_t length) {
        if (length <= maxLine) lines.emplace_back(text.substr(start, length));
    });
    return lines;
}

std::vector<std::string> DecodeTextLines(std::string_view bytes, size_t maxLine) {
    return SplitLines(DecodeText(bytes), maxLine);
}

} // namespace zarvo
