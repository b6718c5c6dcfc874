#include "support/uStoredSettings.h"

#include <algorithm>
#include <utility>

#include "support/ZarvoText.h"

namespace zarvo {

namespace {

[[noreturn]] void IndexError(size_t i) {
    throw Exception(Format("List index out of bounds (%d)", static_cast<int>(i)));
}

std::string Key(std::string_view p, size_t i, std::string_view suffix) {
    std::string k(p);
    k += std::to_string(i);
    k += suffix;
    return k;
}

} // namespace

TStoredSettings& TStoredSettingsList::GetSettings(size_t Index) const {
    if (Index >= FItems.size()) IndexError(Index);
    return *FItems[Index];
}

void TStoredSettingsList::SetSettings(size_t Index, std::unique_ptr<TStoredSettings> Value) {
    if (Index >= FItems.size()) IndexError(Index);
    FItems[Index] = std::move(Value);
}

size_t TStoredSettingsList::Add(std::unique_ptr<TStoredSettings> Item) {
    FItems.push_back(std::move(Item));
    return FItems.size() - 1;
}

void TStoredSettingsList::Delete(size_t Index) {
    if (Index >= FItems.size()) IndexError(Index);
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(Index));
}

int TStoredSettingsList::IndexOfName(std::string_view AName) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i] && SameText(FItems[i]->Name(), AName)) return static_cast<int>(i);
    return -1;
}

TStoredSettings* TStoredSettingsList::GetSettingsByName(std::string_view AName) const {
    const int i = IndexOfName(AName);
    return i < 0 ? nullptr : FItems[static_cast<size_t>(i)].get();
}

void TStoredSettingsList::SaveToList(TVHashedStringList& lst, std::string_view P, std::string_view T) const {
    lst.SetValue(std::string(P) + "N", std::to_string(FItems.size()));
    std::string lineKey(".");
    lineKey += T;
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TStoredSettings& s = *FItems[i];
        const TVHashedStringList& lines = s.Settings();
        lst.SetValue(Key(P, i + 1, ".Name"), s.Name());
        lst.SetValue(Key(P, i + 1, ".Count"), std::to_string(lines.Count()));
        const std::string prefix = Key(P, i + 1, lineKey);
        for (size_t j = 0; j < lines.Count(); ++j) lst.SetValue(prefix + std::to_string(j + 1), lines[j]);
    }
}

namespace {

// A number as Key writes it: decimal digits without a leading zero; at most ten
// of them, since no count reaches more. Consumes it; 0 when there is none.
uint64_t TakeIndex(std::string_view& s) {
    size_t k = 0;
    uint64_t v = 0;
    while (k < s.size() && k <= 10 && s[k] >= '0' && s[k] <= '9')
        v = v * 10 + static_cast<uint64_t>(s[k++] - '0');
    if (k == 0 || k > 10 || s[0] == '0') return 0;
    s.remove_prefix(k);
    return v;
}

bool TakePrefix(std::string_view& s, std::string_view prefix, bool caseSensitive) {
    if (s.size() < prefix.size()) return false;
    const std::string_view head = s.substr(0, prefix.size());
    if (caseSensitive ? head != prefix : !SameText(head, prefix)) return false;
    s.remove_prefix(prefix.size());
    return true;
}

// Where a line of the layout stands: set i, and within it the Name line (0),
// the Count line (1) or line j (j + 1).
constexpr uint64_t kNameLine = 0, kCountLine = 1;

// The place of a line whose name is a key of the layout (as lst compares names).
bool PlaceOf(const TVHashedStringList& lst, std::string_view name, std::string_view P,
             std::string_view lineKey, uint64_t& i, uint64_t& sub) {
    const bool cs = lst.CaseSensitive();
    if (!TakePrefix(name, P, cs) || (i = TakeIndex(name)) == 0) return false;
    auto is = [&](std::string_view suffix) {
        return name.size() == suffix.size() && TakePrefix(name, suffix, cs);
    };
    if (is(".Name")) {
        sub = kNameLine;
        return true;
    }
    if (is(".Count")) {
        sub = kCountLine;
        return true;
    }
    if (!TakePrefix(name, lineKey, cs)) return false;
    const uint64_t j = TakeIndex(name);
    sub = j + 1;
    return j != 0 && j <= INT32_MAX && name.empty();
}

std::string UpperCase(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = AsciiUpper(c);
    return u;
}

// The sets by name, upper-cased as SameText compares them; the index holds no
// copies of the names but reads them from the sets.
class TSetNames : private IVStringHashKeys {
public:
    explicit TSetNames(const std::vector<std::unique_ptr<TStoredSettings>>& items)
        : FItems(items), FHash(static_cast<uint32_t>(std::max<size_t>(256, items.size() / 4))) {
        FHash.SetKeySource(this);
        // From the last to the first, so that the first set of a name heads its chain.
        for (size_t i = items.size(); i-- > 0;)
            if (items[i]) Add(i);
    }
    void Add(size_t i) { FHash.Add(UpperCase(FItems[i]->Name()), static_cast<int32_t>(i)); }
    int32_t Find(std::string_view name) const { return FHash.ValueOf(UpperCase(name)); }

private:
    std::string_view KeyOf(const TVStringHash&, int32_t Value, std::string& Scratch) const override {
        Scratch = UpperCase(FItems[static_cast<size_t>(Value)]->Name());
        return Scratch;
    }
    const std::vector<std::unique_ptr<TStoredSettings>>& FItems;
    TVStringHash FHash;
};

} // namespace

void TStoredSettingsList::LoadFromList(const TVHashedStringList& lst, std::string_view P,
                                       std::string_view T) {
    // Counts are bounds, not promises: the sets and lines below them that the list
    // holds are read, however far apart their numbers, and only those are visited,
    // so a garbled count of two billion costs nothing.
    const int64_t n = StrToIntDef(lst.GetValue(std::string(P) + "N"), -1);
    if (n <= 0) return;
    std::string lineKey(".");
    lineKey += T;

    // The lines of the layout, found in one pass and put in order of set and
    // place. Looking up every j up to each set's count would cost a lookup per
    // number counted, and a garbled count on many sets would make that the square
    // of the file's size.
    struct TLine {
        uint64_t Place; // i << 32 | sub
        size_t Pos;
        bool operator<(const TLine& o) const { return Place < o.Place; }
    };
    std::vector<TLine> lines;
    for (size_t l = 0; l < lst.Count(); ++l) {
        const std::string_view line = lst[l];
        const size_t eq = line.find('='); // a line without one has no name
        uint64_t i = 0, sub = 0;
        if (eq != std::string_view::npos && PlaceOf(lst, line.substr(0, eq), P, lineKey, i, sub) &&
            i <= static_cast<uint64_t>(n))
            lines.push_back({i << 32 | sub, l});
    }
    std::sort(lines.begin(), lines.end());

    // The value of the key of lines [first, last): a name on one line is that
    // line's; of several, the list's index picks, as GetValue does.
    std::string buffer;
    auto valueOf = [&](auto first, auto last) -> std::string_view {
        if (last - first == 1) {
            const std::string_view line = lst[first->Pos];
            return line.substr(line.find('=') + 1);
        }
        const uint64_t i = first->Place >> 32, sub = first->Place & 0xFFFFFFFFu;
        buffer = lst.GetValue(sub == kNameLine    ? Key(P, i, ".Name")
                              : sub == kCountLine ? Key(P, i, ".Count")
                                                  : Key(P, i, lineKey) + std::to_string(sub - 1));
        return buffer;
    };

    auto sub = [](auto at) { return at->Place & 0xFFFFFFFFu; };
    TSetNames names(FItems);
    for (auto next = lines.begin(); next != lines.end();) {
        const uint64_t i = next->Place >> 32;
        auto end = next;
        while (end != lines.end() && (end->Place >> 32) == i) ++end;
        auto g = std::exchange(next, end); // set i's lines: [g, end)
        // The value of the key of g's lines, moving g past them.
        auto take = [&] {
            const auto first = g;
            while (g != end && g->Place == first->Place) ++g;
            return valueOf(first, g);
        };
        std::string name;
        if (g != end && sub(g) == kNameLine) name = take();
        if (name.empty()) continue;
        TStoredSettings* set = nullptr;
        if (const int32_t found = names.Find(name); found >= 0) {
            set = FItems[static_cast<size_t>(found)].get();
            set->Settings().Clear();
        } else {
            const size_t pos = Add(std::make_unique<TStoredSettings>(name));
            names.Add(pos);
            set = FItems[pos].get();
        }
        int64_t k = -1;
        if (g != end && sub(g) == kCountLine) k = StrToIntDef(take(), -1);
        while (g != end && static_cast<int64_t>(sub(g) - 1) <= k) {
            const std::string_view value = take();
            if (!value.empty()) set->Settings().Add(value);
        }
    }
}

} // namespace zarvo
