#include "support/TextDecode.h"

#include <algorithm>

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

std::string SanitizeUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
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
        if (need != 0 && k == need && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
            out.append(s.substr(i, need));
            i += need;
        } else {
            AppendUtf8(out, kReplacement);
            i += std::max<size_t>(k, 1);
        }
    }
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

std::vector<std::string> SplitLines(std::string_view text, size_t maxLine) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        if (end - start <= maxLine) lines.emplace_back(text.substr(start, end - start));
        start = end;
        if (start < text.size() && text[start] == '\r') ++start;
        if (start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

std::vector<std::string> DecodeTextLines(std::string_view bytes, size_t maxLine) {
    return SplitLines(DecodeText(bytes), maxLine);
}

} // namespace zarvo
