// An ordered list of text lines. The lines live in one character buffer and each
// costs 9 bytes beside its text, so a million short lines stay near 25 MB, and
// moving or shuffling a line moves no text. Every line is followed in the buffer
// by a hidden "\n", so lines that lie in order can be written out in one piece.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

class TStringList {
public:
    TStringList() = default;
    TStringList(const TStringList& other);
    TStringList& operator=(const TStringList& other);
    TStringList(TStringList&& other) noexcept { swap(other); }
    TStringList& operator=(TStringList&& other) noexcept {
        swap(other);
        return *this;
    }
    ~TStringList() { std::free(FText); }

    // The longest line a list holds; a longer one raises "Line too long (%zu characters)".
    static constexpr size_t kMaxLineLength = (size_t{1} << 24) - 1;

    size_t Count() const { return FEntries.size(); }
    // Characters held, one line break after each line included.
    size_t TextSize() const { return FSize; }
    // What a line of n characters costs the list: its text, its line break and its entry.
    static constexpr size_t LineCost(size_t n) { return n + 1 + sizeof(uint64_t); }
    // What the lines cost, by LineCost (room reserved beyond them not included).
    size_t LinesSize() const { return FSize + FEntries.size() * sizeof(uint64_t); }
    bool Empty() const { return FEntries.empty(); }
    std::string_view operator[](size_t i) const {
        const uint64_t e = FEntries[i];
        return std::string_view(FText + (e >> kLenBits), static_cast<size_t>(e & kLenMask));
    }
    // Checked access; raises "List index out of bounds (%d)".
    std::string_view Get(size_t i) const;

    void Add(std::string_view s);
    // Adds a line of n characters and returns where to write them (valid until
    // the next addition). ShrinkLast then cuts the last line to m <= n characters.
    char* AddRaw(size_t n);
    void ShrinkLast(size_t m);
    // Adds count lines of at most maxLength (<= kMaxLineLength) characters each: write(i, p) writes line
    // i at p, where maxLength + 1 bytes of room lie, and returns its length (at most
    // maxLength; the bytes of the room behind it may be written too). As AddRaw and
    // ShrinkLast line by line, with the room made once.
    template <class F> void AddLinesWith(size_t count, size_t maxLength, F&& write) {
        if (count == 0) return;
        const size_t room = count * (maxLength + 1);
        if (FSize + room > FCapacity) GrowText(FSize + room);
        const size_t first = FEntries.size();
        FEntries.resize(first + count);
        uint64_t* entries = FEntries.data() + first;
        size_t size = FSize;
        for (size_t i = 0; i < count; ++i) {
            char* p = FText + size;
            const size_t n = write(i, p);
            p[n] = '\n';
            entries[i] = static_cast<uint64_t>(size) << kLenBits | n;
            size += n + 1;
        }
        FSize = size;
    }
    // Adds count lines of other from line from on, as Add would one by one.
    void AddLines(const TStringList& other, size_t from, size_t count);
    // What lines [from, from + count) cost, by LineCost.
    size_t LinesCost(size_t from, size_t count) const;
    void Clear();
    // Empties the list but keeps its memory for the next lines.
    void ClearKeepCapacity() {
        FEntries.clear();
        FSize = 0;
    }
    void Reserve(size_t lines, size_t chars);
    void Exchange(size_t i, size_t j) { std::swap(FEntries[i], FEntries[j]); }
    // Drops the lines from count on (their text stays allocated until Clear).
    void Truncate(size_t count) { FEntries.resize(count); }
    // Goes back to the list as it was when it held count lines in textSize
    // characters (Count() and TextSize() then), dropping every line added since and
    // giving their memory back. Lines moved since must not have left the first
    // count places.
    void Rollback(size_t count, size_t textSize);
    // Every order equally likely (Fisher-Yates over the process generator).
    void Shuffle();

    // Splits text into lines at CR LF, LF or CR; a final line break adds no empty line.
    static TStringList FromText(std::string_view text);
    // The lines joined by delim, with nothing after the last one.
    std::string Join(std::string_view delim) const;
    // Calls f(data, size) with the text of every line, each followed by "\n", in
    // as few pieces as the order of the lines allows.
    template <typename F> void ForEachLineRun(F f) const {
        size_t i = 0;
        while (i < FEntries.size()) {
            const size_t start = FEntries[i] >> kLenBits;
            size_t end = start + (FEntries[i] & kLenMask) + 1;
            for (++i; i < FEntries.size() && (FEntries[i] >> kLenBits) == end; ++i)
                end += (FEntries[i] & kLenMask) + 1;
            f(FText + start, end - start);
        }
    }

    void swap(TStringList& other) noexcept {
        std::swap(FText, other.FText);
        std::swap(FSize, other.FSize);
        std::swap(FCapacity, other.FCapacity);
        FEntries.swap(other.FEntries);
    }

private:
    // An entry packs the line's offset (high 40 bits) and length (low 24 bits).
    static constexpr int kLenBits = 24;
    static constexpr uint64_t kLenMask = (uint64_t{1} << kLenBits) - 1;
    static_assert(kLenMask == kMaxLineLength);
    void GrowText(size_t need);

    // malloc'd so that growing can realloc in place (no zero fill, and large
    // blocks are remapped rather than copied).
    char* FText = nullptr;
    size_t FSize = 0, FCapacity = 0;
    std::vector<uint64_t> FEntries;
};

} // namespace zarvo
