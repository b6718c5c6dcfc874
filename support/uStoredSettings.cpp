#include "support/uStoredSettings.h"

#include <algorithm>
#include <unordered_map>

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

void TStoredSettingsList::LoadFromList(const TVHashedStringList& lst, std::string_view P,
                                       std::string_view T) {
    // Every set needs its own Name line and every set line its own line, so no
    // count can usefully exceed the list's length; the cap keeps a garbled count
    // such as 2000000000 from scanning for keys that cannot be there.
    const int64_t cap = static_cast<int64_t>(lst.Count());
    const int64_t n = std::min<int64_t>(StrToIntDef(lst.GetValue(std::string(P) + "N"), -1), cap);
    std::string lineKey(".");
    lineKey += T;
    // The sets by name (ASCII case folded, the first of a name wins, as IndexOfName
    // finds it), so that a file of thousands of sets loads in linear time.
    auto fold = [](std::string_view s) {
        std::string f(s);
        for (char& c : f) c = AsciiLower(c);
        return f;
    };
    std::unordered_map<std::string, TStoredSettings*> byName;
    for (const auto& item : FItems)
        if (item) byName.emplace(fold(item->Name()), item.get());
    for (int64_t i = 1; i <= n; ++i) {
        const size_t ui = static_cast<size_t>(i);
        const std::string name = lst.GetValue(Key(P, ui, ".Name"));
        if (name.empty()) continue;
        TStoredSettings*& set = byName[fold(name)];
        if (set) {
            set->Settings().Clear();
        } else {
            set = FItems[Add(std::make_unique<TStoredSettings>(name))].get();
        }
        const int64_t k = std::min<int64_t>(StrToIntDef(lst.GetValue(Key(P, ui, ".Count")), -1), cap);
        const std::string prefix = Key(P, ui, lineKey);
        for (int64_t j = 1; j <= k; ++j) {
            std::string line = lst.GetValue(prefix + std::to_string(j));
            if (!line.empty()) set->Settings().Add(line);
        }
    }
}

} // namespace zarvo
