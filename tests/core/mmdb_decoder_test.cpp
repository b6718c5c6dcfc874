// The data-section decoder: every stored type, the conversion checks and their
// messages, pointers, key tables, and hostile input ending in clear errors.
#include <gtest/gtest.h>

#include <variant>

#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb_builder.h"

using namespace zarvo;
using namespace mmdbtest;

namespace {

struct DecodeFixture {
    explicit DecodeFixture(const Bytes& b, int64_t base = 0)
        : Buffer(std::vector<uint8_t>(b.begin(), b.end())), Decoder(&Owned, &Buffer, base, true) {}
    std::vector<std::unique_ptr<TMMDBRecord>> Owned;
    TMMDBArrayBuffer Buffer;
    TMMDBDecoder Decoder;
};

using Value =
    std::variant<int32_t, int64_t, uint64_t, double, float, bool, std::string, std::vector<uint8_t>>;

struct ScalarCase {
    const char* Name;
    Bytes Stored;
    TMMDBKind Kind;
    Value Expected;    // when Error is empty
    int64_t Behind;    // offset behind the value
    const char* Error; // the message, or ""
};
// Test names and failure output show the case's name, not its bytes.
void PrintTo(const ScalarCase& c, std::ostream* os) {
    *os << c.Name;
}

Value DecodeScalar(TMMDBDecoder& d, TMMDBKind kind, int64_t& behind) {
    switch (kind) {
    case mkInteger: {
        int32_t v = -7;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkInt64: {
        int64_t v = -7;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkUInt64: {
        uint64_t v = 7;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkDouble: {
        double v = -7;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkSingle: {
        float v = -7;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkBoolean: {
        bool v = false;
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    case mkString: {
        std::string v = "old";
        behind = d.DecodeInto(kind, &v, 0);
        return v;
    }
    default: {
        std::vector<uint8_t> v;
        behind = d.DecodeInto(mkBytes, &v, 0);
        return v;
    }
    }
}

const char* kBadData = "The MaxMind DB file's data section contains bad data: ";

class ScalarTest : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarTest, DecodesOrFailsWithMessage) {
    const ScalarCase& c = GetParam();
    DecodeFixture f(c.Stored);
    int64_t behind = -1;
    if (*c.Error) {
        EXPECT_EQ(ErrorOf([&] { DecodeScalar(f.Decoder, c.Kind, behind); }), c.Error);
        return;
    }
    const Value v = DecodeScalar(f.Decoder, c.Kind, behind);
    EXPECT_EQ(v, c.Expected);
    EXPECT_EQ(behind, c.Behind);
}

const std::string kS29(29, 'a'), kS285(285, 'b'), kS65821(65821, 'c');

// n replacement characters.
std::string Fffd(int n) {
    std::string s;
    while (n-- > 0) s += "\xEF\xBF\xBD";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Types, ScalarTest,
    ::testing::Values(
        ScalarCase{"string", Bytes("\x44test", 5), mkString, std::string("test"), 5, ""},
        ScalarCase{"string29", Bytes("\x5D\x00", 2) + kS29, mkString, kS29, 31, ""},
        ScalarCase{"string285", Bytes("\x5E\x00\x00", 3) + kS285, mkString, kS285, 288, ""},
        ScalarCase{"string65821", Bytes("\x5F\x00\x00\x00", 4) + kS65821, mkString, kS65821, 65825, ""},
        // Ill-formed UTF-8: each maximal subpart becomes one U+FFFD, the rest stays.
        ScalarCase{"string FF",
                   Str("A\xFF"
                       "B"),
                   mkString,
                   std::string("A\xEF\xBF\xBD"
                               "B"),
                   4, ""},
        ScalarCase{"string overlong", Str("\xE0\x80\xAF"), mkString, Fffd(3), 4, ""},
        ScalarCase{"string surrogate", Str("\xED\xA0\x80"), mkString, Fffd(3), 4, ""},
        ScalarCase{"string beyond U+10FFFF", Str("\xF4\x90\x80\x80"), mkString, Fffd(4), 5, ""},
        ScalarCase{"string truncated",
                   Str("\xF0\x9F\x98"
                       "x\xE2\x82"),
                   mkString, Fffd(1) + "x" + Fffd(1), 7, ""},
        ScalarCase{"string well-formed kept", Str("\xC3\xB4\xE2\x82\xAC\xF0\x9F\x98\x80"), mkString,
                   std::string("\xC3\xB4\xE2\x82\xAC\xF0\x9F\x98\x80"), 10, ""},
        ScalarCase{"double", Dbl(-1.5), mkDouble, -1.5, 9, ""},
        ScalarCase{"float", Bytes("\x04\x08\x3F\xC0\x00\x00", 6), mkSingle, 1.5f, 6, ""},
        ScalarCase{"bytes", Bytes("\x82\x01\xFF", 3), mkBytes, std::vector<uint8_t>{1, 255}, 3, ""},
        ScalarCase{"uint16", U16(65535), mkInteger, int32_t(65535), 3, ""},
        ScalarCase{"uint16 empty", Ctrl(5, 0), mkInteger, int32_t(0), 1, ""},
        ScalarCase{"uint32", U32(4294967295u), mkInt64, int64_t(4294967295), 5, ""},
        ScalarCase{"int32 negative", UInt(8, 0xFFFFFFFF, 4), mkInteger, int32_t(-1), 6, ""},
        ScalarCase{"int32 short not sign-extended", UInt(8, 0xFFFF, 2), mkInteger, int32_t(65535), 4, ""},
        ScalarCase{"uint64", UInt(9, 0xFFFFFFFFFFFFFFFFull, 8), mkUInt64, uint64_t(0xFFFFFFFFFFFFFFFFull), 10,
                   ""},
        ScalarCase{"boolean true, extended", Bytes("\x01\x07", 2), mkBoolean, true, 2, ""},
        ScalarCase{"boolean false", Bool(false), mkBoolean, false, 2, ""},
        ScalarCase{"uint16 to Int64", U16(1), mkInt64, 0, 0, "Could not convert 'Integer' to 'Int64'."},
        ScalarCase{"uint32 to Integer", U32(1), mkInteger, 0, 0, "Could not convert 'Int64' to 'Integer'."},
        ScalarCase{"string to bytes", Str("x"), mkBytes, 0, 0,
                   "Could not convert 'string' to 'TArray<System.Byte>'."},
        ScalarCase{"double to Single", Dbl(1), mkSingle, 0, 0, "Could not convert 'Double' to 'Single'."},
        ScalarCase{"map to string", Map(0), mkString, 0, 0, "Could not convert 'map' to 'string'."},
        ScalarCase{"array to Integer", Arr(0), mkInteger, 0, 0, "Could not convert 'array' to 'Integer'."},
        ScalarCase{"double size", Bytes("\x64", 1) + Bytes(4, '\0'), mkDouble, 0, 0,
                   "The MaxMind DB file's data section contains bad data: invalid size of double."},
        ScalarCase{"float size", Bytes("\x08\x08", 2) + Bytes(8, '\0'), mkSingle, 0, 0,
                   "The MaxMind DB file's data section contains bad data: invalid size of float."},
        ScalarCase{"boolean size", Bytes("\x02\x07", 2), mkBoolean, 0, 0,
                   "The MaxMind DB file's data section contains bad data: invalid size of boolean."},
        ScalarCase{"uint128", UInt(10, 1, 16), mkUInt64, 0, 0, "Unsupported method: DecodeBigInteger"},
        ScalarCase{"type 12", Ctrl(12, 0), mkString, 0, 0, "Unable to handle type:12"},
        ScalarCase{"type 13", Ctrl(13, 0), mkString, 0, 0, "Unable to handle type:13"},
        ScalarCase{"type 16", Ctrl(16, 0), mkString, 0, 0, "Unable to handle type:16"},
        ScalarCase{"extended type 0", Bytes("\x00\x00", 2), mkString, 0, 0,
                   "Something went horribly wrong in the decoder. An extended type resolved to a type number "
                   "< 8 (7)"},
        ScalarCase{"empty image", Bytes(), mkString, 0, 0,
                   "The MaxMind DB file's data section contains bad data: pointer larger than the database."},
        ScalarCase{"extended byte missing", Bytes("\x00", 1), mkString, 0, 0,
                   "The MaxMind DB file's data section contains bad data: pointer larger than the database."},
        ScalarCase{"size bytes missing", Bytes("\x5F\x00", 2), mkString, 0, 0,
                   "The MaxMind DB file's data section contains bad data: pointer larger than the database."},
        ScalarCase{
            "string past end", Bytes("\x45") + "abc", mkString, 0, 0,
            "The MaxMind DB file's data section contains bad data: value runs past the end of the database."},
        ScalarCase{
            "uint32 past end", Bytes("\xC4\x01", 2), mkInt64, 0, 0,
            "The MaxMind DB file's data section contains bad data: value runs past the end of the database."},
        ScalarCase{"huge bytes past end", Bytes("\x9F\xFF\xFF\xFF", 4), mkBytes, 0, 0,
                   "The MaxMind DB file's data section contains bad data: value runs past the end of the "
                   "database."}),
    [](const ::testing::TestParamInfo<ScalarCase>& i) {
        std::string n = i.param.Name;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(MMDBDecoder, PointerForms) {
    // 0x20 0x05: base + 5; 0x28 0x00 0x00: base + 2048; 0x38 + 4 bytes: the low bits are ignored.
    Bytes img = Bytes("\x20\x05", 2) + Bytes(3, '\0') + Str("five");
    img.resize(2048 + 10, '\0');
    img.replace(2048 + 3, 4, Str("two"));
    const Bytes tail = Bytes("\x28\x00\x00", 3) + Bytes("\x3F\x00\x00\x00\x07", 5) + Bytes("\x2F\xFF", 2);
    const int64_t tailAt = static_cast<int64_t>(img.size());
    img += tail;
    DecodeFixture f(img, 0);
    std::string s;
    EXPECT_EQ(f.Decoder.DecodeInto(mkString, &s, 0), 2); // behind the pointer, not behind the target
    EXPECT_EQ(s, "five");
    DecodeFixture g(img, 3); // the pointers count from a base of 3
    EXPECT_EQ(g.Decoder.PointerTarget(0x08, tailAt + 1).first, 3 + 2048);
    EXPECT_EQ(g.Decoder.PointerTarget(0x1F, tailAt + 4).first, 3 + 7);
    EXPECT_EQ(g.Decoder.DecodeInto(mkString, &s, tailAt), tailAt + 3);
    EXPECT_EQ(s, "two");
    // 0x2F 0xFF: a 2-byte pointer whose three high bits 7 go in front: 0x7FF + 2048... past the end.
    EXPECT_EQ(ErrorOf([&] { g.Decoder.DecodeInto(mkString, &s, tailAt + 8); }),
              std::string(kBadData) + "pointer larger than the database.");
}

TEST(MMDBDecoder, PointerLoopsAndDeepNestingEndInErrors) {
    DecodeFixture self(Ptr(0)); // points to itself
    std::string s;
    EXPECT_EQ(ErrorOf([&] { self.Decoder.DecodeInto(mkString, &s, 0); }),
              std::string(kBadData) + "pointers or nesting deeper than 512 levels.");
    // A map key that is a pointer to itself.
    DecodeFixture key(Map(1) + Ptr(1) + Str("v"));
    TMMDBCountryInfo c;
    EXPECT_EQ(ErrorOf([&] { key.Decoder.DecodeInto(c, 0); }),
              std::string(kBadData) + "pointers or nesting deeper than 512 levels.");
    // A chain of 600 pointers, each to the next, ends at the bound as well.
    Bytes chain;
    for (uint32_t i = 1; i <= 600; ++i) chain += Ptr(i * 5);
    chain += Str("end");
    DecodeFixture deep(chain);
    EXPECT_EQ(ErrorOf([&] { deep.Decoder.DecodeInto(mkString, &s, 0); }),
              std::string(kBadData) + "pointers or nesting deeper than 512 levels.");
    DecodeFixture shallow(chain);
    EXPECT_EQ(shallow.Decoder.DecodeInto(mkString, &s, 5 * 200), 5 * 200 + 5);
    EXPECT_EQ(s, "end");
}

TEST(MMDBDecoder, ContainerSizesMustFitTheRemainingBytes) {
    TMMDBCountryInfo c;
    DecodeFixture map(Ctrl(7, 1000) + Str("iso_code") + Str("DE"));
    EXPECT_EQ(ErrorOf([&] { map.Decoder.DecodeInto(c, 0); }),
              std::string(kBadData) + "map or array larger than the remaining data.");
    // The same check when the map is only stepped over.
    DecodeFixture skip(Map(1) + Str("unknown") + Ctrl(11, 70000) + Str("x"));
    EXPECT_EQ(ErrorOf([&] { skip.Decoder.DecodeInto(c, 0); }),
              std::string(kBadData) + "map or array larger than the remaining data.");
}

TEST(MMDBDecoder, MapKeysMustBeStrings) {
    TMMDBCountryInfo c;
    DecodeFixture f(Map(1) + U16(5) + Str("x"));
    EXPECT_EQ(ErrorOf([&] { f.Decoder.DecodeInto(c, 0); }), "Database contains a non-string as map key: 5");
}

TEST(MMDBDecoder, KeyTableMatchingAndSkipping) {
    // Keys differ in case from the table; unknown keys hold nested maps, arrays and a uint128.
    const Bytes rec = Map(5) + Str("ISO_CODE") + Str("DE") + Str("extra") + Map(2) + Str("a") + Arr(2) +
                      U16(1) + Map(1) + Str("z") + Bool(true) + Str("b") + UInt(10, 7, 16) + Str("big") +
                      UInt(10, 1, 16) + Str("Geoname_Id") + U32(2921044) + Str("is_in_european_union") +
                      Bool(true);
    DecodeFixture f(rec);
    TMMDBCountryInfo c;
    EXPECT_EQ(f.Decoder.DecodeInto(c, 0), static_cast<int64_t>(rec.size()));
    EXPECT_EQ(c.ISOCode(), "DE");
    EXPECT_EQ(c.GeonameId(), 2921044);
    EXPECT_TRUE(c.IsInEuropeanUnion());
}

TEST(MMDBDecoder, KeyCaseFoldsAsciiLettersOnly) {
    // Only A-Z fold to a-z; bytes one case bit apart that are not letters stay apart.
    const struct {
        const char* Key;
        bool Matches;
    } cases[] = {
        {"iso_code", true},
        {"ISO_CODE", true},
        {"iSo_CoDe", true},
        {"iso\x7F"
         "code",
         false},
        {"iso_codf", false},
        {"iso_cod", false},
        {"iso_code_", false},
        {"\xC9so_code", false},
        {"iso\x1F"
         "code",
         false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Key);
        DecodeFixture f(Map(1) + Str(k.Key) + Str("DE"));
        TMMDBCountryInfo c;
        f.Decoder.DecodeInto(c, 0);
        EXPECT_EQ(c.ISOCode(), k.Matches ? "DE" : "");
    }
}

TEST(MMDBDecoder, ConversionNamesRecordAndListTargets) {
    TMMDBIPCountryCityInfoEx city;
    DecodeFixture country(Map(1) + Str("country") + Str("DE"));
    EXPECT_EQ(ErrorOf([&] { country.Decoder.DecodeInto(city, 0); }),
              "Could not convert 'string' to 'TMMDBCountryInfoEx'.");
    DecodeFixture arr(Map(1) + Str("city") + Arr(0));
    EXPECT_EQ(ErrorOf([&] { arr.Decoder.DecodeInto(city, 0); }),
              "Could not convert 'array' to 'TMMDBCityInfoEx'.");
    DecodeFixture names(Map(1) + Str("city") + Map(1) + Str("names") + Map(1) + Str("en") + U16(1));
    EXPECT_EQ(ErrorOf([&] { names.Decoder.DecodeInto(city, 0); }),
              "Could not convert 'Integer' to 'string'.");
    DecodeFixture subs(Map(1) + Str("subdivisions") + Map(0));
    EXPECT_EQ(ErrorOf([&] { subs.Decoder.DecodeInto(city, 0); }),
              "Could not convert 'map' to 'TObjectList<uMMDBInfo.TMMDBSubdivisionEx>'.");
    DecodeFixture geo(Map(1) + Str("location") + Map(1) + Str("metro_code") + U32(1));
    EXPECT_EQ(ErrorOf([&] { geo.Decoder.DecodeInto(city, 0); }), "Could not convert 'Int64' to 'Integer'.");
}

TEST(MMDBDecoder, NamesDictionaryIsRefilledAndRefusesDuplicates) {
    const Bytes first =
        Map(1) + Str("names") + Map(2) + Str("en") + Str("Germany") + Str("de") + Str("Deutschland");
    const Bytes second = Map(1) + Str("names") + Map(1) + Str("fr") + Str("Allemagne");
    DecodeFixture f(first + second);
    TMMDBCountryInfoEx c;
    f.Decoder.DecodeInto(c, 0);
    EXPECT_EQ(c.Names().Count(), 2u);
    f.Decoder.DecodeInto(c, static_cast<int64_t>(first.size()));
    ASSERT_EQ(c.Names().Count(), 1u);
    EXPECT_EQ(c.Names().Key(0), "fr");
    EXPECT_EQ(c.Names().Value(0), "Allemagne");

    // Ill-formed keys and values read with U+FFFD, as every string does.
    DecodeFixture bad(Map(1) + Str("names") + Map(1) + Str("e\xFF") +
                      Str("A\xFF"
                          "B"));
    bad.Decoder.DecodeInto(c, 0);
    ASSERT_EQ(c.Names().Count(), 1u);
    EXPECT_EQ(c.Names().Key(0), "e\xEF\xBF\xBD");
    EXPECT_EQ(c.Names().Value(0), "A\xEF\xBF\xBD"
                                  "B");

    DecodeFixture dup(Map(1) + Str("names") + Map(2) + Str("en") + Str("a") + Str("en") + Str("b"));
    EXPECT_EQ(ErrorOf([&] { dup.Decoder.DecodeInto(c, 0); }), "Duplicates not allowed");
}

TEST(MMDBDecoder, SubdivisionsAndPointersIntoSharedValues) {
    // The second subdivision is a pointer to a map stored once, in front.
    const Bytes shared = Map(1) + Str("iso_code") + Str("ENG");
    const Bytes rec = Map(1) + Str("subdivisions") + Arr(2) + Map(1) + Str("iso_code") + Str("SCT") + Ptr(0);
    DecodeFixture f(shared + rec);
    TMMDBIPCountryCityInfoEx city;
    f.Decoder.DecodeInto(city, static_cast<int64_t>(shared.size()));
    ASSERT_EQ(city.Subdivisions().Count(), 2u);
    EXPECT_EQ(city.Subdivisions()[0].ISOCode(), "SCT");
    EXPECT_EQ(city.Subdivisions()[1].ISOCode(), "ENG");
}

TEST(MMDBDecoder, RecordClearForgetsEverything) {
    const Bytes rec = Map(3) + Str("country") + Map(2) + Str("iso_code") + Str("DE") + Str("names") + Map(1) +
                      Str("en") + Str("Germany") + Str("subdivisions") + Arr(1) + Map(0) + Str("location") +
                      Map(1) + Str("latitude") + Dbl(52.5);
    DecodeFixture f(rec);
    TMMDBIPCountryCityInfoEx city;
    f.Decoder.DecodeInto(city, 0);
    EXPECT_EQ(city.Country().ISOCode(), "DE");
    city.Clear();
    EXPECT_EQ(city.Country().ISOCode(), "");
    EXPECT_EQ(city.Country().Names().Count(), 0u);
    EXPECT_EQ(city.Subdivisions().Count(), 0u);
    EXPECT_EQ(city.Location().Latitude(), 0.0);
}

TEST(MMDBBuffer, BigEndianAccumulation) {
    TMMDBArrayBuffer one(std::vector<uint8_t>{0x10});
    EXPECT_EQ(one.ReadInteger(5, 0, 1), 0x510);
    EXPECT_EQ(one.ReadInteger(5, 0, 0), 5);
    TMMDBArrayBuffer five(std::vector<uint8_t>{0x01, 0, 0, 0, 0});
    EXPECT_EQ(five.ReadLong(0, 5), 4294967296LL);
    EXPECT_EQ(five.ReadULong(0, 5), 4294967296ULL);
    EXPECT_THROW(five.ReadOne(5), Exception);
    EXPECT_THROW(five.Read(3, 3), Exception);
    EXPECT_THROW(five.Read(-1, 1), Exception);
}

} // namespace
