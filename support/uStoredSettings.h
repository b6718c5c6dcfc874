// Named sets of generation options and the layout in which the collection is
// written into a name=value list and read back from one.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/VHashedStringList.h"

namespace zarvo {

// One named set: its option lines, each "Key=Value".
class TStoredSettings {
public:
    explicit TStoredSettings(std::string AName) : FName(std::move(AName)) {}

    const std::string& Name() const { return FName; }
    void SetName(std::string v) { FName = std::move(v); }
    TVHashedStringList& Settings() { return Lines(); }
    const TVHashedStringList& Settings() const { return Lines(); }

private:
    // Made on first use: a file may name a million sets that hold nothing.
    TVHashedStringList& Lines() const {
        if (!FSettings) FSettings = std::make_unique<TVHashedStringList>(256);
        return *FSettings;
    }

    std::string FName;
    mutable std::unique_ptr<TVHashedStringList> FSettings;
};

// Ordered, owning list of named sets. Names are kept unique by the callers, which
// add a set only after finding none of that name.
class TStoredSettingsList {
public:
    size_t Count() const { return FItems.size(); }
    // Raise "List index out of bounds (%d)" for a position outside the list.
    TStoredSettings& GetSettings(size_t Index) const;
    // Replaces (and frees) the set at Index.
    void SetSettings(size_t Index, std::unique_ptr<TStoredSettings> Value);
    // Appends and returns the position.
    size_t Add(std::unique_ptr<TStoredSettings> Item);
    void Delete(size_t Index);
    void Clear() { FItems.clear(); }

    // First set whose name equals AName, ASCII letters compared without case; -1 when none.
    int IndexOfName(std::string_view AName) const;
    TStoredSettings* GetSettingsByName(std::string_view AName) const;

    // Writes P"N", then for set i: P i ".Name", P i ".Count" and P i "." T j per line,
    // through the value-writing rule of TVHashedStringList::SetValue.
    void SaveToList(TVHashedStringList& lst, std::string_view AStoredSettingsName,
                    std::string_view ASettingName) const;
    // Merges the sets found in lst: a set of a known name has its lines replaced (it
    // keeps its place and name), a new one is appended. Sets not named in lst stay.
    // Missing or empty entries are skipped; counts that are absent or not integers load nothing.
    void LoadFromList(const TVHashedStringList& lst, std::string_view AStoredSettingsName,
                      std::string_view ASettingName);

private:
    std::vector<std::unique_ptr<TStoredSettings>> FItems;
};

} // namespace zarvo
