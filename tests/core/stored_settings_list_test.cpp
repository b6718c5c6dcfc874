// Named option sets and the layout that carries them in a name=value list.
#include <gtest/gtest.h>

#include "support/ZarvoText.h"
#include "support/uStoredSettings.h"

using namespace zarvo;

namespace {

TVHashedStringList ListOf(std::vector<std::string> lines) {
    TVHashedStringList l(256);
    l.Assign(std::move(lines));
    return l;
}

TStoredSettings& AddSet(TStoredSettingsList& sets, const char* name, std::vector<std::string> lines) {
    TStoredSettings& s = sets.GetSettings(sets.Add(std::make_unique<TStoredSettings>(name)));
    s.Settings().Assign(std::move(lines));
    return s;
}

} // namespace

TEST(StoredSettingsList, SaveWritesTheNumberedLayout) {
    TStoredSettingsList sets;
    TVHashedStringList out(256);
    sets.SaveToList(out, "StoredList", "Setting");
    EXPECT_EQ(out.Lines(), (std::vector<std::string>{"StoredListN=0"}));

    AddSet(sets, "office", {"Random=1", "IPRange1=A=192.168.1.100/16/24"});
    AddSet(sets, "lab", {});
    TVHashedStringList l = ListOf({"Mode=1"});
    sets.SaveToList(l, "StoredList", "Setting");
    EXPECT_EQ(l.Lines(), (std::vector<std::string>{
                             "Mode=1",
                             "StoredListN=2",
                             "StoredList1.Name=office",
                             "StoredList1.Count=2",
                             "StoredList1.Setting1=Random=1",
                             "StoredList1.Setting2=IPRange1=A=192.168.1.100/16/24",
                             "StoredList2.Name=lab",
                             "StoredList2.Count=0",
                         }));
}

TEST(StoredSettingsList, LoadReadsWhatSaveWrote) {
    TStoredSettingsList a;
    AddSet(a, "office", {"Random=1", "Mode=2"});
    AddSet(a, "lab", {"Ports=22"});
    TVHashedStringList l(256);
    a.SaveToList(l, "P", "T");
    TStoredSettingsList b;
    b.LoadFromList(l, "P", "T");
    ASSERT_EQ(b.Count(), 2u);
    EXPECT_EQ(b.GetSettings(0).Name(), "office");
    EXPECT_EQ(b.GetSettings(0).Settings().Lines(), (std::vector<std::string>{"Random=1", "Mode=2"}));
    EXPECT_EQ(b.GetSettings(1).Settings().GetValue("Ports"), "22");
}

TEST(StoredSettingsList, LoadMergesIntoExistingSetsByNameIgnoringCase) {
    TStoredSettingsList sets;
    AddSet(sets, "Office", {"Random=0", "Mode=1"});
    AddSet(sets, "lab", {"Ports=22"});
    sets.LoadFromList(ListOf({"StoredListN=2", "StoredList1.Name=home", "StoredList1.Count=1",
                              "StoredList1.Setting1=Mode=0", "StoredList2.Name=office", "StoredList2.Count=1",
                              "StoredList2.Setting1=Random=1"}),
                      "StoredList", "Setting");
    ASSERT_EQ(sets.Count(), 3u);
    EXPECT_EQ(sets.GetSettings(0).Name(), "Office");
    EXPECT_EQ(sets.GetSettings(0).Settings().Lines(), (std::vector<std::string>{"Random=1"}));
    EXPECT_EQ(sets.GetSettings(1).Name(), "lab"); // not named in the list: stays
    EXPECT_EQ(sets.GetSettings(2).Name(), "home");
}

TEST(StoredSettingsList, LoadSkipsGapsAndBadCounts) {
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::vector<std::string> names;    // sets after loading into {keep}
        std::vector<std::string> newLines; // lines of the last set
    };
    const Case cases[] = {
        {"no StoredListN",
         {"StoredList1.Name=x", "StoredList1.Count=1", "StoredList1.Setting1=A=1"},
         {"keep"},
         {}},
        {"StoredListN not a number", {"StoredListN=two", "StoredList1.Name=x"}, {"keep"}, {}},
        {"StoredListN=0", {"StoredListN=0", "StoredList1.Name=x"}, {"keep"}, {}},
        {"a missing line moves the next up",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=3", "StoredList1.Setting1=A=1",
          "StoredList1.Setting3=C=3"},
         {"keep", "x"},
         {"A=1", "C=3"}},
        {"an empty line is skipped",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=2",
          "StoredList1.Setting1=", "StoredList1.Setting2=B=2"},
         {"keep", "x"},
         {"B=2"}},
        {"a set without a name is skipped",
         {"StoredListN=2", "StoredList1.Count=1", "StoredList1.Setting1=A=1", "StoredList2.Name=y",
          "StoredList2.Count=1", "StoredList2.Setting1=B=2"},
         {"keep", "y"},
         {"B=2"}},
        {"a missing count gives an empty set",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Setting1=A=1"},
         {"keep", "x"},
         {}},
        {"lines above the count are not read",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=1", "StoredList1.Setting1=A=1",
          "StoredList1.Setting2=B=2"},
         {"keep", "x"},
         {"A=1"}},
        {"huge counts from a garbled file",
         {"StoredListN=2147483647", "StoredList1.Name=x", "StoredList1.Count=2000000000",
          "StoredList1.Setting1=A=1"},
         {"keep", "x"},
         {"A=1"}},
        {"a count beyond the list's lines reads the lines that are there",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=50", "StoredList1.Setting50=A=1"},
         {"keep", "x"},
         {"A=1"}},
        {"a set numbered beyond the list's lines",
         {"StoredListN=100", "StoredList100.Name=late", "StoredList100.Count=2",
          "StoredList100.Setting2=A=1"},
         {"keep", "late"},
         {"A=1"}},
        {"the largest counts and numbers",
         {"StoredListN=2147483647", "StoredList2147483647.Name=x", "StoredList2147483647.Count=2147483647",
          "StoredList2147483647.Setting2147483647=A=1", "StoredList2147483647.Setting5=B=2"},
         {"keep", "x"},
         {"B=2", "A=1"}},
        {"a count beyond 32 bits is not an integer",
         {"StoredListN=4000000000", "StoredList1.Name=x", "StoredList1.Count=1", "StoredList1.Setting1=A=1"},
         {"keep"},
         {}},
        {"counts in hexadecimal",
         {"StoredListN=$1", "StoredList1.Name=x", "StoredList1.Count=0x1", "StoredList1.Setting1=A=1"},
         {"keep", "x"},
         {"A=1"}},
        {"a key on two lines: the later one",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Name=y", "StoredList1.Count=1",
          "StoredList1.Setting1=A=1", "StoredList1.Count=2", "StoredList1.Setting2=B=2",
          "StoredList1.Setting1=C=3"},
         {"keep", "y"},
         {"C=3", "B=2"}},
        {"keys in any case, lines in any order",
         {"STOREDLIST1.SETTING2=B=2", "storedlistn=1", "storedlist1.setting1=A=1", "StoredList1.COUNT=2",
          "storedList1.name=x"},
         {"keep", "x"},
         {"A=1", "B=2"}},
        {"numbers with a leading zero or a sign are other keys",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=3", "StoredList01.Setting1=A=1",
          "StoredList1.Setting01=B=2", "StoredList1.Setting+2=C=3", "StoredList1.Setting3=D=4"},
         {"keep", "x"},
         {"D=4"}},
        {"lines without \"=\" name nothing",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList1.Count=2", "StoredList1.Setting1",
          "StoredList1.Setting2=B=2"},
         {"keep", "x"},
         {"B=2"}},
        {"sets beyond the count are not read",
         {"StoredListN=1", "StoredList1.Name=x", "StoredList2.Name=y", "StoredList2.Count=1",
          "StoredList2.Setting1=A=1"},
         {"keep", "x"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TStoredSettingsList sets;
        AddSet(sets, "keep", {"K=1"});
        sets.LoadFromList(ListOf(c.lines), "StoredList", "Setting");
        std::vector<std::string> names;
        for (size_t i = 0; i < sets.Count(); ++i) names.push_back(sets.GetSettings(i).Name());
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(sets.GetSettings(0).Settings().Lines(), (std::vector<std::string>{"K=1"}));
        if (names.size() > 1) {
            EXPECT_EQ(sets.GetSettings(sets.Count() - 1).Settings().Lines(), c.newLines);
        }
    }
}

TEST(StoredSettingsList, NamesCompareAsciiLettersWithoutCase) {
    TStoredSettingsList sets;
    AddSet(sets, "Office", {});
    AddSet(sets, "\xC3\x84rger", {}); // "Ärger"
    EXPECT_EQ(sets.IndexOfName("OFFICE"), 0);
    EXPECT_EQ(sets.IndexOfName("office "), -1);
    EXPECT_EQ(sets.IndexOfName("\xC3\x84RGER"), 1);
    EXPECT_EQ(sets.IndexOfName("\xC3\xA4rger"), -1); // "ärger": not an ASCII letter
    EXPECT_EQ(sets.GetSettingsByName("office"), &sets.GetSettings(0));
    EXPECT_EQ(sets.GetSettingsByName("none"), nullptr);
}

TEST(StoredSettingsList, PositionsOutsideTheListAreReported) {
    TStoredSettingsList sets;
    AddSet(sets, "a", {});
    try {
        sets.GetSettings(1);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (1)");
    }
    EXPECT_THROW(sets.Delete(1), Exception);
    EXPECT_THROW(sets.SetSettings(2, std::make_unique<TStoredSettings>("b")), Exception);
    sets.SetSettings(0, std::make_unique<TStoredSettings>("b"));
    EXPECT_EQ(sets.GetSettings(0).Name(), "b");
    sets.Delete(0);
    EXPECT_EQ(sets.Count(), 0u);
}

TEST(StoredSettingsList, LoadReadsWhatSaveWroteUnderAnyNames) {
    const std::pair<const char*, const char*> prefixes[] = {
        {"StoredList", "Setting"}, {"L1", "Name"}, {"L", "Count"}, {"X.", ""}, {"", "S"},
    };
    for (const auto& [p, t] : prefixes) {
        SCOPED_TRACE(std::string(p) + "|" + t);
        TStoredSettingsList a;
        for (int i = 1; i <= 12; ++i) {
            std::vector<std::string> lines;
            for (int j = 1; j <= i; ++j) lines.push_back(Format("K%d=%d", j, i * j));
            AddSet(a, Format("set %d", i).c_str(), lines);
        }
        TVHashedStringList l(256);
        a.SaveToList(l, p, t);
        TStoredSettingsList b;
        b.LoadFromList(l, p, t);
        ASSERT_EQ(b.Count(), a.Count());
        for (size_t i = 0; i < a.Count(); ++i) {
            EXPECT_EQ(b.GetSettings(i).Name(), a.GetSettings(i).Name());
            EXPECT_EQ(b.GetSettings(i).Settings().Lines(), a.GetSettings(i).Settings().Lines());
        }
    }
}
