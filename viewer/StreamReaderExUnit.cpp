#include "viewer/StreamReaderExUnit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarvo {

namespace {

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

size_t CountChars(const char* b, const char* e) {
    size_t n = 0;
    for (; b < e; ++b) n += !IsContinuation(*b);
    return n;
}

// The first byte in [b, e) that may end a line of text: CR, LF and, with nul, NUL.
const char* FindBreak(const char* b, const char* e, bool nul) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    for (; e - b >= 16; b += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        if (nul) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, zero));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return b + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; b < e; ++b)
        if (*b == '\r' || *b == '\n' || (nul && *b == 0)) return b;
    return e;
}

// The first byte in [b, e) that is not NUL.
const char* FindNotNul(const char* b, const char* e) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; e - b >= 16; b += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) ^ 0xFFFF;
        if (mask != 0) return b + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; b < e; ++b)
        if (*b != 0) return b;
    return e;
}

} // namespace

TStreamReaderEx::TStreamReaderEx(TStream* stream, TTextEncoding encoding, bool detectBOM, int32_t bufferSize)
    : FBufferSize(std::max(bufferSize, kMinBufferSize)), FDetectBOM(detectBOM), FEncoding(encoding),
      FSkipPreamble(!detectBOM), FStream(stream) {
    if (!stream) throw std::invalid_argument("Stream");
}

TStreamReaderEx::~TStreamReaderEx() {
    Close();
}

void TStreamReaderEx::Close() {
    if (FOwnsStream) delete FStream;
    FStream = nullptr;
    FOwnsStream = false;
    FClosed = true;
    FNoDataInStream = true;
    std::string().swap(FBufferedData);
    std::vector<char>().swap(FBlock);
    FBufferedStartIndex = 0;
    FCarry = 0;
}

void TStreamReaderEx::DiscardBufferedData() {
    FBufferedData.clear();
    FBufferedStartIndex = 0;
    FCarry = 0;
    FNoDataInStream = FClosed;
}

bool TStreamReaderEx::Refill() {
    if (FNoDataInStream) return false;
    if (FBufferedStartIndex > 0) {
        FBufferedData.erase(0, FBufferedStartIndex);
        FBufferedStartIndex = 0;
    }
    const size_t blockSize = static_cast<size_t>(FBufferSize);
    if (FBlock.size() < blockSize + 4) FBlock.resize(blockSize + 4);
    const size_t got = FStream->Read(FBlock.data() + FCarry, blockSize);
    FNoDataInStream = got < blockSize;
    std::string_view bytes(FBlock.data(), FCarry + got);
    if (FDetectBOM || FSkipPreamble) {
        const TByteOrderMark bom = DetectByteOrderMark(bytes);
        if (FDetectBOM) {
            FEncoding = bom.Encoding;
            bytes.remove_prefix(bom.Size);
        } else if (bom.Size > 0 && bom.Encoding == FEncoding) {
            bytes.remove_prefix(bom.Size);
        }
        FDetectBOM = FSkipPreamble = false;
    }
    const size_t before = FBufferedData.size();
    const size_t used =
        FEncoding == TTextEncoding::Utf8
            ? AppendUtf8Sanitized(FBufferedData, bytes, FNoDataInStream)
            : AppendUtf16AsUtf8(FBufferedData, bytes, FEncoding == TTextEncoding::Utf16BE, FNoDataInStream);
    FCarry = bytes.size() - used;
    if (FCarry > 0) std::memmove(FBlock.data(), bytes.data() + used, FCarry);
    return FBufferedData.size() > before || !FNoDataInStream;
}

void TStreamReaderEx::FindLineEnd(size_t& end, size_t& next, bool& nul) {
    // The cap counts characters; as every character takes at least one byte, it can
    // only be reached once the line holds that many bytes, so characters are counted
    // (from `counted` on) only past that mark.
    const size_t limit = FTruncLineLength > 0 ? static_cast<size_t>(FTruncLineLength) : SIZE_MAX;
    size_t off = 0;     // the scan position, relative to the line's start
    size_t counted = 0; // characters are counted up to this offset
    size_t chars = 0;
    nul = false;
    for (;;) {
        const size_t start = FBufferedStartIndex; // a refill moves the line to the front
        size_t p = start + off;
        if (p >= FBufferedData.size() || (FBufferedData[p] == '\r' && p + 1 >= FBufferedData.size())) {
            // Keep a CR's possible LF in view.
            if (Refill()) continue;
            if (p >= FBufferedData.size()) {
                end = next = p;
                return;
            }
        }
        const char* data = FBufferedData.data();
        const char c = data[p];
        if (c == '\n') {
            end = p;
            next = p + 1;
            return;
        }
        if (c == '\r') {
            end = p;
            next = p + 1 < FBufferedData.size() && data[p + 1] == '\n' ? p + 2 : p + 1;
            return;
        }
        if (off >= limit) {
            chars += CountChars(data + start + counted, data + p);
            counted = off;
            if (chars >= limit && !IsContinuation(c)) {
                end = next = p;
                return;
            }
        }
        if (FSkipLineNullChars) {
            if (off == 0) {
                nul = c == 0;
            } else if ((c == 0) != nul) {
                end = next = p;
                return;
            }
        }
        // On to the next byte that matters, staying short of the cap's mark.
        const char* stop = data + FBufferedData.size();
        if (off < limit)
            stop = std::min(stop, data + start + limit);
        else
            stop = std::min(stop, data + p + 1);
        const char* q = data + p + 1;
        if (q < stop) q = nul ? FindNotNul(q, stop) : FindBreak(q, stop, FSkipLineNullChars);
        off = static_cast<size_t>(q - (data + start));
    }
}

bool TStreamReaderEx::EndOfStream() {
    while (FBufferedStartIndex >= FBufferedData.size() && Refill()) {
    }
    return FBufferedStartIndex >= FBufferedData.size();
}

size_t TStreamReaderEx::ReadLineBuffer(std::string& line) {
    line.clear();
    if (FClosed) return 0;
    size_t end = 0, next = 0;
    bool nul = false;
    FindLineEnd(end, next, nul);
    if (!nul) line.assign(FBufferedData, FBufferedStartIndex, end - FBufferedStartIndex);
    FBufferedStartIndex = next;
    return line.size();
}

std::string TStreamReaderEx::ReadLine() {
    std::string line;
    ReadLineBuffer(line);
    return line;
}

void TStreamReaderEx::GotoNextLine() {
    if (FClosed) return;
    size_t end = 0, next = 0;
    bool nul = false;
    FindLineEnd(end, next, nul);
    FBufferedStartIndex = next;
}

} // namespace zarvo
