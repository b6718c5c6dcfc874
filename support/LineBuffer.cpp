#include "support/LineBuffer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "support/ZarvoRandom.h"
#include "support/ZarvoText.h"

namespace zarvo {

namespace linebuffer_detail {

inline constexpr uint64_t kUnitsUnknown = ~uint64_t{0};

// A run of rows: their text back to back and where each one ends.
struct TChunk {
    std::vector<char> Text;
    std::vector<uint32_t> Ends;
    // The rows' UTF-16 units (line breaks not counted) times two, plus one when the
    // text is all ASCII; counted when first asked (ChunkUnits), by any thread.
    mutable std::atomic<uint64_t> Units{kUnitsUnknown};

    size_t Rows() const { return Ends.size(); }
    std::string_view Row(size_t i) const {
        const size_t b = i ? Ends[i - 1] : 0;
        return std::string_view(Text.data() + b, Ends[i] - b);
    }
    // What the chunk costs in memory, its shared pointer's control block included.
    size_t Bytes() const {
        return sizeof(TChunk) + 32 + Text.capacity() + Ends.capacity() * sizeof(uint32_t);
    }
};

struct TTable {
    std::vector<std::shared_ptr<const TChunk>> Chunks;
    std::vector<size_t> Starts{0}; // first row of each chunk, then the row count
    size_t Bytes = 0, TextBytes = 0;

    size_t Rows() const { return Starts.back(); }
    size_t ChunkOf(size_t row) const {
        return static_cast<size_t>(std::upper_bound(Starts.begin(), Starts.end(), row) - Starts.begin()) - 1;
    }
    std::string_view Row(size_t row) const {
        const size_t c = ChunkOf(row);
        return Chunks[c]->Row(row - Starts[c]);
    }
    void Splice(size_t first, size_t count, std::vector<std::shared_ptr<const TChunk>> in,
                std::vector<std::shared_ptr<const TChunk>>* out) {
        const auto at = Chunks.begin() + static_cast<std::ptrdiff_t>(first);
        const auto end = at + static_cast<std::ptrdiff_t>(count);
        out->assign(std::make_move_iterator(at), std::make_move_iterator(end));
        for (const auto& c : *out) Bytes -= c->Bytes(), TextBytes -= c->Text.size();
        for (const auto& c : in) Bytes += c->Bytes(), TextBytes += c->Text.size();
        const auto pos = Chunks.erase(at, end);
        Chunks.insert(pos, std::make_move_iterator(in.begin()), std::make_move_iterator(in.end()));
        Reindex(first);
    }
    void Reindex(size_t from) {
        Starts.resize(Chunks.size() + 1);
        for (size_t i = from; i < Chunks.size(); ++i) Starts[i + 1] = Starts[i] + Chunks[i]->Rows();
    }
};

} // namespace linebuffer_detail

using linebuffer_detail::TChunk;
using linebuffer_detail::TTable;
using TChunkPtr = std::shared_ptr<const TChunk>;

namespace {

// Few enough rows that an edit rebuilds a chunk in microseconds, enough that the
// chunk index of 20 million lines stays small.
constexpr size_t kChunkRows = 2048;
constexpr size_t kChunkBytes = size_t{64} << 10;

// Cuts rows into chunks of even size, so that an edit that overflows a full chunk
// leaves two half-full ones rather than a full one and a sliver.
class TBuilder {
public:
    TBuilder(size_t rows, size_t bytes) {
        const size_t pieces = std::max(
            {(rows + kChunkRows - 1) / kChunkRows, (bytes + kChunkBytes - 1) / kChunkBytes, size_t{1}});
        FTarget = std::max<size_t>(1, std::min(kChunkRows, (rows + pieces - 1) / pieces));
    }
    void Add(std::string_view row) {
        if (row.size() > std::numeric_limits<uint32_t>::max())
            throw Exception(Format("Line too long (%zu characters)", row.size()));
        if (!FEnds.empty() && (FEnds.size() >= FTarget || FText.size() + row.size() > kChunkBytes)) Flush();
        FText.insert(FText.end(), row.begin(), row.end());
        FEnds.push_back(static_cast<uint32_t>(FText.size()));
    }
    std::vector<TChunkPtr> Finish() {
        if (!FEnds.empty()) Flush();
        return std::move(FOut);
    }

private:
    void Flush() {
        auto c = std::make_shared<TChunk>();
        c->Text.assign(FText.begin(), FText.end());
        c->Ends.assign(FEnds.begin(), FEnds.end());
        FOut.push_back(std::move(c));
        FText.clear();
        FEnds.clear();
    }
    size_t FTarget = kChunkRows;
    std::vector<char> FText;
    std::vector<uint32_t> FEnds;
    std::vector<TChunkPtr> FOut;
};

std::shared_ptr<TTable> MakeTable(std::vector<TChunkPtr> chunks) {
    auto t = std::make_shared<TTable>();
    std::vector<TChunkPtr> none;
    t->Splice(0, 0, std::move(chunks), &none);
    return t;
}

size_t CountBreaks(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n')
            ++n;
        else if (text[i] == '\r') {
            ++n;
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    return n;
}

// Calls f with the text between line breaks (CR LF, LF or CR): one more piece than breaks.
template <typename F> void ForEachSegment(std::string_view text, F f) {
    size_t pos = 0;
    for (;;) {
        const size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            f(text.substr(pos));
            return;
        }
        f(text.substr(pos, end - pos));
        pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
}

template <typename F> void EachRow(const TTable& t, size_t first, size_t last, F f) {
    if (first >= last) return;
    for (size_t c = t.ChunkOf(first); c < t.Chunks.size() && t.Starts[c] < last; ++c) {
        const TChunk& ch = *t.Chunks[c];
        const size_t b = std::max(first, t.Starts[c]) - t.Starts[c];
        const size_t e = std::min(last, t.Starts[c + 1]) - t.Starts[c];
        for (size_t i = b; i < e; ++i) f(ch.Row(i));
    }
}

bool LastRowEmpty(const TTable& t) {
    const TChunk& last = *t.Chunks.back();
    return last.Row(last.Rows() - 1).empty();
}

// The last chunk's rows (its final row dropped when empty), the lines, an empty row.
std::vector<TChunkPtr> AppendTail(const TChunk& last, const TStringList& lines) {
    size_t keep = last.Rows();
    if (last.Row(keep - 1).empty()) --keep;
    TBuilder b(keep + lines.Count() + 1, last.Text.size() + lines.TextSize());
    for (size_t i = 0; i < keep; ++i) b.Add(last.Row(i));
    for (size_t i = 0; i < lines.Count(); ++i) b.Add(lines[i]);
    b.Add({});
    return b.Finish();
}

// Hands the pages of dropped chunks back to the system: they are many small blocks
// amid live ones, which the allocator would otherwise keep for itself.
void ReleaseFreed(size_t bytes) {
#if defined(__GLIBC__)
    if (bytes >= (size_t{32} << 20)) malloc_trim(0);
#else
    (void)bytes;
#endif
}

size_t Utf8Length(unsigned char lead) {
    if (lead < 0xC0) return 1; // ASCII, or a stray continuation byte
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

} // namespace

size_t Utf16ToByteColumn(std::string_view row, size_t utf16Col) {
    size_t i = 0, u = 0;
    while (i < row.size() && u < utf16Col) {
        const size_t len = std::min(Utf8Length(static_cast<unsigned char>(row[i])), row.size() - i);
        i += len;
        u += len == 4 ? 2 : 1;
    }
    return i;
}

size_t ByteToUtf16Column(std::string_view row, size_t byteCol) {
    byteCol = std::min(byteCol, row.size());
    size_t i = 0, u = 0;
    while (i < byteCol) {
        const size_t len = std::min(Utf8Length(static_cast<unsigned char>(row[i])), row.size() - i);
        i += len;
        u += len == 4 ? 2 : 1;
    }
    return u;
}

namespace {

// The chunk's UTF-16 units and whether its text is all ASCII, counted once.
std::pair<size_t, bool> ChunkUnits(const TChunk& c) {
    uint64_t u = c.Units.load(std::memory_order_relaxed);
    if (u == linebuffer_detail::kUnitsUnknown) {
        // All ASCII unless some byte has its top bit set; eight bytes at a time.
        uint64_t any = 0;
        const char* p = c.Text.data();
        size_t i = 0;
        for (; i + 8 <= c.Text.size(); i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            any |= w;
        }
        for (; i < c.Text.size(); ++i) any |= static_cast<unsigned char>(p[i]);
        const bool ascii = (any & 0x8080808080808080u) == 0;
        size_t n = c.Text.size();
        if (!ascii) {
            n = 0;
            for (size_t r = 0; r < c.Rows(); ++r) n += ByteToUtf16Column(c.Row(r), c.Row(r).size());
        }
        u = uint64_t{n} * 2 + (ascii ? 1 : 0);
        c.Units.store(u, std::memory_order_relaxed);
    }
    return {static_cast<size_t>(u >> 1), (u & 1) != 0};
}

// The offset of row i's start from the chunk's start, each row followed by a break.
size_t RowStartIn(const TChunk& c, bool ascii, size_t i) {
    if (ascii) return (i ? c.Ends[i - 1] : 0) + i;
    size_t at = 0;
    for (size_t r = 0; r < i; ++r) at += ByteToUtf16Column(c.Row(r), c.Row(r).size()) + 1;
    return at;
}

// Bytes of the rows [first, last), line breaks not counted.
size_t RowBytes(const TTable& t, size_t first, size_t last) {
    size_t n = 0;
    for (size_t c = first < last ? t.ChunkOf(first) : t.Chunks.size();
         c < t.Chunks.size() && t.Starts[c] < last; ++c) {
        const TChunk& ch = *t.Chunks[c];
        const size_t b = std::max(first, t.Starts[c]) - t.Starts[c];
        const size_t e = std::min(last, t.Starts[c + 1]) - t.Starts[c];
        n += (e ? ch.Ends[e - 1] : 0) - (b ? ch.Ends[b - 1] : 0);
    }
    return n;
}

void CheckRange(const TTable& t, const TTextRange& range) {
    if (range.To.Row >= t.Rows() || !(range.From <= range.To)) throw Exception("Text range out of bounds");
}

// Rows into fresh chunks (at most kChunkRows rows and kChunkBytes bytes each), and
// whole chunks of other tables taken over as they are, in order.
class TChunkSink {
public:
    void Add(std::string_view row) {
        if (row.size() > std::numeric_limits<uint32_t>::max())
            throw Exception(Format("Line too long (%zu characters)", row.size()));
        if (!FEnds.empty() && (FEnds.size() >= kChunkRows || FText.size() + row.size() > kChunkBytes))
            Flush();
        FText.insert(FText.end(), row.begin(), row.end());
        FEnds.push_back(static_cast<uint32_t>(FText.size()));
    }
    // Rows [first, last) of t: the chunks that lie wholly inside are shared.
    void AddRows(const TTable& t, size_t first, size_t last) {
        for (size_t c = first < last ? t.ChunkOf(first) : t.Chunks.size();
             c < t.Chunks.size() && t.Starts[c] < last; ++c) {
            if (t.Starts[c] >= first && t.Starts[c + 1] <= last) {
                Flush();
                FOut.push_back(t.Chunks[c]);
                continue;
            }
            const TChunk& ch = *t.Chunks[c];
            const size_t b = std::max(first, t.Starts[c]) - t.Starts[c];
            const size_t e = std::min(last, t.Starts[c + 1]) - t.Starts[c];
            for (size_t i = b; i < e; ++i) Add(ch.Row(i));
        }
    }
    std::vector<TChunkPtr> Finish() {
        Flush();
        return std::move(FOut);
    }

private:
    void Flush() {
        if (FEnds.empty()) return;
        auto c = std::make_shared<TChunk>();
        c->Text.assign(FText.begin(), FText.end());
        c->Ends.assign(FEnds.begin(), FEnds.end());
        FOut.push_back(std::move(c));
        FText.clear();
        FEnds.clear();
    }
    std::vector<char> FText;
    std::vector<uint32_t> FEnds;
    std::vector<TChunkPtr> FOut;
};

// What is handed over to be freed: a table's index and chunks, and how much they hold.
struct TDrop {
    std::shared_ptr<const TTable> Table;
    std::vector<TChunkPtr> Chunks;
    size_t Bytes = 0;
};

// Less than this is freed where it is dropped.
constexpr size_t kBackgroundBytes = size_t{1} << 20;

bool gReleaserGone = false;

// Frees what it is handed, then gives the pages back to the system, on a thread of
// its own: started on first use, stopped once the queue is empty at exit.
class TReleaser {
public:
    ~TReleaser() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FStop = true;
        }
        FWake.notify_all();
        if (FThread.joinable()) FThread.join();
        gReleaserGone = true;
    }
    void Drop(TDrop d) {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
        FQueue.push_back(std::move(d));
        FWake.notify_one();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(FLock);
        for (;;) {
            FWake.wait(lock, [this] { return FStop || !FQueue.empty(); });
            if (FQueue.empty()) return;
            TDrop d = std::move(FQueue.front());
            FQueue.pop_front();
            lock.unlock();
            const size_t bytes = d.Bytes;
            d = TDrop();
            ReleaseFreed(bytes);
            lock.lock();
        }
    }
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TDrop> FQueue;
    std::thread FThread;
    bool FStop = false;
};

void Release(TDrop d) {
    if (d.Bytes >= kBackgroundBytes && !gReleaserGone) {
        static TReleaser releaser;
        releaser.Drop(std::move(d));
        return;
    }
    const size_t bytes = d.Bytes;
    d = TDrop();
    ReleaseFreed(bytes);
}

} // namespace

void ReleaseInBackground(TLineSnapshot lines) {
    TDrop d;
    d.Table = std::move(lines.FTable);
    // Only the last holder frees anything.
    if (d.Table.use_count() == 1) d.Bytes = d.Table->Bytes;
    Release(std::move(d));
}

// --- TUtf16Index ---

TUtf16Index::TUtf16Index(TLineSnapshot text) : FText(std::move(text)) {
    const TTable& t = *FText.FTable;
    FStarts.resize(t.Chunks.size());
    size_t at = 0;
    for (size_t c = 0; c < t.Chunks.size(); ++c) {
        FStarts[c] = at;
        at += ChunkUnits(*t.Chunks[c]).first + t.Chunks[c]->Rows();
    }
    FSize = at - 1; // no break after the last row
}

size_t TUtf16Index::Offset(TTextPos pos) const {
    const TTable& t = *FText.FTable;
    pos.Row = std::min(pos.Row, t.Rows() - 1);
    const size_t c = t.ChunkOf(pos.Row), i = pos.Row - t.Starts[c];
    const TChunk& ch = *t.Chunks[c];
    const bool ascii = ChunkUnits(ch).second;
    const std::string_view row = ch.Row(i);
    return FStarts[c] + RowStartIn(ch, ascii, i) +
           (ascii ? std::min(pos.Col, row.size()) : ByteToUtf16Column(row, pos.Col));
}

TTextPos TUtf16Index::Pos(size_t offset) const {
    const TTable& t = *FText.FTable;
    offset = std::min(offset, FSize);
    const size_t c =
        static_cast<size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), offset) - FStarts.begin()) - 1;
    const TChunk& ch = *t.Chunks[c];
    size_t rel = offset - FStarts[c];
    if (ChunkUnits(ch).second) {
        // The last row that starts at or before rel.
        size_t lo = 0, hi = ch.Rows();
        while (hi - lo > 1) {
            const size_t mid = lo + (hi - lo) / 2;
            (RowStartIn(ch, true, mid) <= rel ? lo : hi) = mid;
        }
        return {t.Starts[c] + lo, std::min(rel - RowStartIn(ch, true, lo), ch.Row(lo).size())};
    }
    for (size_t i = 0;; ++i) {
        const std::string_view row = ch.Row(i);
        const size_t units = ByteToUtf16Column(row, row.size());
        if (rel <= units || i + 1 == ch.Rows()) return {t.Starts[c] + i, Utf16ToByteColumn(row, rel)};
        rel -= units + 1;
    }
}

// --- TLineSnapshot ---

TLineSnapshot::TLineSnapshot() {
    TBuilder b(1, 0);
    b.Add({});
    FTable = MakeTable(b.Finish());
}

TLineSnapshot TLineSnapshot::FromLines(const TStringList& lines) {
    TBuilder b(lines.Count() + 1, lines.TextSize());
    for (size_t i = 0; i < lines.Count(); ++i) b.Add(lines[i]);
    b.Add({});
    return TLineSnapshot(MakeTable(b.Finish()));
}

TLineSnapshot TLineSnapshot::FromText(std::string_view text) {
    TBuilder b(CountBreaks(text) + 1, text.size());
    ForEachSegment(text, [&](std::string_view s) { b.Add(s); });
    return TLineSnapshot(MakeTable(b.Finish()));
}

size_t TLineSnapshot::RowCount() const {
    return FTable->Rows();
}

size_t TLineSnapshot::LineCount() const {
    return FTable->Rows() - (LastRowEmpty(*FTable) ? 1 : 0);
}

std::string_view TLineSnapshot::Row(size_t row) const {
    if (row >= FTable->Rows()) throw Exception(Format("List index out of bounds (%zu)", row));
    return FTable->Row(row);
}

TTextPos TLineSnapshot::End() const {
    const TChunk& last = *FTable->Chunks.back();
    return {FTable->Rows() - 1, last.Row(last.Rows() - 1).size()};
}

size_t TLineSnapshot::MemoryBytes() const {
    return FTable->Bytes + sizeof(TTable) + FTable->Chunks.capacity() * sizeof(TChunkPtr) +
           FTable->Starts.capacity() * sizeof(size_t);
}

void TLineSnapshot::ForEachRow(size_t first, size_t last,
                               const std::function<void(std::string_view)>& f) const {
    EachRow(*FTable, first, std::min(last, FTable->Rows()), f);
}

void TLineSnapshot::TextPieces(const TTextRange& range,
                               const std::function<void(std::string_view)>& f) const {
    const TTextPos from = range.From, to = range.To;
    CheckRange(*FTable, range);
    size_t r = from.Row;
    EachRow(*FTable, from.Row, to.Row + 1, [&](std::string_view row) {
        const size_t b = r == from.Row ? std::min(from.Col, row.size()) : 0;
        const size_t e = r == to.Row ? std::min(to.Col, row.size()) : row.size();
        if (e > b) f(row.substr(b, e - b));
        if (r < to.Row) f("\n");
        ++r;
    });
}

std::string TLineSnapshot::Text(const TTextRange& range) const {
    std::string out;
    if (range.From.Row == 0 && range.To == End()) out.reserve(FTable->TextBytes + FTable->Rows());
    TextPieces(range, [&](std::string_view s) { out.append(s); });
    return out;
}

size_t TLineSnapshot::TextSize(const TTextRange& range) const {
    const TTable& t = *FTable;
    CheckRange(t, range);
    const TTextPos from = range.From, to = range.To;
    const std::string_view first = t.Row(from.Row), last = t.Row(to.Row);
    if (from.Row == to.Row) return std::min(to.Col, last.size()) - std::min(from.Col, last.size());
    return first.size() - std::min(from.Col, first.size()) + RowBytes(t, from.Row + 1, to.Row) +
           std::min(to.Col, last.size()) + (to.Row - from.Row);
}

void TLineSnapshot::CopyText(const TTextRange& range, char* out) const {
    const TTable& t = *FTable;
    CheckRange(t, range);
    const TTextPos from = range.From, to = range.To;
    size_t r = from.Row;
    EachRow(t, from.Row, to.Row + 1, [&](std::string_view row) {
        const size_t b = r == from.Row ? std::min(from.Col, row.size()) : 0;
        const size_t e = r == to.Row ? std::min(to.Col, row.size()) : row.size();
        if (e > b) {
            std::memcpy(out, row.data() + b, e - b);
            out += e - b;
        }
        if (r < to.Row) *out++ = '\n';
        ++r;
    });
}

TStringList TLineSnapshot::ToStringList() const {
    TStringList out;
    const size_t n = LineCount();
    out.Reserve(n, FTable->TextBytes + n);
    EachRow(*FTable, 0, n, [&](std::string_view s) { out.Add(s); });
    return out;
}

TLineSnapshot TLineSnapshot::Shuffled(const TLineProgress& progress) const {
    const TTable& t = *FTable;
    const size_t n = LineCount();
    // Each line goes to a random bucket of about a megabyte, then each bucket is put
    // in order by Fisher-Yates. Random buckets and uniform orders within them make
    // every order of the whole equally likely, and no read jumps across the whole
    // text (a plain Fisher-Yates over millions of lines waits on memory at each one).
    const size_t buckets = std::clamp<size_t>(t.TextBytes >> 20, 1, 4096);
    struct TBucket {
        std::vector<char> Text;
        std::vector<uint32_t> Ends;
    };
    std::vector<TBucket> bk(buckets);
    const size_t rows = n / buckets, bytes = t.TextBytes / buckets;
    for (auto& k : bk) {
        k.Ends.reserve(rows + rows / 8 + 16);
        k.Text.reserve(bytes + bytes / 8 + 256);
    }
    // Progress is told between blocks of rows, so the loops stay free of calls.
    constexpr size_t kBlock = size_t{1} << 16;
    const size_t total = 2 * n;
    for (size_t first = 0; first < n; first += kBlock) {
        if (progress && !progress(first, total)) return *this;
        EachRow(t, first, std::min(n, first + kBlock), [&](std::string_view row) {
            TBucket& k = bk[buckets > 1 ? static_cast<size_t>(RandomBelow(buckets)) : 0];
            if (k.Text.size() + row.size() > std::numeric_limits<uint32_t>::max())
                throw Exception("Too many lines to shuffle");
            k.Text.insert(k.Text.end(), row.begin(), row.end());
            k.Ends.push_back(static_cast<uint32_t>(k.Text.size()));
        });
    }
    TBuilder out(n + 1, t.TextBytes);
    std::vector<uint32_t> order;
    size_t done = n, told = n;
    for (auto& k : bk) {
        if (progress && done - told >= kBlock) {
            if (!progress(done, total)) return *this;
            told = done;
        }
        order.resize(k.Ends.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
        for (size_t i = order.size(); i > 1; --i)
            std::swap(order[i - 1], order[static_cast<size_t>(RandomBelow(i))]);
        for (const uint32_t r : order) {
            const size_t from = r ? k.Ends[r - 1] : 0;
            out.Add(std::string_view(k.Text.data() + from, k.Ends[r] - from));
        }
        done += order.size();
        k = TBucket();
    }
    out.Add({});
    if (progress && !progress(total, total)) return *this;
    return TLineSnapshot(MakeTable(out.Finish()));
}

TLineSnapshot TLineSnapshot::Appended(const TStringList& lines) const {
    auto t = std::make_shared<TTable>(*FTable);
    std::vector<TChunkPtr> old;
    t->Splice(t->Chunks.size() - 1, 1, AppendTail(*FTable->Chunks.back(), lines), &old);
    return TLineSnapshot(std::move(t));
}

// --- TLineSnapshotBuilder ---

TLineSnapshotBuilder::TLineSnapshotBuilder() {
    FText.reserve(kChunkBytes);
    FEnds.reserve(kChunkRows);
}

TLineSnapshotBuilder::TLineSnapshotBuilder(const TLineSnapshot& base) : TLineSnapshotBuilder() {
    const TTable& t = *base.FTable;
    FChunks.assign(t.Chunks.begin(), t.Chunks.end() - 1);
    for (const auto& c : FChunks) FChunkBytes += c->Bytes();
    FBaseLines = t.Starts[t.Chunks.size() - 1];
    // The last chunk's rows are taken in, its final row only when it holds text: a
    // text that does not end with a line break gets one before the new lines.
    const TChunk& last = *t.Chunks.back();
    size_t keep = last.Rows();
    if (last.Row(keep - 1).empty()) --keep;
    for (size_t i = 0; i < keep; ++i) Add(last.Row(i));
}

TLineSnapshotBuilder::~TLineSnapshotBuilder() = default;

void TLineSnapshotBuilder::Add(std::string_view line) {
    if (line.size() > std::numeric_limits<uint32_t>::max())
        throw Exception(Format("Line too long (%zu characters)", line.size()));
    if (!FEnds.empty() && (FEnds.size() >= kChunkRows || FText.size() + line.size() > kChunkBytes)) Flush();
    FText.insert(FText.end(), line.begin(), line.end());
    FEnds.push_back(static_cast<uint32_t>(FText.size()));
    ++FLines;
}

void TLineSnapshotBuilder::AddLines(const TStringList& lines) {
    for (size_t i = 0; i < lines.Count(); ++i) Add(lines[i]);
}

void TLineSnapshotBuilder::Flush() {
    // The chunk gets exactly the room it needs; the scratch keeps its own for the next.
    auto c = std::make_shared<TChunk>();
    c->Text.assign(FText.begin(), FText.end());
    c->Ends.assign(FEnds.begin(), FEnds.end());
    FChunkBytes += c->Bytes();
    FChunks.push_back(std::move(c));
    FText.clear();
    FEnds.clear();
}

size_t TLineSnapshotBuilder::MemoryBytes() const {
    const size_t chunks = FChunks.size() + 1;
    return FChunkBytes + sizeof(TChunk) + 32 + FText.size() + (FEnds.size() + 1) * sizeof(uint32_t) +
           sizeof(TTable) + chunks * (sizeof(TChunkPtr) + sizeof(size_t));
}

TLineSnapshot TLineSnapshotBuilder::Finish(std::string_view lastRow) {
    // The final row, empty when every line ends with a line break.
    if (lastRow.size() > std::numeric_limits<uint32_t>::max())
        throw Exception(Format("Line too long (%zu characters)", lastRow.size()));
    if (!FEnds.empty() && (FEnds.size() >= kChunkRows || FText.size() + lastRow.size() > kChunkBytes))
        Flush();
    FText.insert(FText.end(), lastRow.begin(), lastRow.end());
    FEnds.push_back(static_cast<uint32_t>(FText.size()));
    Flush();
    TLineSnapshot out(MakeTable(std::move(FChunks)));
    FChunks.clear();
    FChunkBytes = FBaseLines = FLines = 0;
    return out;
}

// --- TTextSnapshotBuilder ---

void TTextSnapshotBuilder::Add(std::string_view piece) {
    if (FAfterCR && !piece.empty()) {
        // A CR LF cut between two pieces is one break.
        if (piece.front() == '\n') piece.remove_prefix(1);
        FAfterCR = false;
    }
    // Most texts hold no CR: their rows are found by LF alone, at memchr's speed.
    while (!piece.empty()) {
        const void* cr = std::memchr(piece.data(), '\r', piece.size());
        if (!cr) return AddRows(piece);
        const size_t at = static_cast<size_t>(static_cast<const char*>(cr) - piece.data());
        AddRows(piece.substr(0, at));
        // The CR ends the row that AddRows left open.
        FRows.Add(FRow);
        FRow.clear();
        piece.remove_prefix(at + 1);
        if (piece.empty())
            FAfterCR = true;
        else if (piece.front() == '\n')
            piece.remove_prefix(1);
    }
}

void TTextSnapshotBuilder::AddRows(std::string_view piece) {
    while (!piece.empty()) {
        const void* lf = std::memchr(piece.data(), '\n', piece.size());
        if (!lf) {
            FRow.append(piece);
            return;
        }
        const size_t at = static_cast<size_t>(static_cast<const char*>(lf) - piece.data());
        if (FRow.empty()) {
            FRows.Add(piece.substr(0, at));
        } else {
            FRow.append(piece.substr(0, at));
            FRows.Add(FRow);
            FRow.clear();
        }
        piece.remove_prefix(at + 1);
    }
}

TLineSnapshot TTextSnapshotBuilder::Finish() {
    TLineSnapshot out = FRows.Finish(FRow);
    FRow.clear();
    FAfterCR = false;
    return out;
}

// --- TLineBuffer ---

TLineBuffer::TLineBuffer() = default;
TLineBuffer::TLineBuffer(const TStringList& lines) : FDoc(TLineSnapshot::FromLines(lines)) {}
TLineBuffer::~TLineBuffer() {
    std::vector<TStep> steps(std::make_move_iterator(FUndo.begin()), std::make_move_iterator(FUndo.end()));
    std::move(FRedo.begin(), FRedo.end(), std::back_inserter(steps));
    TDrop d;
    for (TStep& step : steps) {
        d.Bytes += step.Bytes;
        std::move(step.Other.begin(), step.Other.end(), std::back_inserter(d.Chunks));
    }
    d.Table = std::move(FDoc.FTable);
    if (d.Table.use_count() == 1) d.Bytes += d.Table->Bytes;
    Release(std::move(d));
}

void TLineBuffer::DropSteps(std::vector<TStep> steps) {
    TDrop d;
    for (TStep& step : steps) {
        d.Bytes += step.Bytes;
        std::move(step.Other.begin(), step.Other.end(), std::back_inserter(d.Chunks));
    }
    Release(std::move(d));
}

TTable& TLineBuffer::Mutable() {
    // A snapshot handed out shares the table; the next change copies its index
    // (the chunks stay shared).
    if (FDoc.FTable.use_count() != 1) FDoc.FTable = std::make_shared<TTable>(*FDoc.FTable);
    return const_cast<TTable&>(*FDoc.FTable);
}

void TLineBuffer::CheckPos(TTextPos pos) const {
    if (pos.Row >= FDoc.RowCount() || pos.Col > FDoc.Row(pos.Row).size())
        throw Exception(Format("Text position out of bounds (%zu, %zu)", pos.Row, pos.Col));
}

TTextPos TLineBuffer::Insert(TTextPos pos, std::string_view text, TEditKind kind) {
    return Replace({pos, pos}, text, kind);
}

void TLineBuffer::Remove(const TTextRange& range, TEditKind kind) {
    Replace(range, {}, kind);
}

TTextPos TLineBuffer::Replace(const TTextRange& range, std::string_view text, TEditKind kind) {
    const TTextPos from = range.From, to = range.To;
    CheckPos(from);
    CheckPos(to);
    if (to < from) throw Exception("Text range out of bounds");
    if (from == to && text.empty()) return from;
    const TTable& t = *FDoc.FTable;
    size_t ca = t.ChunkOf(from.Row), cb = t.ChunkOf(to.Row);
    const size_t breaks = CountBreaks(text);
    auto rowsOf = [&](size_t first, size_t last) {
        return (from.Row - t.Starts[first]) + breaks + 1 + (t.Starts[last + 1] - to.Row - 1);
    };
    // A small result takes its neighbours in, so that chunks do not crumble into slivers.
    if (rowsOf(ca, cb) < kChunkRows / 4 && ca > 0 && rowsOf(ca - 1, cb) <= kChunkRows) --ca;
    if (rowsOf(ca, cb) < kChunkRows / 4 && cb + 1 < t.Chunks.size() && rowsOf(ca, cb + 1) <= kChunkRows) ++cb;

    const std::string_view prefix = t.Row(from.Row).substr(0, from.Col),
                           suffix = t.Row(to.Row).substr(to.Col);
    size_t bytes = text.size() + t.Chunks[ca]->Text.size() + (cb != ca ? t.Chunks[cb]->Text.size() : 0);
    TBuilder b(rowsOf(ca, cb), bytes);
    EachRow(t, t.Starts[ca], from.Row, [&](std::string_view r) { b.Add(r); });
    size_t seg = 0, lastLen = 0;
    std::string row;
    ForEachSegment(text, [&](std::string_view s) {
        const bool first = seg == 0, last = seg == breaks;
        ++seg;
        if (!first && !last) return b.Add(s);
        row.assign(first ? prefix : std::string_view());
        row.append(s);
        lastLen = row.size();
        if (last) row.append(suffix);
        b.Add(row);
    });
    EachRow(t, to.Row + 1, t.Starts[cb + 1], [&](std::string_view r) { b.Add(r); });
    std::vector<TChunkPtr> fresh = b.Finish();

    TStep step;
    step.First = ca;
    step.Count = fresh.size();
    step.From = from;
    step.OldTo = to;
    step.NewTo = {from.Row + breaks, lastLen};
    Mutable().Splice(ca, cb - ca + 1, std::move(fresh), &step.Other);
    const TTextPos newTo = step.NewTo;
    Push(std::move(step), kind, text.empty());
    Notify(from, to, newTo);
    return newTo;
}

TTextPos TLineBuffer::Replace(const TTextRange& range, const TLineSnapshot& source, const TTextRange& part,
                              TEditKind kind) {
    const TTextPos from = range.From, to = range.To;
    CheckPos(from);
    CheckPos(to);
    if (to < from) throw Exception("Text range out of bounds");
    const TTable& s = *source.FTable;
    CheckRange(s, part);
    if (part.From.Col > s.Row(part.From.Row).size() || part.To.Col > s.Row(part.To.Row).size())
        throw Exception("Text range out of bounds");
    if (from == to && part.From == part.To) return from;
    const TTable& t = *FDoc.FTable;
    const size_t ca = t.ChunkOf(from.Row), cb = t.ChunkOf(to.Row);
    const std::string_view prefix = t.Row(from.Row).substr(0, from.Col),
                           suffix = t.Row(to.Row).substr(to.Col);
    const std::string_view head = s.Row(part.From.Row), tail = s.Row(part.To.Row);
    const size_t breaks = part.To.Row - part.From.Row;

    TChunkSink out;
    out.AddRows(t, t.Starts[ca], from.Row);
    std::string row(prefix);
    if (breaks == 0) {
        row.append(head.substr(part.From.Col, part.To.Col - part.From.Col));
    } else {
        row.append(head.substr(part.From.Col));
        out.Add(row);
        out.AddRows(s, part.From.Row + 1, part.To.Row);
        row.assign(tail.substr(0, part.To.Col));
    }
    const size_t lastLen = row.size();
    row.append(suffix);
    out.Add(row);
    out.AddRows(t, to.Row + 1, t.Starts[cb + 1]);
    std::vector<TChunkPtr> fresh = out.Finish();

    TStep step;
    step.First = ca;
    step.Count = fresh.size();
    step.From = from;
    step.OldTo = to;
    step.NewTo = {from.Row + breaks, lastLen};
    Mutable().Splice(ca, cb - ca + 1, std::move(fresh), &step.Other);
    const TTextPos newTo = step.NewTo;
    Push(std::move(step), kind, part.From == part.To);
    Notify(from, to, newTo);
    return newTo;
}

bool TLineBuffer::TryMerge(const TStep& step, TEditKind kind, bool textEmpty) {
    if (FUndo.empty() || kind == TEditKind::Other) return false;
    TStep& top = FUndo.back();
    if (top.Kind != kind) return false;
    // The new step must lie within the chunks the last one made, so that the last
    // one's old chunks still stand for everything both replaced.
    if (step.First < top.First || step.First + step.Other.size() > top.First + top.Count) return false;
    const bool removal = textEmpty && step.From != step.OldTo;
    switch (kind) {
    case TEditKind::Typing:
        if (step.From != step.OldTo || step.NewTo.Row != step.From.Row || step.From != top.NewTo)
            return false;
        top.NewTo = step.NewTo;
        break;
    case TEditKind::Backspace:
        if (!removal || step.OldTo != top.From) return false;
        top.From = top.NewTo = step.From;
        break;
    case TEditKind::Delete:
        if (!removal || step.From != top.From) return false;
        // Where the removed text ended before the last step removed its own.
        if (step.OldTo.Row == step.From.Row)
            top.OldTo.Col += step.OldTo.Col - step.From.Col;
        else
            top.OldTo = {step.OldTo.Row + top.OldTo.Row - top.From.Row, step.OldTo.Col};
        break;
    case TEditKind::Other:
        return false;
    }
    top.Count = top.Count - step.Other.size() + step.Count;
    return true;
}

namespace {
size_t StepBytes(const std::vector<TChunkPtr>& chunks) {
    size_t n = 128 + chunks.capacity() * sizeof(TChunkPtr);
    for (const auto& c : chunks) n += c->Bytes();
    return n;
}
} // namespace

void TLineBuffer::Push(TStep step, TEditKind kind, bool textEmpty) {
    for (const auto& r : FRedo) FHistoryBytes -= r.Bytes;
    DropSteps(std::move(FRedo));
    FRedo.clear();
    if (FGroupOpen && TryMerge(step, kind, textEmpty)) return;
    // Enter ends a run of typing: it is a step of its own.
    FGroupOpen = kind != TEditKind::Other && !(kind == TEditKind::Typing && step.NewTo.Row != step.From.Row);
    step.Kind = kind;
    step.Bytes = StepBytes(step.Other);
    FHistoryBytes += step.Bytes;
    FUndo.push_back(std::move(step));
    Trim();
}

void TLineBuffer::Trim() {
    std::vector<TStep> dropped;
    while (FHistoryBytes > FBudget && FUndo.size() > 1) {
        FHistoryBytes -= FUndo.front().Bytes;
        dropped.push_back(std::move(FUndo.front()));
        FUndo.pop_front();
    }
    if (!dropped.empty()) DropSteps(std::move(dropped));
}

void TLineBuffer::SetHistoryBudget(size_t bytes) {
    FBudget = bytes;
    Trim();
}

void TLineBuffer::ClearHistory() {
    std::vector<TStep> dropped(std::make_move_iterator(FUndo.begin()), std::make_move_iterator(FUndo.end()));
    std::move(FRedo.begin(), FRedo.end(), std::back_inserter(dropped));
    FUndo.clear();
    FRedo.clear();
    DropSteps(std::move(dropped));
    FHistoryBytes = 0;
    FGroupOpen = false;
}

void TLineBuffer::Swap(TStep& step) {
    const size_t count = step.Other.size();
    std::vector<TChunkPtr> out;
    Mutable().Splice(step.First, step.Count, std::move(step.Other), &out);
    step.Other = std::move(out);
    step.Count = count;
    FHistoryBytes -= step.Bytes;
    step.Bytes = StepBytes(step.Other);
    FHistoryBytes += step.Bytes;
}

bool TLineBuffer::Undo(TTextRange* restored) {
    FGroupOpen = false;
    if (FUndo.empty()) return false;
    TStep step = std::move(FUndo.back());
    FUndo.pop_back();
    Swap(step);
    const TStep& s = FRedo.emplace_back(std::move(step));
    if (restored) *restored = {s.From, s.OldTo};
    Notify(s.From, s.NewTo, s.OldTo);
    return true;
}

bool TLineBuffer::Redo(TTextRange* restored) {
    FGroupOpen = false;
    if (FRedo.empty()) return false;
    TStep step = std::move(FRedo.back());
    FRedo.pop_back();
    Swap(step);
    const TStep& s = FUndo.emplace_back(std::move(step));
    if (restored) *restored = {s.From, s.NewTo};
    Notify(s.From, s.OldTo, s.NewTo);
    Trim();
    return true;
}

void TLineBuffer::Notify(TTextPos from, TTextPos oldTo, TTextPos newTo) {
    if (FOnChange) FOnChange({from.Row, oldTo.Row - from.Row + 1, newTo.Row - from.Row + 1});
}

void TLineBuffer::WholeStep(const TLineSnapshot& result) {
    const TTable& o = *FDoc.FTable;
    const TTable& n = *result.FTable;
    if (&o == &n) return;
    // Chunks both share at the front stay where they are, outside the step.
    const size_t lim = std::min(o.Chunks.size(), n.Chunks.size());
    size_t p = 0;
    while (p < lim && o.Chunks[p] == n.Chunks[p]) ++p;
    if (p == o.Chunks.size() && p == n.Chunks.size()) return;
    p = std::min(p, lim - 1);
    // The change starts at the first row that differs (an append leaves the rows
    // before the end alone).
    const TChunk &oc = *o.Chunks[p], &nc = *n.Chunks[p];
    size_t r = 0;
    const size_t rlim = std::min({oc.Rows(), nc.Rows(), o.Rows() - o.Starts[p], n.Rows() - n.Starts[p]}) - 1;
    while (r < rlim && oc.Row(r) == nc.Row(r)) ++r;
    TStep step;
    step.First = p;
    step.Count = n.Chunks.size() - p;
    step.Other.assign(o.Chunks.begin() + static_cast<std::ptrdiff_t>(p), o.Chunks.end());
    step.From = {o.Starts[p] + r, 0};
    step.OldTo = FDoc.End();
    FDoc = result;
    step.NewTo = FDoc.End();
    const TTextPos from = step.From, oldTo = step.OldTo, newTo = step.NewTo;
    FGroupOpen = false;
    Push(std::move(step), TEditKind::Other, false);
    Notify(from, oldTo, newTo);
}

void TLineBuffer::SetLines(const TStringList& lines) {
    WholeStep(TLineSnapshot::FromLines(lines));
}

void TLineBuffer::AppendLines(const TStringList& lines) {
    if (lines.Empty() && LastRowEmpty(*FDoc.FTable)) return;
    WholeStep(FDoc.Appended(lines));
}

void TLineBuffer::Clear() {
    if (RowCount() == 1 && Row(0).empty()) return;
    WholeStep(TLineSnapshot());
}

void TLineBuffer::Shuffle() {
    if (LineCount() < 2) return;
    WholeStep(FDoc.Shuffled());
}

void TLineBuffer::Assign(const TLineSnapshot& result) {
    WholeStep(result);
}

bool TLineBuffer::Commit(const TLineSnapshot& base, const TLineSnapshot& result) {
    if (!FDoc.SameAs(base)) return false;
    WholeStep(result);
    return true;
}

} // namespace zarvo
