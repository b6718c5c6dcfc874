#include "mmdb/uMMDBCountryCodes.h"

#include <string_view>

namespace zarvo {

namespace {
// The accessor of "country", shared by the country and the city record.
void* (*CountryField())(TMMDBRecord&) {
    for (const TMMDBField& f : TMMDBIPCountryInfoEx::Table())
        if (std::string_view(f.Key) == "country") return f.Get;
    return nullptr;
}
} // namespace

const std::string* TMMDBCountryCodes::TCodeMemo::Find(int64_t r) const {
    if (FSlots.empty() || r > UINT32_MAX) return nullptr;
    for (size_t i = Hash(r) & FMask;; i = (i + 1) & FMask) {
        if (FSlots[i].Record == 0) return nullptr;
        if (FSlots[i].Record == r) return &FCodes[FSlots[i].Code];
    }
}

void TMMDBCountryCodes::TCodeMemo::Add(int64_t r, const std::string& code) {
    if (r <= 0 || r > UINT32_MAX) return;
    if ((FCount + 1) * 2 > FSlots.size()) Grow();
    auto at = FIndex.find(code);
    if (at == FIndex.end()) {
        if (FCodes.size() > 4096) return; // not country codes: stop keeping new ones
        at = FIndex.emplace(code, static_cast<uint32_t>(FCodes.size())).first;
        FCodes.push_back(code);
    }
    Insert(r, at->second);
    ++FCount;
}

void TMMDBCountryCodes::TCodeMemo::Insert(int64_t r, uint32_t code) {
    size_t i = Hash(r) & FMask;
    while (FSlots[i].Record != 0) i = (i + 1) & FMask;
    FSlots[i] = TSlot{static_cast<uint32_t>(r), code};
}

void TMMDBCountryCodes::TCodeMemo::Grow() {
    std::vector<TSlot> old;
    old.swap(FSlots);
    FSlots.assign(old.empty() ? 1024 : old.size() * 2, TSlot{0, 0});
    FMask = FSlots.size() - 1;
    for (const TSlot& s : old)
        if (s.Record != 0) Insert(s.Record, s.Code);
}

TMMDBCountryCodes::TMMDBCountryCodes(TMMDBReader& reader)
    : FReader(reader),
      FRecord(IsCityDatabaseType(reader.Metadata().DatabaseType()) ? FCityInfo : FCountryInfo),
      FCountryField(CountryField()) {}

const std::string* TMMDBCountryCodes::Known(int64_t r) const {
    return r > 0 ? FCodes.Find(r) : nullptr;
}

void TMMDBCountryCodes::LookAhead(std::span<const int64_t> records, std::span<const std::string*> known) {
    // The memo's slots first (when it has outgrown a core's cache), then the data of
    // the records it does not hold.
    if (FCodes.Large())
        for (const int64_t r : records)
            if (r > 0) FCodes.Prefetch(r);
    for (size_t k = 0; k < records.size(); ++k) {
        known[k] = Known(records[k]);
        if (records[k] > 0 && !known[k]) FReader.PrefetchRecord(records[k]);
    }
}

bool TMMDBCountryCodes::KnownCountry(const void* self, int64_t target, int depth) {
    return static_cast<const TMMDBCountryCodes*>(self)->FCountryCodes.contains(CountryKey(target, depth));
}

void TMMDBCountryCodes::Load(int64_t r, bool known) {
    TMMDBDecoder& decoder = FReader.Decoder();
    decoder.OnlyFieldVisit() = {};
    decoder.SetOnlyField(&FRecord, FCountryField);
    decoder.SetOnlyFieldKnown(known ? &KnownCountry : nullptr, this);
    struct TRestore {
        TMMDBDecoder& Decoder;
        ~TRestore() {
            Decoder.SetOnlyField(nullptr, nullptr);
            Decoder.SetOnlyFieldKnown(nullptr, nullptr);
        }
    } restore{decoder};
    // As LoadRecordInto, but only the country object is emptied first: it is all the
    // decode fills, and all that is read of it.
    const int64_t offset = FReader.RecordOffset(r);
    static_cast<TMMDBRecord*>(FCountryField(FRecord))->Clear();
    decoder.DecodeInto(FRecord, offset);
}

const std::string& TMMDBCountryCodes::CodeOf(int64_t r) {
    if (r == 0) return FNoCode;
    if (const std::string* known = FCodes.Find(r)) return *known;
    const std::string& code = DecodeCode(r);
    FCodes.Add(r, code);
    return code;
}

const std::string& TMMDBCountryCodes::DecodeCode(int64_t r) {
    if (r == 0) return FNoCode;
    // LoadRecordInto starts from an empty record, so a record without "country" gives
    // an empty code, never the code of an earlier record.
    const TMMDBDecoder::TOnlyFieldVisit& visit = FReader.Decoder().OnlyFieldVisit();
    Load(r, true);
    // A record that names its country twice fills one object from both: decoded in
    // full then.
    if (visit.Count > 1) Load(r, false);
    const std::string& code = visit.Passed && visit.Count == 1
                                  ? FCountryCodes.at(CountryKey(visit.Target, visit.Depth))
                                  : FRecord.Country().ISOCode();
    if (visit.Count == 1 && visit.Target >= 0 && !visit.Passed && FCountryCodes.size() < kMaxCountries)
        FCountryCodes.emplace(CountryKey(visit.Target, visit.Depth), code);
    return code;
}

} // namespace zarvo
