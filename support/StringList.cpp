#include "support/StringList.h"

#include <cstring>
#include <new>

#include "support/LargeMemory.h"
#include "support/ZarvoRandom.h"
#include "support/ZarvoText.h"

namespace zarvo {

TStringList::TStringList(const TStringList& other) {
    Reserve(other.Count(), other.FSize);
    for (size_t i = 0; i < other.Count(); ++i) Add(other[i]);
}

TStringList& TStringList::operator=(const TStringList& other) {
    if (this != &other) {
        TStringList copy(other);
        swap(copy);
    }
    return *this;
}

std::string_view TStringList::Get(size_t i) const {
    if (i >= FEntries.size()) throw Exception(Format("List index out of bounds (%d)", static_cast<int>(i)));
    return (*this)[i];
}

void TStringList::GrowText(size_t need) {
    size_t cap = FCapacity ? FCapacity : 4096;
    while (cap < need) cap += cap / 2;
    char* p = static_cast<char*>(std::realloc(FText, cap));
    if (!p) throw std::bad_alloc();
    FText = p;
    FCapacity = cap;
    AdviseHugePages(FText, FCapacity);
}

char* TStringList::AddRaw(size_t n) {
    if (n > kLenMask) throw Exception(Format("Line too long (%zu characters)", n));
    if (FSize + n + 1 > FCapacity) GrowText(FSize + n + 1);
    FEntries.push_back(static_cast<uint64_t>(FSize) << kLenBits | n);
    char* p = FText + FSize;
    p[n] = '\n';
    FSize += n + 1;
    return p;
}

void TStringList::AddLines(const TStringList& other, size_t from, size_t count) {
    if (count == 0) return;
    const uint64_t first = other.FEntries[from], last = other.FEntries[from + count - 1];
    const size_t start = static_cast<size_t>(first >> kLenBits);
    const size_t end = static_cast<size_t>(last >> kLenBits) + static_cast<size_t>(last & kLenMask) + 1;
    // Lines added one after another lie one after another: their text goes over at once.
    if (end >= start && end - start == other.LinesCost(from, count) - count * sizeof(uint64_t)) {
        if (FSize + (end - start) > FCapacity) GrowText(FSize + (end - start));
        std::memcpy(FText + FSize, other.FText + start, end - start);
        const uint64_t shift = static_cast<uint64_t>(FSize) - start;
        for (size_t i = from; i < from + count; ++i)
            FEntries.push_back(other.FEntries[i] + (shift << kLenBits));
        FSize += end - start;
        return;
    }
    for (size_t i = from; i < from + count; ++i) Add(other[i]);
}

size_t TStringList::LinesCost(size_t from, size_t count) const {
    size_t cost = 0;
    for (size_t i = from; i < from + count; ++i)
        cost += LineCost(static_cast<size_t>(FEntries[i] & kLenMask));
    return cost;
}

void TStringList::ShrinkLast(size_t m) {
    uint64_t& e = FEntries.back();
    const size_t off = static_cast<size_t>(e >> kLenBits);
    e = static_cast<uint64_t>(off) << kLenBits | m;
    FText[off + m] = '\n';
    FSize = off + m + 1;
}

void TStringList::Add(std::string_view s) {
    char* p = AddRaw(s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
}

void TStringList::Clear() {
    std::free(FText);
    FText = nullptr;
    FSize = FCapacity = 0;
    std::vector<uint64_t>().swap(FEntries);
}

void TStringList::Rollback(size_t count, size_t textSize) {
    if (count == 0) {
        Clear();
        return;
    }
    FEntries.resize(count);
    FEntries.shrink_to_fit();
    FSize = textSize;
    // Shrinking in place cannot fail for want of memory; if it does fail, the
    // larger block simply stays.
    if (char* p = static_cast<char*>(std::realloc(FText, FSize))) {
        FText = p;
        FCapacity = FSize;
    }
}

void TStringList::Reserve(size_t lines, size_t chars) {
    if (lines > FEntries.capacity()) {
        FEntries.reserve(lines);
        AdviseHugePages(FEntries.data(), FEntries.capacity() * sizeof(uint64_t));
    }
    if (chars > FCapacity) GrowText(chars);
}

void TStringList::Shuffle() {
    for (size_t n = FEntries.size(); n > 1; --n) {
        const size_t k = static_cast<size_t>(RandomBelow(n));
        std::swap(FEntries[n - 1], FEntries[k]);
    }
}

TStringList TStringList::FromText(std::string_view text) {
    TStringList r;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            r.Add(text.substr(pos));
            break;
        }
        r.Add(text.substr(pos, end - pos));
        pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return r;
}

std::string TStringList::Join(std::string_view delim) const {
    std::string out;
    if (FEntries.empty()) return out;
    out.reserve(FSize + (FEntries.size() - 1) * delim.size());
    for (size_t i = 0; i < FEntries.size(); ++i) {
        if (i) out.append(delim);
        out.append((*this)[i]);
    }
    return out;
}

} // namespace zarvo
