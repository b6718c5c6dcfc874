#include "support/StringList.h"

#include "support/ZarvoRandom.h"
#include "support/ZarvoText.h"

namespace zarvo {

std::string_view TStringList::Get(size_t i) const {
    if (i >= FEntries.size()) throw Exception(Format("List index out of bounds (%d)", static_cast<int>(i)));
    return (*this)[i];
}

void TStringList::Add(std::string_view s, int32_t obj) {
    char* p = AddRaw(s.size(), obj);
    if (!s.empty()) s.copy(p, s.size());
}

char* TStringList::AddRaw(size_t n, int32_t obj) {
    const size_t off = FText.size();
    FText.resize(off + n);
    FEntries.push_back(Entry{off, static_cast<uint32_t>(n), obj});
    return FText.data() + off;
}

void TStringList::AddAll(const TStringList& other) {
    if (FEntries.empty()) {
        *this = other;
        return;
    }
    Reserve(FEntries.size() + other.Count(), FText.size() + other.FText.size());
    for (size_t i = 0; i < other.Count(); ++i) Add(other[i], other.Object(i));
}

void TStringList::Clear() {
    std::string().swap(FText);
    std::vector<Entry>().swap(FEntries);
}

void TStringList::Reserve(size_t lines, size_t chars) {
    FEntries.reserve(lines);
    FText.reserve(chars);
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
        size_t end = text.find_first_of("\r\n", pos);
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
    out.reserve(FText.size() + (FEntries.size() - 1) * delim.size());
    for (size_t i = 0; i < FEntries.size(); ++i) {
        if (i) out.append(delim);
        out.append((*this)[i]);
    }
    return out;
}

} // namespace zarvo
