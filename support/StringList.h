// An ordered list of text lines, each carrying an integer object (-1 for none).
// The lines live in one character buffer, so a million short lines cost about
// 16 bytes each beside their text, and moving or shuffling a line moves no text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

class TStringList {
public:
    static constexpr int32_t kNoObject = -1;

    size_t Count() const { return FEntries.size(); }
    bool Empty() const { return FEntries.empty(); }
    std::string_view operator[](size_t i) const {
        const Entry& e = FEntries[i];
        return std::string_view(FText.data() + e.off, e.len);
    }
    // Checked access; raises "List index out of bounds (%d)".
    std::string_view Get(size_t i) const;
    int32_t Object(size_t i) const { return FEntries[i].obj; }

    void Add(std::string_view s, int32_t obj = kNoObject);
    // Adds a line of n characters and returns where to write them.
    char* AddRaw(size_t n, int32_t obj = kNoObject);
    void AddAll(const TStringList& other);
    void Clear();
    void Reserve(size_t lines, size_t chars);
    void Exchange(size_t i, size_t j) { std::swap(FEntries[i], FEntries[j]); }
    // Overwrites entry i by entry j (text and object), without copying text.
    void Assign(size_t i, size_t j) { FEntries[i] = FEntries[j]; }
    void Truncate(size_t count) { FEntries.resize(count); }
    // Every order equally likely (Fisher-Yates over the process generator).
    void Shuffle();
    size_t TextBytes() const { return FText.size(); }

    // Splits text into lines at CR LF, LF or CR; a final line break adds no empty line.
    static TStringList FromText(std::string_view text);
    // The lines joined by delim, with nothing after the last one.
    std::string Join(std::string_view delim) const;

    void swap(TStringList& other) noexcept {
        FText.swap(other.FText);
        FEntries.swap(other.FEntries);
    }

private:
    struct Entry {
        uint64_t off;
        uint32_t len;
        int32_t obj;
    };
    std::string FText;
    std::vector<Entry> FEntries;
};

} // namespace zarvo
