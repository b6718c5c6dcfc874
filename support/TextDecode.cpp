#include "support/TextDecode.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

// Length of the well-formed UTF-8 sequence at s[i]; 0 when none starts there.
size_t WellFormedAt(std::string_view s, size_t i) {
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
    } else {
        return 0;
    }
    if (s.size() - i < need) return 0;
    for (size_t k = 1; k < need; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        v = (v << 6) | (d & 0x3F);
    }
    return v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF) ? need : 0;
}

// Length of the longest well-formed prefix of s.
size_t WellFormedPrefix(std::string_view s) {
    size_t i = 0;
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
        const size_t n = WellFormedAt(s, i);
        if (n == 0) break;
        i += n;
    }
    return i;
}

// Length of the maximal subpart at s[i] (at least 1), or 0 when a well-formed
// sequence starts there. Unicode's table of well-formed sequences: the second byte's
// range depends on the lead, which keeps out overlongs, surrogates and values
// beyond U+10FFFF at the first byte that betrays them.
size_t MaximalSubpartAt(std::string_view s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 0;
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 1; // never a lead byte
    }
    for (size_t k = 1; k < need; ++k) {
        if (i + k >= s.size()) return k;
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if (d < lo || d > hi) return k;
        lo = 0x80, hi = 0xBF;
    }
    return 0;
}

} // namespace

bool IsWellFormedUtf8(std::string_view s) {
    return WellFormedPrefix(s) == s.size();
}

void AssignUtf8Replacing(std::string& out, std::string_view s) {
    if (WellFormedPrefix(s) == s.size()) {
        out.assign(s);
        return;
    }
    out.clear();
    AppendSanitizedUtf8(out, s);
}

void AppendSanitizedUtf8(std::string& out, std::string_view s) {
    for (;;) {
        const size_t good = WellFormedPrefix(s);
        out.append(s.substr(0, good));
        s.remove_prefix(good);
        if (s.empty()) break;
        // Both scans accept the same sequences, so s starts ill-formed here; at least
        // one byte goes, whatever happens.
        AppendUtf8(out, kReplacement);
        s.remove_prefix(std::max<size_t>(MaximalSubpartAt(s, 0), 1));
    }
}

std::string SanitizeUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    AppendSanitizedUtf8(out, s);
    return out;
}

size_t AppendUtf16AsUtf8(std::string& out, std::string_view s, bool bigEndian, bool final) {
    const size_t units = s.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        const unsigned char a = static_cast<unsigned char>(s[2 * i]),
                            b = static_cast<unsigned char>(s[2 * i + 1]);
        return bigEndian ? (uint32_t(a) << 8 | b) : (uint32_t(b) << 8 | a);
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < units) {
                const uint32_t lo = unit(i + 1);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                    ++i;
                    continue;
                }
            } else if (!final) {
                return 2 * i; // its low half may come with the next block
            }
        }
        AppendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? kReplacement : u);
    }
    if (s.size() % 2 == 0) return s.size();
    if (!final) return s.size() - 1;
    AppendUtf8(out, kReplacement);
    return s.size();
}

std::string Utf16ToUtf8(std::string_view s, bool bigEndian) {
    std::string out;
    out.reserve(s.size());
    AppendUtf16AsUtf8(out, s, bigEndian, true);
    return out;
}

size_t Utf8StepLength(std::string_view s) {
    if (s.empty()) return 0;
    const size_t n = WellFormedAt(s, 0);
    return n != 0 ? n : std::max<size_t>(MaximalSubpartAt(s, 0), 1);
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

namespace zarvo {

namespace {

constexpr size_t kPieceSize = size_t{64} << 10;

} // namespace

TTextLineReader::TTextLineReader(TSource source, size_t maxLine)
    : FSource(std::move(source)), FMaxLine(maxLine) {}

// Reads the next piece behind the bytes not yet taken (at most two: the start of a
// mark or half a UTF-16 unit); false at the end.
bool TTextLineReader::Fill() {
    if (FEndOfSource) return false;
    if (FPiece.empty()) FPiece.resize(kPieceSize);
    const size_t kept = FEnd - FPos;
    std::copy(FPiece.begin() + static_cast<ptrdiff_t>(FPos), FPiece.begin() + static_cast<ptrdiff_t>(FEnd),
              FPiece.begin());
    FPos = 0;
    FEnd = kept;
    size_t got = 0;
    try {
        got = FSource(FPiece.data() + kept, FPiece.size() - kept);
    } catch (...) {
        FDone = true;
        throw;
    }
    FEnd += got;
    FEndOfSource = got == 0;
    return got > 0;
}

TTextLineReader::TResult TTextLineReader::Next(std::string& line) {
    line.clear();
    if (FDone) return TResult::End;
    if (!FStarted) {
        FStarted = true;
        // A mark takes up to three bytes, and a pipe may hand over fewer at a time.
        while (FEnd - FPos < 3 && Fill()) {
        }
        const TByteOrderMark bom = DetectByteOrderMark(Pending());
        FEncoding = bom.Encoding;
        FPos += bom.Size;
    }
    FRaw.clear();
    const bool lineGoesOn = FAtSeparator;
    FAtSeparator = false;
    const TResult r = FEncoding == TTextEncoding::Utf8 ? Utf8Line(line) : Utf16Line(line);
    if (r != TResult::End) {
        FItemNumber = lineGoesOn ? FItemNumber + 1 : 1;
        if (!lineGoesOn) ++FLineNumber;
    }
    if (r != TResult::Line) {
        FDone = true;
        std::string().swap(FRaw);
        std::vector<char>().swap(FPiece);
        FPos = FEnd = 0;
    }
    return r;
}

TTextLineReader::TResult TTextLineReader::NextLines(std::string& text, std::vector<uint32_t>& ends,
                                                    size_t maxLines, size_t maxText) {
    const auto full = [&] { return ends.size() >= maxLines || text.size() >= maxText; };
    std::string line;
    while (!full()) {
        // A CR last in the piece leaves the line break open: Next settles it.
        if (FStarted && !FDone && FEncoding == TTextEncoding::Utf8 && !FAfterCR && FSeparator == '\n') {
            const char* p = FPiece.data() + FPos;
            const char* const e = FPiece.data() + FEnd;
            // The lines ended by a LF in the piece, found by memchr; when none of their
            // bytes is a CR or outside ASCII (one pass over all of them), they are taken
            // as they stand, in one copy.
            const size_t at = text.size(), first = ends.size();
            const char* q = p;
            while (ends.size() < maxLines && at + static_cast<size_t>(q - p) < maxText) {
                const char* lf = static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(e - q)));
                if (!lf || static_cast<size_t>(lf - q) > FMaxLine) break;
                ends.push_back(static_cast<uint32_t>(at + static_cast<size_t>(lf - p)));
                q = lf + 1;
            }
            unsigned char any = 0, cr = 0;
            for (const char* c = p; c != q; ++c) {
                any |= static_cast<unsigned char>(*c);
                cr |= static_cast<unsigned char>(*c == '\r');
            }
            if (any < 0x80 && cr == 0) {
                text.append(p, q);
                FLineNumber += ends.size() - first;
                p = q;
            } else {
                ends.resize(first);
            }
            // Then line by line while the lines are plain ASCII and whole in the piece.
            while (!full()) {
                q = p;
                any = 0;
                while (q != e && *q != '\n' && *q != '\r') any |= static_cast<unsigned char>(*q++);
                if (q == e || any >= 0x80 || static_cast<size_t>(q - p) > FMaxLine) break;
                text.append(p, q);
                ends.push_back(static_cast<uint32_t>(text.size()));
                text += '\n';
                ++FLineNumber;
                p = q + 1;
                if (*q == '\r') {
                    if (p == e) {
                        FAfterCR = true;
                        break;
                    }
                    if (*p == '\n') ++p;
                }
            }
            FPos = static_cast<size_t>(p - FPiece.data());
            if (full()) break;
        }
        const TResult r = Next(line);
        if (r != TResult::Line) return r;
        text += line;
        ends.push_back(static_cast<uint32_t>(text.size()));
        text += '\n';
    }
    return TResult::Line;
}

namespace {
bool IsAscii(std::string_view s) {
    unsigned char any = 0;
    for (const char c : s) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}
} // namespace

void TTextLineReader::EndItem(char end) {
    FAfterCR = end == '\r';
    FAtSeparator = end == FSeparator && end != '\n';
}

// CR and LF bytes never occur inside a UTF-8 sequence, so each line is made valid
// on its own with the same result as the whole text.
TTextLineReader::TResult TTextLineReader::Utf8Line(std::string& line) {
    for (;;) {
        if (FPos == FEnd && !Fill()) {
            if (FRaw.empty()) return TResult::End; // the text ended with a line break, or was empty
            line = SanitizeUtf8(FRaw);
            return TResult::Line;
        }
        if (FAfterCR) {
            FAfterCR = false;
            if (FPiece[FPos] == '\n') {
                ++FPos;
                continue;
            }
        }
        const std::string_view pending = Pending();
        // A plain loop: find_first_of calls memchr on the two breaks for every character.
        size_t end = 0;
        while (end < pending.size() && pending[end] != '\r' && pending[end] != '\n' &&
               pending[end] != FSeparator)
            ++end;
        const size_t size = end;
        if (end == pending.size()) end = std::string_view::npos;
        if (size > FMaxLine - FRaw.size()) return TResult::TooLong;
        // The common line, whole in the piece and plain ASCII, is already what
        // sanitizing would make of it: taken as it stands.
        if (FRaw.empty() && end != std::string_view::npos && IsAscii(pending.substr(0, size))) {
            line.assign(pending.data(), size);
            EndItem(pending[end]);
            FPos += size + 1;
            return TResult::Line;
        }
        FRaw.append(pending.substr(0, size));
        FPos += size;
        if (end != std::string_view::npos) {
            EndItem(pending[end]);
            ++FPos;
            line = SanitizeUtf8(FRaw);
            return TResult::Line;
        }
    }
}

TTextLineReader::TResult TTextLineReader::Utf16Line(std::string& line) {
    const bool bigEndian = FEncoding == TTextEncoding::Utf16BE;
    for (;;) {
        while (FEnd - FPos < 2 && Fill()) {
        }
        if (FEnd - FPos < 2) {
            // An odd last byte is a unit cut short: U+FFFD, as Utf16ToUtf8 makes it.
            if (FPos < FEnd) FRaw += FPiece[FPos++];
            if (FRaw.empty()) return TResult::End;
            line = Utf16ToUtf8(FRaw, bigEndian);
            return TResult::Line;
        }
        const auto b0 = static_cast<unsigned char>(FPiece[FPos]),
                   b1 = static_cast<unsigned char>(FPiece[FPos + 1]);
        const uint32_t unit = bigEndian ? (uint32_t{b0} << 8 | b1) : (uint32_t{b1} << 8 | b0);
        if (FAfterCR) {
            FAfterCR = false;
            if (unit == '\n') {
                FPos += 2;
                continue;
            }
        }
        if (unit == '\r' || unit == '\n' || unit == static_cast<unsigned char>(FSeparator)) {
            EndItem(static_cast<char>(unit));
            FPos += 2;
            line = Utf16ToUtf8(FRaw, bigEndian);
            return TResult::Line;
        }
        if (FRaw.size() / 2 >= FMaxLine) return TResult::TooLong;
        FRaw.append(&FPiece[FPos], 2);
        FPos += 2;
    }
}

} // namespace zarvo
