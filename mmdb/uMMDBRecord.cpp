#include "mmdb/uMMDBRecord.h"

#include <cstring>
#include <stdexcept>

#include "support/ZarvoText.h"

namespace zarvo {

TMMDBKeyTable MMDBKeys(std::initializer_list<TMMDBField> own, const TMMDBKeyTable& base) {
    TMMDBKeyTable t(own);
    t.insert(t.end(), base.begin(), base.end());
    if (t.size() > kMMDBMaxKeys) throw std::logic_error("a key table of more than kMMDBMaxKeys entries");
    for (TMMDBField& f : t) f.KeyLength = std::strlen(f.Key);
    return t;
}

const TMMDBField* TMMDBRecord::FindField(std::string_view key) const {
    // The first field whose key is the same but for case; databases mostly write the
    // keys as the tables do, so an exact match is tried first, and a field whose first
    // letter differs is passed over without the full comparison.
    for (const TMMDBField& f : KeyTable()) {
        if (f.KeyLength != key.size()) continue;
        if (key.empty() || std::memcmp(f.Key, key.data(), key.size()) == 0) return &f;
        if (AsciiLower(f.Key[0]) == AsciiLower(key[0]) && SameText(std::string_view(f.Key, f.KeyLength), key))
            return &f;
    }
    return nullptr;
}

void TMMDBRecord::Clear() {
    FStored = 0;
    for (const TMMDBField& f : KeyTable()) {
        void* p = f.Get(*this);
        switch (f.Kind) {
        case mkInteger:
            *static_cast<int32_t*>(p) = 0;
            break;
        case mkInt64:
            *static_cast<int64_t*>(p) = 0;
            break;
        case mkUInt64:
            *static_cast<uint64_t*>(p) = 0;
            break;
        case mkDouble:
            *static_cast<double*>(p) = 0;
            break;
        case mkSingle:
            *static_cast<float*>(p) = 0;
            break;
        case mkBoolean:
            *static_cast<bool*>(p) = false;
            break;
        case mkString:
            static_cast<std::string*>(p)->clear();
            break;
        case mkBytes:
            static_cast<std::vector<uint8_t>*>(p)->clear();
            break;
        case mkRecord:
            static_cast<TMMDBRecord*>(p)->Clear();
            break;
        case mkDictionary:
            static_cast<TMMDBStringDictionary*>(p)->Clear();
            break;
        case mkStringList:
            static_cast<TMMDBStringList*>(p)->clear();
            break;
        case mkRecordList:
            static_cast<TMMDBRecordList*>(p)->Clear();
            break;
        }
    }
}

const std::string* TMMDBStringDictionary::Find(std::string_view key) const {
    for (size_t i = 0; i < FCount; ++i)
        if (FItems[i].first == key) return &FItems[i].second;
    return nullptr;
}

void TMMDBStringDictionary::Add(std::string_view key, std::string_view value) {
    if (ContainsKey(key)) throw Exception("Duplicates not allowed");
    if (FCount == FItems.size()) FItems.emplace_back();
    FItems[FCount].first.assign(key);
    FItems[FCount].second.assign(value);
    ++FCount;
}

} // namespace zarvo
