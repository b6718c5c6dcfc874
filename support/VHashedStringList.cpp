#include "support/VHashedStringList.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "support/ZarvoText.h"

namespace zarvo {

namespace {

[[noreturn]] void IndexError(size_t i) {
    throw Exception(Format("List index out of bounds (%d)", static_cast<int>(i)));
}

// Feeds the UTF-16 code units of UTF-8 text to f; a malformed byte counts as U+FFFD.
template <typename F> void ForEachUtf16Unit(std::string_view s, F f) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xF4) {
            const size_t need = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            uint32_t v = c & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
            size_t k = 1;
            for (; k < need && i + k < s.size(); ++k) {
                const unsigned char d = static_cast<unsigned char>(s[i + k]);
                if ((d & 0xC0) != 0x80) break;
                v = (v << 6) | (d & 0x3F);
            }
            const bool overlong = (need == 3 && v < 0x800) || (need == 4 && v < 0x10000);
            if (k == need && !overlong && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                cp = v;
                len = need;
            }
        }
        if (cp >= 0x10000) {
            f(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            f(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            f(static_cast<uint16_t>(cp));
        }
        i += len;
    }
}

void UpperInPlace(std::string& s) {
    for (char& c : s) c = AsciiUpper(c);
}

} // namespace

// ---- TVStringHash ----

TVStringHash::TVStringHash(uint32_t Size) : FBuckets(Size == 0 ? 1 : Size, kEnd) {}

TVStringHash::~TVStringHash() = default;

uint32_t TVStringHash::HashString(std::string_view Key) const {
    uint32_t h = 0;
    ForEachUtf16Unit(Key, [&](uint16_t u) { h = ((h << 2) | (h >> 30)) ^ u; });
    return h;
}

uint32_t TVStringHash::HashOf(std::string_view Key) const {
    // HashString gives equal values to many keys that differ only in digits: the
    // 500,000 keys of 16,000 stored sets ("StoredList12.Setting3") share some
    // 40,000 values, ever more keys per value as sets are added, and no bucket
    // count separates keys of one value. A 64-bit FNV-1a of the bytes joins it, then
    // the final mix of splitmix64 spreads both.
    uint64_t h = 0xCBF29CE484222325u;
    for (const char c : Key) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3u;
    }
    h ^= HashString(Key);
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBu;
    h ^= h >> 31;
    return static_cast<uint32_t>(h);
}

bool TVStringHash::Matches(uint32_t slot, uint32_t hash, std::string_view Key, std::string& scratch) const {
    const TItem& item = FItems[slot];
    if (item.Hash != hash) return false;
    return (FKeySource ? FKeySource->KeyOf(*this, item.Value, scratch) : std::string_view(FKeys[slot])) ==
           Key;
}

uint32_t TVStringHash::Find(uint32_t hash, std::string_view Key, const int32_t* Value, uint32_t* prev) const {
    std::string scratch;
    uint32_t before = kEnd;
    for (uint32_t p = FBuckets[hash % FBuckets.size()]; p != kEnd; before = p, p = NextOf(FItems[p])) {
        if ((!Value || FItems[p].Value == *Value) && Matches(p, hash, Key, scratch)) {
            if (prev) *prev = before;
            return p;
        }
    }
    return kEnd;
}

uint32_t TVStringHash::NewItem(std::string_view Key, uint32_t hash, int32_t Value, bool Mark, uint32_t next) {
    uint32_t slot = FFree;
    if (slot != kEnd) {
        FFree = NextOf(FItems[slot]);
    } else {
        if (FItems.size() >= kEnd) throw std::length_error("TVStringHash: too many items");
        slot = static_cast<uint32_t>(FItems.size());
        FItems.push_back({});
        if (!FKeySource) FKeys.emplace_back();
    }
    FItems[slot] = {next | (Mark ? kMarkBit : 0u), Value, hash};
    if (!FKeySource) FKeys[slot].assign(Key);
    ++FCount;
    return slot;
}

void TVStringHash::FreeItem(uint32_t slot) {
    FItems[slot].Link = FFree;
    FFree = slot;
    if (!FKeySource) std::string().swap(FKeys[slot]);
    --FCount;
}

void TVStringHash::GrowIfFull() {
    if (FCount >= FBuckets.size() * 4 && FBuckets.size() < (size_t(1) << 26)) Grow();
}

void TVStringHash::Grow() {
    std::vector<uint32_t> next(FBuckets.size() * 4, kEnd);
    std::vector<uint32_t> chain;
    // Each chain is moved from its end to its head onto the heads of the new
    // chains, so equal keys (which share a chain) keep their newest-first order.
    for (const uint32_t head : FBuckets) {
        chain.clear();
        for (uint32_t p = head; p != kEnd; p = NextOf(FItems[p])) chain.push_back(p);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            uint32_t& first = next[FItems[*it].Hash % next.size()];
            SetNext(FItems[*it], first);
            first = *it;
        }
    }
    FBuckets.swap(next);
}

void TVStringHash::Add(std::string_view Key, int32_t Value, bool Mark) {
    GrowIfFull();
    const uint32_t hash = HashOf(Key);
    uint32_t& first = FBuckets[hash % FBuckets.size()];
    first = NewItem(Key, hash, Value, Mark, first);
}

void TVStringHash::AddOldest(std::string_view Key, int32_t Value, bool Mark) {
    GrowIfFull();
    const uint32_t hash = HashOf(Key);
    uint32_t& first = FBuckets[hash % FBuckets.size()];
    uint32_t last = kEnd;
    for (uint32_t p = first; p != kEnd; p = NextOf(FItems[p])) last = p;
    const uint32_t slot = NewItem(Key, hash, Value, Mark, kEnd);
    if (last == kEnd)
        first = slot;
    else
        SetNext(FItems[last], slot);
}

bool TVStringHash::Delete(std::string_view Key, int32_t Value, bool* Mark) {
    const uint32_t hash = HashOf(Key);
    uint32_t prev = kEnd;
    const uint32_t p = Find(hash, Key, &Value, &prev);
    if (p == kEnd) return false;
    if (prev == kEnd)
        FBuckets[hash % FBuckets.size()] = NextOf(FItems[p]);
    else
        SetNext(FItems[prev], NextOf(FItems[p]));
    if (Mark) *Mark = (FItems[p].Link & kMarkBit) != 0;
    FreeItem(p);
    return true;
}

int32_t TVStringHash::ValueOf(std::string_view Key) const {
    const uint32_t p = Find(HashOf(Key), Key, nullptr, nullptr);
    return p == kEnd ? -1 : FItems[p].Value;
}

bool TVStringHash::Contains(std::string_view Key, int32_t Value) const {
    return Find(HashOf(Key), Key, &Value, nullptr) != kEnd;
}

bool TVStringHash::MarkOrAdd(std::string_view Key, int32_t Value) {
    const uint32_t hash = HashOf(Key);
    const uint32_t p = Find(hash, Key, nullptr, nullptr);
    if (p != kEnd) {
        FItems[p].Link |= kMarkBit;
        return true;
    }
    GrowIfFull();
    uint32_t& first = FBuckets[hash % FBuckets.size()];
    first = NewItem(Key, hash, Value, false, first);
    return false;
}

// Free slots are counted too: their values are never read.
void TVStringHash::DecValues(int32_t Value) {
    for (TItem& i : FItems)
        if (i.Value > Value) --i.Value;
}

void TVStringHash::IncValues(int32_t Value) {
    for (TItem& i : FItems)
        if (i.Value > Value) ++i.Value;
}

void TVStringHash::Clear() {
    std::fill(FBuckets.begin(), FBuckets.end(), kEnd);
    std::vector<TItem>().swap(FItems);
    std::vector<std::string>().swap(FKeys);
    FFree = kEnd;
    FCount = 0;
}

void TVStringHash::SetKeySource(const IVStringHashKeys* Keys) {
    FKeySource = Keys;
    if (Keys) std::vector<std::string>().swap(FKeys);
}

std::unique_ptr<TVStringHash> CreateVStringHash(uint32_t Size) {
    return std::make_unique<TVStringHash>(Size);
}

// ---- TVHashedStringList: the lines ----

TVHashedStringList::TVHashedStringList(uint32_t BucketsSize)
    : FBucketsSize(BucketsSize == 0 ? 1 : BucketsSize) {}

TVHashedStringList::TVHashedStringList(const TVHashedStringList& other)
    : FBucketsSize(other.FBucketsSize), FAutoUpdateHash(other.FAutoUpdateHash),
      FKeepEmptyValues(other.FKeepEmptyValues), FCaseSensitive(other.FCaseSensitive),
      FHashClass(other.FHashClass) {
    FText.reserve(other.FText.size() - other.FDead);
    FEntries.reserve(other.Count());
    for (size_t i = 0; i < other.Count(); ++i) FEntries.push_back(Store(other[i]));
}

TVHashedStringList& TVHashedStringList::operator=(const TVHashedStringList& other) {
    if (this != &other) {
        TVHashedStringList copy(other);
        MoveFrom(copy);
    }
    return *this;
}

TVHashedStringList::TVHashedStringList(TVHashedStringList&& other) noexcept
    : FBucketsSize(other.FBucketsSize) {
    MoveFrom(other);
}

TVHashedStringList& TVHashedStringList::operator=(TVHashedStringList&& other) noexcept {
    if (this != &other) MoveFrom(other);
    return *this;
}

TVHashedStringList::~TVHashedStringList() = default;

void TVHashedStringList::MoveFrom(TVHashedStringList& other) noexcept {
    FText = std::move(other.FText);
    FEntries = std::move(other.FEntries);
    FDead = other.FDead;
    FBucketsSize = other.FBucketsSize;
    FValueHash = std::move(other.FValueHash);
    FNameHash = std::move(other.FNameHash);
    FValueHashValid = other.FValueHashValid;
    FNameHashValid = other.FNameHashValid;
    FAutoUpdateHash = other.FAutoUpdateHash;
    FKeepEmptyValues = other.FKeepEmptyValues;
    FCaseSensitive = other.FCaseSensitive;
    FHashClass = other.FHashClass;
    // The indexes read their keys from the list that holds them.
    if (FValueHash) FValueHash->SetKeySource(this);
    if (FNameHash) FNameHash->SetKeySource(this);
    other.FText.clear();
    other.FEntries.clear();
    other.FDead = 0;
    other.Invalidate();
}

std::string_view TVHashedStringList::LineOf(uint64_t entry) const {
    const size_t offset = static_cast<size_t>(entry >> kLenBits);
    const size_t length = static_cast<size_t>(entry & kLongLine);
    if (length != kLongLine) return std::string_view(FText.data() + offset, length);
    uint64_t n = 0;
    std::memcpy(&n, FText.data() + offset, sizeof n);
    return std::string_view(FText.data() + offset + sizeof n, static_cast<size_t>(n));
}

uint64_t TVHashedStringList::Pack(size_t offset, size_t length) {
    if (offset >> (64 - kLenBits)) throw std::length_error("TVHashedStringList: text too large");
    return static_cast<uint64_t>(offset) << kLenBits | length;
}

size_t TVHashedStringList::Footprint(uint64_t entry, size_t length) {
    return (entry & kLongLine) == kLongLine ? length + sizeof(uint64_t) : length;
}

uint64_t TVHashedStringList::Store(std::string_view s) {
    // A line of this list (s may be one) moves when FText grows.
    const std::less_equal<const char*> le;
    if (!s.empty() && le(FText.data(), s.data()) && le(s.data(), FText.data() + FText.size()))
        return Store(std::string(s));
    const size_t offset = FText.size();
    if (s.size() < kLongLine) {
        FText.append(s);
        return Pack(offset, s.size());
    }
    const uint64_t n = s.size();
    FText.append(reinterpret_cast<const char*>(&n), sizeof n);
    FText.append(s);
    return Pack(offset, kLongLine);
}

// Text of replaced and deleted lines stays in the buffer until it is half of it;
// rewriting then costs no more than the lines that were dropped.
void TVHashedStringList::CompactIfSparse() {
    if (FDead > FText.size() / 2) Compact();
}

void TVHashedStringList::Compact() {
    std::string text;
    text.reserve(FText.size() - FDead);
    for (uint64_t& e : FEntries) {
        const std::string_view line = LineOf(e);
        const size_t offset = text.size();
        const size_t field = static_cast<size_t>(e & kLongLine);
        if (field == kLongLine) {
            const uint64_t n = line.size();
            text.append(reinterpret_cast<const char*>(&n), sizeof n);
        }
        text.append(line);
        e = Pack(offset, field);
    }
    FText.swap(text);
    FDead = 0;
}

std::string_view TVHashedStringList::Get(size_t i) const {
    if (i >= FEntries.size()) IndexError(i);
    return (*this)[i];
}

std::vector<std::string> TVHashedStringList::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(Count());
    for (size_t i = 0; i < Count(); ++i) lines.emplace_back((*this)[i]);
    return lines;
}

std::string TVHashedStringList::HashKey(std::string_view s) const {
    std::string k(s);
    if (!FCaseSensitive) UpperInPlace(k);
    return k;
}

bool TVHashedStringList::NameOf(std::string_view line, std::string_view& name) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    name = line.substr(0, eq);
    return true;
}

std::string_view TVHashedStringList::Names(size_t i) const {
    std::string_view line = Get(i), name;
    return NameOf(line, name) ? name : line;
}

void TVHashedStringList::Clear() {
    std::string().swap(FText);
    std::vector<uint64_t>().swap(FEntries);
    FDead = 0;
    Invalidate();
}

void TVHashedStringList::Assign(const std::vector<std::string>& lines) {
    Clear();
    FEntries.reserve(lines.size());
    for (const std::string& line : lines) FEntries.push_back(Store(line));
}

void TVHashedStringList::Exchange(size_t i, size_t j) {
    if (i >= FEntries.size()) IndexError(i);
    if (j >= FEntries.size()) IndexError(j);
    std::swap(FEntries[i], FEntries[j]);
    Invalidate();
}

void TVHashedStringList::SetHashClass(TVStringHashClass c) {
    FHashClass = c ? c : &CreateVStringHash;
    FValueHash.reset();
    FNameHash.reset();
    Invalidate();
}

void TVHashedStringList::SetCaseSensitive(bool v) {
    if (v == FCaseSensitive) return;
    FCaseSensitive = v;
    Invalidate();
}

// ---- TVHashedStringList: the indexes ----

bool TVHashedStringList::IndexKey(bool ByName, std::string_view line, std::string& key) const {
    std::string_view text = line;
    if (ByName && !NameOf(line, text)) return false;
    key.assign(text);
    if (!FCaseSensitive) UpperInPlace(key);
    return true;
}

std::string_view TVHashedStringList::KeyOf(const TVStringHash& Hash, int32_t Value,
                                           std::string& Scratch) const {
    std::string_view text = (*this)[static_cast<size_t>(Value)];
    if (&Hash == FNameHash.get()) NameOf(text, text); // only lines with a name are in it
    if (FCaseSensitive) return text;
    Scratch.assign(text);
    UpperInPlace(Scratch);
    return Scratch;
}

// From the last line to the first: the first line met of each key (the last
// line that has it) is added, and marked when an earlier line has the key too.
void TVHashedStringList::Rebuild(bool ByName) const {
    std::unique_ptr<TVStringHash>& index = ByName ? FNameHash : FValueHash;
    if (index) {
        index->Clear();
    } else {
        index = FHashClass(FBucketsSize);
        index->SetKeySource(this);
    }
    std::string key;
    for (size_t i = Count(); i-- > 0;) {
        if (IndexKey(ByName, (*this)[i], key)) index->MarkOrAdd(key, static_cast<int32_t>(i));
    }
}

// A marked item of key left the index. The lines it stood for are older than any
// item of the key, and the newest of them is the last line with the key that is
// not in the index; it takes the place behind them, marked when yet another such
// line remains.
void TVHashedStringList::Refold(bool ByName, const std::string& key) {
    TVStringHash& index = HashOf(ByName);
    std::string k;
    size_t found = SIZE_MAX;
    for (size_t j = Count(); j-- > 0;) {
        if (!IndexKey(ByName, (*this)[j], k) || k != key || index.Contains(key, static_cast<int32_t>(j)))
            continue;
        if (found != SIZE_MAX) {
            index.AddOldest(key, static_cast<int32_t>(found), true);
            return;
        }
        found = j;
    }
    if (found != SIZE_MAX) index.AddOldest(key, static_cast<int32_t>(found), false);
}

void TVHashedStringList::UpdateValueHash() const {
    if (FValueHashValid) return;
    Rebuild(false);
    FValueHashValid = true;
}

void TVHashedStringList::UpdateNameHash() const {
    if (FNameHashValid) return;
    Rebuild(true);
    FNameHashValid = true;
}

int32_t TVHashedStringList::IndexOf(std::string_view S) const {
    UpdateValueHash();
    return FValueHash->ValueOf(HashKey(S));
}

int32_t TVHashedStringList::IndexOfName(std::string_view Name) const {
    UpdateNameHash();
    return FNameHash->ValueOf(HashKey(Name));
}

namespace {

// What replacing or deleting a line leaves for one index: the old line's key and
// whether its item was marked.
struct TIndexChange {
    std::string Key;
    bool Marked = false;
};

} // namespace

size_t TVHashedStringList::Add(std::string_view S) {
    const size_t pos = FEntries.size();
    FEntries.push_back(Store(S));
    if (!FAutoUpdateHash) {
        Invalidate();
        return pos;
    }
    std::string key;
    for (const bool byName : {false, true})
        if (IndexValid(byName) && IndexKey(byName, (*this)[pos], key))
            HashOf(byName).Add(key, static_cast<int32_t>(pos));
    return pos;
}

void TVHashedStringList::Insert(size_t Index, std::string_view S) {
    if (Index > FEntries.size()) IndexError(Index);
    if (Index == FEntries.size()) {
        Add(S);
        return;
    }
    const uint64_t e = Store(S);
    FEntries.insert(FEntries.begin() + static_cast<std::ptrdiff_t>(Index), e);
    Invalidate();
}

void TVHashedStringList::Put(size_t Index, std::string_view S) {
    if (Index >= FEntries.size()) IndexError(Index);
    if ((*this)[Index] == S) return;
    const int32_t v = static_cast<int32_t>(Index);
    TIndexChange change[2]; // value index, name index
    if (FAutoUpdateHash) {
        for (const bool byName : {false, true}) {
            TIndexChange& c = change[byName];
            if (IndexValid(byName) && IndexKey(byName, (*this)[Index], c.Key))
                HashOf(byName).Delete(c.Key, v, &c.Marked);
        }
    }
    Retire(Index);
    FEntries[Index] = Store(S);
    if (!FAutoUpdateHash) {
        Invalidate();
        CompactIfSparse();
        return;
    }
    std::string key;
    for (const bool byName : {false, true}) {
        if (!IndexValid(byName)) continue;
        TIndexChange& c = change[byName];
        if (IndexKey(byName, (*this)[Index], key)) {
            // Under the same key the line still stands for the older ones, found
            // without a scan.
            const bool same = c.Marked && key == c.Key;
            HashOf(byName).Add(key, v, same);
            if (same) c.Marked = false;
        }
        if (c.Marked) Refold(byName, c.Key);
    }
    CompactIfSparse();
}

void TVHashedStringList::Delete(size_t Index) {
    if (Index >= FEntries.size()) IndexError(Index);
    const int32_t v = static_cast<int32_t>(Index);
    TIndexChange change[2];
    if (FAutoUpdateHash) {
        for (const bool byName : {false, true}) {
            TIndexChange& c = change[byName];
            if (IndexValid(byName) && IndexKey(byName, (*this)[Index], c.Key))
                HashOf(byName).Delete(c.Key, v, &c.Marked);
        }
    } else {
        Invalidate();
    }
    Retire(Index);
    FEntries.erase(FEntries.begin() + static_cast<std::ptrdiff_t>(Index));
    for (const bool byName : {false, true}) {
        if (!IndexValid(byName)) continue;
        HashOf(byName).DecValues(v);
        if (change[byName].Marked) Refold(byName, change[byName].Key);
    }
    CompactIfSparse();
}

std::string TVHashedStringList::GetValue(std::string_view Name) const {
    const int32_t i = IndexOfName(Name);
    if (i < 0) return std::string();
    const std::string_view line = (*this)[static_cast<size_t>(i)];
    return line.size() > Name.size() ? std::string(line.substr(Name.size() + 1)) : std::string();
}

std::vector<uint32_t> TVHashedStringList::NumberedNames(std::string_view Prefix, uint32_t Max) const {
    std::vector<uint32_t> numbers;
    const size_t p = Prefix.size();
    for (size_t l = 0; l < Count(); ++l) {
        const std::string_view line = (*this)[l];
        // The prefix, one to ten digits without a leading zero, then "=".
        if (line.size() < p + 2 || line[p] < '1' || line[p] > '9') continue;
        const std::string_view head = line.substr(0, p);
        if (FCaseSensitive ? head != Prefix : !SameText(head, Prefix)) continue;
        uint64_t k = 0;
        size_t i = p;
        for (; i < line.size() && i - p <= 10 && line[i] >= '0' && line[i] <= '9'; ++i)
            k = k * 10 + static_cast<uint64_t>(line[i] - '0');
        if (i < line.size() && line[i] == '=' && i - p <= 10 && k <= Max)
            numbers.push_back(static_cast<uint32_t>(k));
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

void TVHashedStringList::SetValue(std::string_view Name, std::string_view Value) {
    const int32_t i = IndexOfName(Name);
    if (!Value.empty() || FKeepEmptyValues) {
        std::string line;
        line.reserve(Name.size() + 1 + Value.size());
        line.append(Name).append(1, '=').append(Value);
        if (i < 0)
            Add(line);
        else
            Put(static_cast<size_t>(i), line);
    } else if (i >= 0) {
        Delete(static_cast<size_t>(i));
    }
}

} // namespace zarvo
