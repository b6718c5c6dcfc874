#include "support/VHashedStringList.h"

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

} // namespace

// ---- TVStringHash ----

TVStringHash::TVStringHash(uint32_t Size) : FBuckets(Size == 0 ? 1 : Size, nullptr) {}

TVStringHash::~TVStringHash() {
    Clear();
}

uint32_t TVStringHash::HashString(std::string_view Key) const {
    uint32_t h = 0;
    ForEachUtf16Unit(Key, [&](uint16_t u) { h = ((h << 2) | (h >> 30)) ^ u; });
    return h;
}

size_t TVStringHash::Bucket(std::string_view Key, size_t buckets) const {
    uint32_t h = HashString(Key); // final mix of MurmurHash3
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h % buckets;
}

void TVStringHash::Grow() {
    std::vector<TVHashItem*> next(FBuckets.size() * 4, nullptr);
    std::vector<TVHashItem**> tails(next.size());
    for (size_t i = 0; i < next.size(); ++i) tails[i] = &next[i];
    // Chains are walked in order and appended in order, so equal keys (which
    // share a bucket) keep their newest-first order.
    for (TVHashItem* head : FBuckets) {
        for (TVHashItem* p = head; p;) {
            TVHashItem* following = p->Next;
            const size_t b = Bucket(p->Key, next.size());
            p->Next = nullptr;
            *tails[b] = p;
            tails[b] = &p->Next;
            p = following;
        }
    }
    FBuckets.swap(next);
}

void TVStringHash::Add(std::string_view Key, int32_t Value) {
    if (FCount >= FBuckets.size() * 4 && FBuckets.size() < (size_t(1) << 26)) Grow();
    TVHashItem*& head = FBuckets[Bucket(Key)];
    head = new TVHashItem{head, std::string(Key), Value};
    ++FCount;
}

bool TVStringHash::Delete(std::string_view Key, int32_t Value) {
    TVHashItem** link = &FBuckets[Bucket(Key)];
    for (TVHashItem* p = *link; p; link = &p->Next, p = p->Next) {
        if (p->Value == Value && p->Key == Key) {
            *link = p->Next;
            delete p;
            --FCount;
            return true;
        }
    }
    return false;
}

int32_t TVStringHash::ValueOf(std::string_view Key) const {
    for (const TVHashItem* p = FBuckets[Bucket(Key)]; p; p = p->Next)
        if (p->Key == Key) return p->Value;
    return -1;
}

void TVStringHash::DecValues(int32_t Value) {
    for (TVHashItem* head : FBuckets)
        for (TVHashItem* p = head; p; p = p->Next)
            if (p->Value > Value) --p->Value;
}

void TVStringHash::IncValues(int32_t Value) {
    for (TVHashItem* head : FBuckets)
        for (TVHashItem* p = head; p; p = p->Next)
            if (p->Value > Value) ++p->Value;
}

void TVStringHash::Clear() {
    for (TVHashItem*& head : FBuckets) {
        while (head) {
            TVHashItem* next = head->Next;
            delete head;
            head = next;
        }
    }
    FCount = 0;
}

std::unique_ptr<TVStringHash> CreateVStringHash(uint32_t Size) {
    return std::make_unique<TVStringHash>(Size);
}

// ---- TVHashedStringList ----

TVHashedStringList::TVHashedStringList(uint32_t BucketsSize)
    : FBucketsSize(BucketsSize == 0 ? 1 : BucketsSize) {}

TVHashedStringList::TVHashedStringList(const TVHashedStringList& other)
    : FLines(other.FLines), FBucketsSize(other.FBucketsSize), FAutoUpdateHash(other.FAutoUpdateHash),
      FKeepEmptyValues(other.FKeepEmptyValues), FCaseSensitive(other.FCaseSensitive),
      FHashClass(other.FHashClass) {}

TVHashedStringList& TVHashedStringList::operator=(const TVHashedStringList& other) {
    if (this != &other) {
        FLines = other.FLines;
        FBucketsSize = other.FBucketsSize;
        FAutoUpdateHash = other.FAutoUpdateHash;
        FKeepEmptyValues = other.FKeepEmptyValues;
        FCaseSensitive = other.FCaseSensitive;
        FHashClass = other.FHashClass;
        FValueHash.reset();
        FNameHash.reset();
        Invalidate();
    }
    return *this;
}

TVHashedStringList::~TVHashedStringList() = default;

const std::string& TVHashedStringList::Get(size_t i) const {
    if (i >= FLines.size()) IndexError(i);
    return FLines[i];
}

std::string TVHashedStringList::HashKey(std::string_view s) const {
    std::string k(s);
    if (!FCaseSensitive)
        for (char& c : k) c = AsciiUpper(c);
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

size_t TVHashedStringList::Add(std::string_view S) {
    const size_t pos = FLines.size();
    FLines.emplace_back(S);
    if (!FAutoUpdateHash) {
        Invalidate();
        return pos;
    }
    const int32_t v = static_cast<int32_t>(pos);
    if (FValueHashValid) FValueHash->Add(HashKey(S), v);
    std::string_view name;
    if (FNameHashValid && NameOf(S, name)) FNameHash->Add(HashKey(name), v);
    return pos;
}

void TVHashedStringList::Insert(size_t Index, std::string_view S) {
    if (Index > FLines.size()) IndexError(Index);
    if (Index == FLines.size()) {
        Add(S);
        return;
    }
    FLines.emplace(FLines.begin() + static_cast<std::ptrdiff_t>(Index), S);
    Invalidate();
}

void TVHashedStringList::Put(size_t Index, std::string_view S) {
    if (Index >= FLines.size()) IndexError(Index);
    std::string& line = FLines[Index];
    if (line == S) return;
    if (!FAutoUpdateHash) {
        line.assign(S);
        Invalidate();
        return;
    }
    const int32_t v = static_cast<int32_t>(Index);
    if (FValueHashValid) {
        FValueHash->Delete(HashKey(line), v);
        FValueHash->Add(HashKey(S), v);
    }
    if (FNameHashValid) {
        std::string_view name;
        if (NameOf(line, name)) FNameHash->Delete(HashKey(name), v);
        if (NameOf(S, name)) FNameHash->Add(HashKey(name), v);
    }
    line.assign(S);
}

void TVHashedStringList::Delete(size_t Index) {
    if (Index >= FLines.size()) IndexError(Index);
    if (FAutoUpdateHash) {
        const int32_t v = static_cast<int32_t>(Index);
        const std::string& line = FLines[Index];
        if (FValueHashValid) {
            FValueHash->Delete(HashKey(line), v);
            FValueHash->DecValues(v);
        }
        if (FNameHashValid) {
            std::string_view name;
            if (NameOf(line, name)) FNameHash->Delete(HashKey(name), v);
            FNameHash->DecValues(v);
        }
    } else {
        Invalidate();
    }
    FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(Index));
}

void TVHashedStringList::Clear() {
    FLines.clear();
    Invalidate();
}

void TVHashedStringList::Exchange(size_t i, size_t j) {
    if (i >= FLines.size()) IndexError(i);
    if (j >= FLines.size()) IndexError(j);
    std::swap(FLines[i], FLines[j]);
    Invalidate();
}

void TVHashedStringList::Assign(std::vector<std::string> lines) {
    FLines = std::move(lines);
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

void TVHashedStringList::UpdateValueHash() const {
    if (FValueHashValid) return;
    if (FValueHash)
        FValueHash->Clear();
    else
        FValueHash = FHashClass(FBucketsSize);
    for (size_t i = 0; i < FLines.size(); ++i) FValueHash->Add(HashKey(FLines[i]), static_cast<int32_t>(i));
    FValueHashValid = true;
}

void TVHashedStringList::UpdateNameHash() const {
    if (FNameHashValid) return;
    if (FNameHash)
        FNameHash->Clear();
    else
        FNameHash = FHashClass(FBucketsSize);
    std::string_view name;
    for (size_t i = 0; i < FLines.size(); ++i)
        if (NameOf(FLines[i], name)) FNameHash->Add(HashKey(name), static_cast<int32_t>(i));
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

std::string TVHashedStringList::GetValue(std::string_view Name) const {
    const int32_t i = IndexOfName(Name);
    if (i < 0) return std::string();
    const std::string& line = FLines[static_cast<size_t>(i)];
    return line.size() > Name.size() ? line.substr(Name.size() + 1) : std::string();
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
