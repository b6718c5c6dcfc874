#include "readers/StreamReaderExUnit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace zarvo {

namespace {

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

// For the 64 bytes at p, bit i set where p[i] is LF, CR, NUL.
struct TBreakMasks {
    uint64_t Lf = 0, Cr = 0, Nul = 0;
};
TBreakMasks BreakMasks64(const char* p) {
    TBreakMasks m;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), zero = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const auto bits = [&](__m128i v) {
            return static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v))))
                   << (16 * k);
        };
        m.Lf |= bits(lf);
        m.Cr |= bits(cr);
        m.Nul |= bits(zero);
    }
#else
    for (int k = 0; k < 64; ++k) {
        m.Lf |= static_cast<uint64_t>(p[k] == '\n') << k;
        m.Cr |= static_cast<uint64_t>(p[k] == '\r') << k;
        m.Nul |= static_cast<uint64_t>(p[k] == 0) << k;
    }
#endif
    return m;
}

// Set bits; lines are longer than a few bytes, so a clearing loop beats a call.
size_t BitCount(uint64_t v) {
    size_t n = 0;
    for (; v != 0; v &= v - 1) ++n;
    return n;
}

// 64 bytes at a time with the byte after them in view: LF ends a line, and so does
// CR unless LF follows it. A NUL, or a line that might reach the cap within the
// next 64 bytes, stops the run at the last line start; the line-by-line scan takes
// it from there. A line that starts inside the 64 bytes is shorter than them, so a
// cap above 64 is all this needs to look at.
struct TChunkScan {
    const char* Data;
    size_t Length, Limit, MaxLines;
    bool StopAtNul;
    size_t Lines = 0, LineStart = 0;
};

template <TBreakMasks (*Masks)(const char*)>
inline __attribute__((always_inline)) void ScanChunksWith(TChunkScan& s) {
    for (size_t p = s.LineStart; p + 64 < s.Length && s.MaxLines - s.Lines >= 64; p += 64) {
        if (p + 64 - s.LineStart >= s.Limit) break;
        const TBreakMasks m = Masks(s.Data + p);
        if (s.StopAtNul && m.Nul != 0) break;
        const uint64_t lfAfter = (m.Lf >> 1) | (static_cast<uint64_t>(s.Data[p + 64] == '\n') << 63);
        const uint64_t breaks = m.Lf | (m.Cr & ~lfAfter);
        if (breaks != 0) {
            s.Lines += BitCount(breaks);
            s.LineStart = p + static_cast<size_t>(64 - __builtin_clzll(breaks));
        }
    }
}

void ScanChunks(TChunkScan& s) {
    ScanChunksWith<BreakMasks64>(s);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with 32-byte vectors, for processors that have them.
__attribute__((target("avx2"))) inline TBreakMasks BreakMasks64Avx2(const char* p) {
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), zero = _mm256_setzero_si256();
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto bits = [](__m256i x, __m256i y, __m256i v) __attribute__((target("avx2"))) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, v)))) |
               static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(y, v))))
                   << 32;
    };
    return {bits(a, b, lf), bits(a, b, cr), bits(a, b, zero)};
}

__attribute__((target("avx2"))) void ScanChunksAvx2(TChunkScan& s) {
    ScanChunksWith<BreakMasks64Avx2>(s);
}
#endif

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
    FBufferedData.reset();
    FBufferedLength = FBufferedCapacity = FBufferedStartIndex = 0;
    FRestPending = false;
    std::vector<char>().swap(FBlock);
    std::string().swap(FDecoded);
    FCarry = 0;
}

void TStreamReaderEx::DiscardBufferedData() {
    FBufferedLength = FBufferedStartIndex = 0;
    FCarry = 0;
    FRestPending = false;
    FNoDataInStream = FClosed;
}

char* TStreamReaderEx::Reserve(size_t more) {
    if (FBufferedLength + more > FBufferedCapacity) {
        // The consumed text goes only when the room runs out, and the buffer then
        // keeps at least half of itself free: a long line read in small blocks is
        // moved a few times, not once per block.
        const size_t live = FBufferedLength - FBufferedStartIndex;
        char* const from = FBufferedData.get() + FBufferedStartIndex;
        if (live + more <= FBufferedCapacity / 2) {
            if (live > 0) std::memmove(FBufferedData.get(), from, live);
        } else {
            const size_t capacity = std::max(live + more, FBufferedCapacity * 2);
            auto grown = std::make_unique<char[]>(capacity);
            if (live > 0) std::memcpy(grown.get(), from, live);
            FBufferedData = std::move(grown);
            FBufferedCapacity = capacity;
        }
        FBufferedLength = live;
        FBufferedStartIndex = 0;
    }
    return FBufferedData.get() + FBufferedLength;
}

bool TStreamReaderEx::Refill() {
    if (FNoDataInStream) return false;
    const size_t blockSize = static_cast<size_t>(FBufferSize);
    const size_t before = FBufferedLength - FBufferedStartIndex;
    if (FEncoding == TTextEncoding::Utf8 && !FDetectBOM && !FSkipPreamble) {
        // As read, straight into the text.
        char* dst = Reserve(blockSize);
        const size_t got = FStream->Read(dst, blockSize);
        FNoDataInStream = got < blockSize;
        FBufferedLength += got;
        return got > 0 || !FNoDataInStream;
    }
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
    std::string_view text = bytes;
    size_t used = bytes.size();
    if (FEncoding != TTextEncoding::Utf8) {
        FDecoded.clear();
        used = AppendUtf16AsUtf8(FDecoded, bytes, FEncoding == TTextEncoding::Utf16BE, FNoDataInStream);
        text = FDecoded;
    }
    if (!text.empty()) {
        std::memcpy(Reserve(text.size()), text.data(), text.size());
        FBufferedLength += text.size();
    }
    FCarry = bytes.size() - used;
    if (FCarry > 0) std::memmove(FBlock.data(), bytes.data() + used, FCarry);
    return FBufferedLength - FBufferedStartIndex > before || !FNoDataInStream;
}

void TStreamReaderEx::FindLineEnd(size_t& end, size_t& next, bool& nul) {
    // The cap counts characters, and every character takes at least one byte: the
    // cap can only be reached once the line holds that many bytes, so characters
    // are counted (from `counted` on, by the steps of the UTF-8 sanitizer) only past
    // that mark. Offsets are relative to the line's start, which a refill moves.
    const size_t limit = FTruncLineLength > 0 ? static_cast<size_t>(FTruncLineLength) : SIZE_MAX;
    size_t off = 0, counted = 0, chars = 0;
    nul = false;
    // The common case first: a line of text whose break lies in the buffer, short
    // of the cap's mark, with the byte after it in view.
    if (FBufferedStartIndex + 1 < FBufferedLength) {
        const char* data = FBufferedData.get();
        const char* first = data + FBufferedStartIndex;
        if (*first != '\r' && *first != '\n' && *first != 0) {
            const char* stop = data + FBufferedLength - 1;
            if (limit < static_cast<size_t>(stop - first)) stop = first + limit;
            const char* q = FindBreak(first + 1, stop, FSkipLineNullChars);
            if (q < stop) {
                end = static_cast<size_t>(q - data);
                next = *q == 0 ? end : *q == '\r' && q[1] == '\n' ? end + 2 : end + 1;
                return;
            }
        }
    }
    for (;;) {
        size_t p = FBufferedStartIndex + off;
        if (p >= FBufferedLength || (FBufferedData[p] == '\r' && p + 1 >= FBufferedLength)) {
            // Keep a CR's possible LF in view. A refill moves the line to the front.
            const bool more = Refill();
            p = FBufferedStartIndex + off;
            if (more) continue;
            if (p >= FBufferedLength) {
                end = next = p;
                return;
            }
        }
        // A break ends the line before the cap does; it is never inside a character.
        {
            const char c = FBufferedData[p];
            if (c == '\n') {
                end = p;
                next = p + 1;
                return;
            }
            if (c == '\r') {
                end = p;
                next = p + 1 < FBufferedLength && FBufferedData[p + 1] == '\n' ? p + 2 : p + 1;
                return;
            }
        }
        if (off >= limit) {
            while (counted < off && chars < limit) {
                // ASCII first: a byte, a character.
                const char* q = FBufferedData.get() + FBufferedStartIndex + counted;
                const size_t most = std::min(off - counted, limit - chars);
                size_t ascii = 0;
                for (uint64_t word = 0; ascii + 8 <= most; ascii += 8) {
                    std::memcpy(&word, q + ascii, 8);
                    if (word & 0x8080808080808080u) break;
                }
                while (ascii < most && static_cast<unsigned char>(q[ascii]) < 0x80) ++ascii;
                if (ascii > 0) {
                    counted += ascii;
                    chars += ascii;
                    continue;
                }
                // A step takes up to 4 bytes; have them in view unless the text ends.
                if (FBufferedStartIndex + counted + 4 > FBufferedLength && Refill()) continue;
                const size_t at = FBufferedStartIndex + counted;
                counted += Utf8StepLength(std::string_view(FBufferedData.get() + at, FBufferedLength - at));
                ++chars;
            }
            if (chars >= limit) {
                EndAtCap(counted, nul, end, next);
                return;
            }
            if (counted > off) {
                // The scan stood inside a character; go on after it.
                off = counted;
                continue;
            }
            p = FBufferedStartIndex + off;
        }
        const char* data = FBufferedData.get();
        const char c = data[p];
        if (FSkipLineNullChars) {
            if (off == 0) {
                nul = c == 0;
            } else if ((c == 0) != nul) {
                end = next = p;
                return;
            }
        }
        // On to the next byte that matters, stopping at the cap's mark.
        const char* stop = data + FBufferedLength;
        if (off < limit)
            stop = std::min(stop, data + FBufferedStartIndex + limit);
        else
            stop = std::min(stop, data + p + 1);
        const char* q = data + p + 1;
        if (q < stop) q = nul ? FindNotNul(q, stop) : FindBreak(q, stop, FSkipLineNullChars);
        off = static_cast<size_t>(q - (data + FBufferedStartIndex));
    }
}

void TStreamReaderEx::EndAtCap(size_t length, bool nul, size_t& end, size_t& next) {
    // The byte after the cut, and a CR's LF after it, in view; a refill moves the line.
    while (FBufferedStartIndex + length + 2 > FBufferedLength && Refill()) {
    }
    end = next = FBufferedStartIndex + length;
    if (end >= FBufferedLength) return; // the text ends with the line
    const char c = FBufferedData[end];
    if (nul) {
        if (c != 0) return; // the run ends there
    } else if (c == '\n') {
        next = end + 1;
        return;
    } else if (c == '\r') {
        next = end + 1 < FBufferedLength && FBufferedData[end + 1] == '\n' ? end + 2 : end + 1;
        return;
    } else if (c == 0 && FSkipLineNullChars) {
        return; // a run of NULs starts a line of its own
    }
    FRestPending = true;
    FRestNul = nul;
}

bool TStreamReaderEx::SkipRest(size_t maxBytes) {
    size_t scanned = 0;
    while (FRestPending) {
        if (FBufferedStartIndex >= FBufferedLength) {
            if (scanned >= maxBytes) return false;
            if (!Refill()) FRestPending = false; // the text ends with the line
            continue;
        }
        const char* data = FBufferedData.get();
        const char* from = data + FBufferedStartIndex;
        const char* stop = data + FBufferedLength;
        const char* q = FRestNul ? FindNotNul(from, stop) : FindBreak(from, stop, FSkipLineNullChars);
        scanned += static_cast<size_t>(q - from);
        FBufferedStartIndex = static_cast<size_t>(q - data);
        if (q == stop) continue;
        if (FRestNul || *q == 0) {
            FRestPending = false; // the next line starts here
        } else if (*q == '\n') {
            ++FBufferedStartIndex;
            FRestPending = false;
        } else if (q + 1 < stop) {
            FBufferedStartIndex += q[1] == '\n' ? 2 : 1;
            FRestPending = false;
        } else if (!Refill()) {
            // A CR at the very end; otherwise the refill keeps it, and its LF comes in view.
            ++FBufferedStartIndex;
            FRestPending = false;
        }
    }
    return true;
}

bool TStreamReaderEx::EndOfStream() {
    SkipRest();
    while (FBufferedStartIndex >= FBufferedLength && Refill()) {
    }
    return FBufferedStartIndex >= FBufferedLength;
}

size_t TStreamReaderEx::ReadLineBuffer(std::string& line) {
    line.clear();
    if (FClosed) return 0;
    SkipRest();
    size_t end = 0, next = 0;
    bool nul = false;
    FindLineEnd(end, next, nul);
    // A run of NULs reads as an empty line however long it is: nothing of it is cut.
    FLastCut = FRestPending && !FRestNul;
    if (!nul)
        AppendSanitizedUtf8(
            line, std::string_view(FBufferedData.get() + FBufferedStartIndex, end - FBufferedStartIndex));
    FBufferedStartIndex = next;
    return line.size();
}

std::string TStreamReaderEx::ReadLine() {
    std::string line;
    ReadLineBuffer(line);
    return line;
}

size_t TStreamReaderEx::SkipWholeLines(size_t maxLines) {
    const size_t limit = FTruncLineLength > 0 ? static_cast<size_t>(FTruncLineLength) : SIZE_MAX;
    if (limit <= 64) return 0;
    TChunkScan scan{FBufferedData.get(), FBufferedLength, limit, maxLines, FSkipLineNullChars};
    scan.LineStart = FBufferedStartIndex;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        ScanChunksAvx2(scan);
    else
        ScanChunks(scan);
#else
    ScanChunks(scan);
#endif
    FBufferedStartIndex = scan.LineStart;
    return scan.Lines;
}

int64_t TStreamReaderEx::SkipLines(int64_t maxLines) {
    int64_t done = 0;
    while (done < maxLines && !FClosed && !EndOfStream()) {
        const size_t whole = SkipWholeLines(static_cast<size_t>(maxLines - done));
        done += static_cast<int64_t>(whole);
        if (whole > 0) FLastCut = false;
        if (done >= maxLines || EndOfStream()) break;
        GotoNextLine();
        ++done;
        if (FRestPending) break;
    }
    return done;
}

void TStreamReaderEx::GotoNextLine() {
    if (FClosed) return;
    SkipRest();
    size_t end = 0, next = 0;
    bool nul = false;
    FindLineEnd(end, next, nul);
    FLastCut = FRestPending && !FRestNul;
    FBufferedStartIndex = next;
}

} // namespace zarvo
