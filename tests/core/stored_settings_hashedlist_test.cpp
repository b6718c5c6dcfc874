// The hashed name=value list: lookups through its indexes, and the index upkeep
// on append, replace, insert and delete.
#include <gtest/gtest.h>

#include <random>

#include "support/VHashedStringList.h"
#include "support/ZarvoText.h"

using namespace zarvo;

namespace {

TVHashedStringList ListOf(std::initializer_list<const char*> lines) {
    TVHashedStringList l(256);
    for (const char* s : lines) l.Add(s);
    return l;
}

// Every line must be found at its own position, by whole text and by name.
void ExpectIndexesMatchLines(const TVHashedStringList& l) {
    for (size_t i = 0; i < l.Count(); ++i) {
        EXPECT_EQ(l.IndexOf(l[i]), static_cast<int32_t>(i)) << l[i];
        if (l[i].find('=') != std::string::npos) {
            EXPECT_EQ(l.IndexOfName(l.Names(i)), static_cast<int32_t>(i)) << l[i];
        }
    }
}

} // namespace

TEST(VStringHash, HashOverUtf16CodeUnits) {
    TVStringHash h(256);
    EXPECT_EQ(h.HashString(""), 0u);
    EXPECT_EQ(h.HashString("AB"), 0x146u);
    EXPECT_EQ(h.HashString("IPRANGE1"), 0x165fd5u);
    // U+00E9 is one unit, U+1F600 a surrogate pair.
    EXPECT_EQ(h.HashString("\xC3\xA9\xF0\x9F\x98\x80"), 0x3b064u);
}

TEST(VStringHash, ChainsKeepDuplicatesAndDeleteExactly) {
    TVStringHash h(1); // one bucket: every key shares a chain
    h.Add("K", 1);
    h.Add("L", 2);
    h.Add("K", 3);
    EXPECT_EQ(h.ValueOf("K"), 3); // the newest item heads the chain
    EXPECT_EQ(h.ValueOf("k"), -1);
    EXPECT_FALSE(h.Delete("K", 2));
    EXPECT_TRUE(h.Delete("K", 3));
    EXPECT_EQ(h.ValueOf("K"), 1);
    h.DecValues(1);
    EXPECT_EQ(h.ValueOf("K"), 1);
    EXPECT_EQ(h.ValueOf("L"), 1);
    h.IncValues(0);
    EXPECT_EQ(h.ValueOf("K"), 2);
    EXPECT_EQ(h.ValueOf("L"), 2);
    h.Clear();
    EXPECT_EQ(h.ValueOf("K"), -1);
}

TEST(VStringHash, GrowingKeepsTheNewestOfEqualKeysFirst) {
    TVStringHash h(2);
    for (int i = 0; i < 3000; ++i) {
        h.Add("K", i);
        h.Add(Format("StoredList%d.Setting%d", i % 50, i), i);
    }
    EXPECT_GT(h.Size(), 2u);
    EXPECT_EQ(h.ValueOf("K"), 2999);
    EXPECT_TRUE(h.Delete("K", 2999));
    EXPECT_EQ(h.ValueOf("K"), 2998);
    EXPECT_EQ(h.ValueOf("StoredList7.Setting1757"), 1757);
    EXPECT_EQ(h.ValueOf("StoredList8.Setting1757"), -1);
}

TEST(VHashedStringList, NamesIgnoreCaseAndTheLastDuplicateWins) {
    TVHashedStringList l = ListOf({"A=1", "a=2"});
    EXPECT_EQ(l.GetValue("A"), "2");
    EXPECT_EQ(l.IndexOfName("a"), 1);
    EXPECT_EQ(l.IndexOf("A=2"), 1);
    EXPECT_EQ(l.IndexOf("A=3"), -1);
    // Only ASCII letters fold.
    TVHashedStringList u = ListOf({"\xC3\xA4=1"});
    EXPECT_EQ(u.IndexOfName("\xC3\x84"), -1);
    EXPECT_EQ(u.IndexOfName("\xC3\xA4"), 0);
    l.SetCaseSensitive(true);
    EXPECT_EQ(l.IndexOfName("A"), 0);
    EXPECT_EQ(l.IndexOfName("a"), 1);
}

TEST(VHashedStringList, ValuesReadAfterTheNameAndItsEqualsSign) {
    TVHashedStringList l = ListOf({"Setting1=Mode=2", "Empty=", "NoValue", "=bare"});
    EXPECT_EQ(l.GetValue("Setting1"), "Mode=2");
    EXPECT_EQ(l.GetValue("setting1"), "Mode=2");
    EXPECT_EQ(l.GetValue("Empty"), "");
    EXPECT_EQ(l.IndexOfName("Empty"), 1);
    EXPECT_EQ(l.IndexOfName("NoValue"), -1); // a line without "=" has no name
    EXPECT_EQ(l.IndexOfName(""), 3);
    EXPECT_EQ(l.GetValue(""), "bare");
    EXPECT_EQ(l.GetValue("Missing"), "");
}

TEST(VHashedStringList, WritingValuesKeepsPositionsAndNeverStoresEmptyValues) {
    TVHashedStringList l = ListOf({"Random=1", "Ports=80", "Mode=2"});
    l.SetValue("Ports", "");
    EXPECT_EQ(l.Lines(), (std::vector<std::string>{"Random=1", "Mode=2"}));
    l.SetValue("Ports", "");
    EXPECT_EQ(l.Count(), 2u);
    l.SetValue("Ports", "80");
    l.SetValue("random", "0"); // replaced where it stands, under the name written now
    EXPECT_EQ(l.Lines(), (std::vector<std::string>{"random=0", "Mode=2", "Ports=80"}));
    EXPECT_EQ(l.GetValue("PORTS"), "80");

    l.SetKeepEmptyValues(true);
    l.SetValue("Mode", "");
    l.SetValue("New", "");
    EXPECT_EQ(l.Lines(), (std::vector<std::string>{"random=0", "Mode=", "Ports=80", "New="}));
}

TEST(VHashedStringList, DeletingALineMovesTheIndexesOfTheLinesAfterIt) {
    TVHashedStringList l = ListOf({"K1=a", "K2=b", "K3=c", "K4=d", "K5=e"});
    EXPECT_EQ(l.IndexOfName("K5"), 4); // builds the name index
    EXPECT_EQ(l.IndexOf("K4=d"), 3);   // and the value index
    l.Delete(1);
    EXPECT_TRUE(l.NameHashValid());
    EXPECT_TRUE(l.ValueHashValid());
    EXPECT_EQ(l.IndexOfName("K5"), 3);
    EXPECT_EQ(l.IndexOfName("K2"), -1);
    EXPECT_EQ(l.IndexOf("K2=b"), -1);
    ExpectIndexesMatchLines(l);
}

TEST(VHashedStringList, ReplacingALineUpdatesBothIndexes) {
    TVHashedStringList l = ListOf({"A=1", "B=2", "C=3"});
    ASSERT_EQ(l.IndexOfName("B"), 1);
    ASSERT_EQ(l.IndexOf("B=2"), 1);
    l.Put(1, "D=4");
    EXPECT_TRUE(l.NameHashValid());
    EXPECT_EQ(l.IndexOfName("B"), -1);
    EXPECT_EQ(l.IndexOfName("D"), 1);
    EXPECT_EQ(l.IndexOf("B=2"), -1);
    l.Put(2, "no name now");
    EXPECT_EQ(l.IndexOfName("C"), -1);
    EXPECT_EQ(l.IndexOf("NO NAME NOW"), 2);
    l.Put(2, "no name now"); // identical text: nothing changes
    ExpectIndexesMatchLines(l);
}

TEST(VHashedStringList, WhichChangesKeepTheIndexes) {
    struct Case {
        const char* what;
        bool autoUpdate;
        void (*change)(TVHashedStringList&);
        bool stayValid;
    };
    const Case cases[] = {
        {"append", true, [](TVHashedStringList& l) { l.Add("E=5"); }, true},
        {"insert at the end", true, [](TVHashedStringList& l) { l.Insert(l.Count(), "E=5"); }, true},
        {"replace", true, [](TVHashedStringList& l) { l.Put(0, "Z=0"); }, true},
        {"delete", true, [](TVHashedStringList& l) { l.Delete(0); }, true},
        {"insert in the middle", true, [](TVHashedStringList& l) { l.Insert(1, "E=5"); }, false},
        {"exchange", true, [](TVHashedStringList& l) { l.Exchange(0, 2); }, false},
        {"clear", true, [](TVHashedStringList& l) { l.Clear(); }, false},
        {"assign", true, [](TVHashedStringList& l) { l.Assign({"X=1"}); }, false},
        {"append without upkeep", false, [](TVHashedStringList& l) { l.Add("E=5"); }, false},
        {"replace without upkeep", false, [](TVHashedStringList& l) { l.Put(0, "Z=0"); }, false},
        {"delete without upkeep", false, [](TVHashedStringList& l) { l.Delete(0); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TVHashedStringList l = ListOf({"A=1", "B=2", "C=3", "D=4"});
        l.SetAutoUpdateHash(c.autoUpdate);
        l.UpdateNameHash();
        l.UpdateValueHash();
        c.change(l);
        EXPECT_EQ(l.NameHashValid(), c.stayValid);
        EXPECT_EQ(l.ValueHashValid(), c.stayValid);
        ExpectIndexesMatchLines(l); // rebuilt where they were dropped
    }
}

TEST(VHashedStringList, IndexesStayRightThroughAnyMixOfChanges) {
    std::mt19937 rng(7);
    TVHashedStringList l(16); // few buckets, long chains
    int next = 0;
    for (int step = 0; step < 2000; ++step) {
        const unsigned op = rng() % 4;
        const std::string line = Format("Key%d=%d", next, next);
        ++next;
        if (op == 0 || l.Count() < 3) {
            l.Add(line);
        } else if (op == 1) {
            l.Put(rng() % l.Count(), line);
        } else if (op == 2) {
            l.Delete(rng() % l.Count());
        } else {
            l.Insert(rng() % l.Count(), line);
        }
        if (step % 50 == 0) ExpectIndexesMatchLines(l);
    }
    ExpectIndexesMatchLines(l);
}

TEST(VHashedStringList, IndexHashClassIsReplaceable) {
    struct TConstantHash : TVStringHash {
        using TVStringHash::TVStringHash;
        uint32_t HashString(std::string_view) const override { return 0; }
    };
    TVHashedStringList l = ListOf({"A=1", "B=2", "C=3"});
    l.SetHashClass(
        [](uint32_t size) -> std::unique_ptr<TVStringHash> { return std::make_unique<TConstantHash>(size); });
    EXPECT_EQ(l.GetValue("B"), "2");
    l.Delete(0);
    EXPECT_EQ(l.IndexOfName("C"), 1);
}

TEST(VHashedStringList, PositionsOutsideTheListAreReported) {
    TVHashedStringList l = ListOf({"A=1"});
    try {
        l.Delete(3);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (3)");
    }
    EXPECT_THROW(l.Put(1, "x"), Exception);
    EXPECT_THROW(l.Insert(2, "x"), Exception);
    EXPECT_THROW(l.Get(1), Exception);
}

TEST(VHashedStringList, CopiesBuildTheirOwnIndexes) {
    TVHashedStringList a = ListOf({"A=1", "B=2"});
    ASSERT_EQ(a.IndexOfName("B"), 1);
    TVHashedStringList b = a;
    b.Delete(0);
    EXPECT_EQ(b.IndexOfName("B"), 0);
    EXPECT_EQ(a.IndexOfName("B"), 1);
    a = b;
    EXPECT_EQ(a.IndexOfName("A"), -1);
    EXPECT_EQ(a.IndexOfName("B"), 0);
}
