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

TEST(VHashedStringList, NumberedNamesAreTheKeysThatAreThere) {
    using Numbers = std::vector<uint32_t>;
    const TVHashedStringList l =
        ListOf({"Key9=a", "key2=b", "Key2=c", "Key=d", "KeyN=9", "Key0=e", "Key07=f", "Key+3=g", "Key4",
                "Key5x=h", "Key6 =i", "Key4294967295=j", "Key42949672950=k", "Key10=", "Keys1=l", "Ke1=m"});
    struct Case {
        uint32_t max;
        bool caseSensitive;
        Numbers numbers;
    } cases[] = {
        {UINT32_MAX, false, {2, 9, 10, 4294967295u}}, {9, false, {2, 9}}, {8, false, {2}}, {0, false, {}},
        {UINT32_MAX, true, {2, 9, 10, 4294967295u}},  {9, true, {2, 9}},
    };
    for (const Case& c : cases) {
        TVHashedStringList copy = l;
        copy.SetCaseSensitive(c.caseSensitive);
        EXPECT_EQ(copy.NumberedNames("Key", c.max), c.numbers) << c.max << " " << c.caseSensitive;
    }
    // Case-sensitive, "key2" is no key of "Key", but "Key2" still is.
    TVHashedStringList lower = ListOf({"key2=b"});
    lower.SetCaseSensitive(true);
    EXPECT_EQ(lower.NumberedNames("Key", 9), Numbers{});
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

TEST(VStringHash, MarksAndOldestItems) {
    TVStringHash h(1);
    h.Add("K", 1);
    h.AddOldest("K", 2, true); // behind 1
    h.AddOldest("L", 3);
    EXPECT_EQ(h.ValueOf("K"), 1);
    EXPECT_TRUE(h.Contains("K", 2));
    EXPECT_FALSE(h.Contains("K", 3));
    bool mark = true;
    EXPECT_TRUE(h.Delete("K", 1, &mark));
    EXPECT_FALSE(mark);
    EXPECT_EQ(h.ValueOf("K"), 2);
    EXPECT_TRUE(h.MarkOrAdd("L", 9)); // marks the item there
    EXPECT_TRUE(h.Delete("L", 3, &mark));
    EXPECT_TRUE(mark);
    EXPECT_FALSE(h.MarkOrAdd("M", 4)); // adds
    EXPECT_EQ(h.ValueOf("M"), 4);
    EXPECT_TRUE(h.Delete("K", 2, &mark));
    EXPECT_TRUE(mark);
    EXPECT_EQ(h.Count(), 1u);
}

TEST(VStringHash, KeysReadFromTheirOwner) {
    struct TKeys : IVStringHashKeys {
        std::vector<std::string> Keys;
        std::string_view KeyOf(const TVStringHash&, int32_t Value, std::string&) const override {
            return Keys[static_cast<size_t>(Value)];
        }
    } keys;
    TVStringHash h(2);
    h.SetKeySource(&keys);
    for (int i = 0; i < 3000; ++i) {
        keys.Keys.push_back(i % 3 ? Format("Key%d", i) : "Same");
        h.Add(keys.Keys.back(), i);
    }
    EXPECT_GT(h.Size(), 2u);
    EXPECT_EQ(h.ValueOf("Key1757"), 1757);
    EXPECT_EQ(h.ValueOf("Same"), 2997);
    EXPECT_TRUE(h.Delete("Same", 2997));
    EXPECT_FALSE(h.Delete("Key1757", 1758));
    EXPECT_EQ(h.ValueOf("Same"), 2994);
    EXPECT_EQ(h.ValueOf("Key3000"), -1);
}

namespace {

// The upkeep rules spelled out over an explicit list of items per index,
// newest first: the list must answer every lookup as this does.
class TIndexModel {
public:
    std::vector<std::string> Lines;
    bool AutoUpdate = true, CaseSensitive = false;

    bool Valid(bool byName) const { return FIndex[byName].Valid; }
    int32_t Lookup(bool byName, const std::string& s) {
        TIndex& x = FIndex[byName];
        if (!x.Valid) {
            x.Items.clear();
            std::string key;
            for (size_t i = 0; i < Lines.size(); ++i)
                if (KeyOf(byName, Lines[i], key))
                    x.Items.insert(x.Items.begin(), {key, static_cast<int32_t>(i)});
            x.Valid = true;
        }
        const std::string key = Upper(s);
        for (const auto& [k, v] : x.Items)
            if (k == key) return v;
        return -1;
    }
    void Invalidate() { FIndex[0].Valid = FIndex[1].Valid = false; }
    void Add(const std::string& s) {
        Lines.push_back(s);
        ForValid([&](bool byName, TIndex& x) {
            std::string key;
            if (KeyOf(byName, s, key))
                x.Items.insert(x.Items.begin(), {key, static_cast<int32_t>(Lines.size() - 1)});
        });
    }
    void Put(size_t i, const std::string& s) {
        if (Lines[i] == s) return;
        ForValid([&](bool byName, TIndex& x) {
            std::string key;
            if (KeyOf(byName, Lines[i], key)) Remove(x, key, static_cast<int32_t>(i));
            if (KeyOf(byName, s, key)) x.Items.insert(x.Items.begin(), {key, static_cast<int32_t>(i)});
        });
        Lines[i] = s;
    }
    void Delete(size_t i) {
        ForValid([&](bool byName, TIndex& x) {
            std::string key;
            if (KeyOf(byName, Lines[i], key)) Remove(x, key, static_cast<int32_t>(i));
            for (auto& item : x.Items)
                if (item.second > static_cast<int32_t>(i)) --item.second;
        });
        Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void SetValue(const std::string& name, const std::string& value) {
        const int32_t i = Lookup(true, name);
        if (!value.empty())
            i < 0 ? Add(name + "=" + value) : Put(static_cast<size_t>(i), name + "=" + value);
        else if (i >= 0)
            Delete(static_cast<size_t>(i));
    }

private:
    struct TIndex {
        bool Valid = false;
        std::vector<std::pair<std::string, int32_t>> Items;
    };
    std::string Upper(std::string s) const {
        if (!CaseSensitive)
            for (char& c : s) c = AsciiUpper(c);
        return s;
    }
    bool KeyOf(bool byName, const std::string& line, std::string& key) const {
        const size_t eq = line.find('=');
        if (byName && eq == std::string::npos) return false;
        key = Upper(byName ? line.substr(0, eq) : line);
        return true;
    }
    static void Remove(TIndex& x, const std::string& key, int32_t v) {
        for (auto it = x.Items.begin(); it != x.Items.end(); ++it) {
            if (it->first == key && it->second == v) {
                x.Items.erase(it);
                return;
            }
        }
    }
    template <typename F> void ForValid(F f) {
        if (!AutoUpdate) {
            Invalidate();
            return;
        }
        for (const bool byName : {false, true})
            if (FIndex[byName].Valid) f(byName, FIndex[byName]);
    }
    TIndex FIndex[2];
};

} // namespace

// Few names, so that most lines share theirs: a rebuild then indexes only the
// last line of each name, and deleting or replacing it must bring forward the
// one a full index would.
TEST(VHashedStringList, EqualNamesFollowTheUpkeepRulesThroughAnyMixOfChanges) {
    const std::vector<std::string> names = {"A", "a", "B", "", "Ab", "x=y"};
    const std::vector<std::string> pool = {"A=1", "a=2", "A=1", "B=", "=3", "Ab=A=1", "A", "x", ""};
    std::mt19937 rng(3);
    auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
    TVHashedStringList l(4);
    TIndexModel m;
    for (int step = 0; step < 6000; ++step) {
        const size_t n = l.Count();
        const auto op = rng() % 20;
        SCOPED_TRACE(Format("step %d op %d", step, static_cast<int>(op)));
        if (op < 5 || n < 2) {
            const std::string s = pick(pool);
            l.Add(s);
            m.Add(s);
        } else if (op < 9) {
            const size_t i = rng() % n;
            const std::string s = pick(pool);
            l.Put(i, s);
            m.Put(i, s);
        } else if (op < 13 || n > 40) {
            const size_t i = rng() % n;
            l.Delete(i);
            m.Delete(i);
        } else if (op < 15) {
            const std::string name = pick(names), value = rng() % 3 ? "v" : "";
            l.SetValue(name, value);
            m.SetValue(name, value);
        } else if (op == 15) {
            const size_t i = rng() % n, j = rng() % n;
            l.Exchange(i, j);
            std::swap(m.Lines[i], m.Lines[j]);
            m.Invalidate();
        } else if (op == 16) {
            const size_t i = rng() % n;
            const std::string s = pick(pool);
            l.Insert(i, s);
            m.Lines.insert(m.Lines.begin() + static_cast<std::ptrdiff_t>(i), s);
            m.Invalidate();
        } else if (op == 17) {
            m.AutoUpdate = !m.AutoUpdate;
            l.SetAutoUpdateHash(m.AutoUpdate);
        } else if (op == 18 && rng() % 8 == 0) {
            m.CaseSensitive = !m.CaseSensitive;
            l.SetCaseSensitive(m.CaseSensitive);
            m.Invalidate();
        } else {
            continue; // lookups only, below
        }
        ASSERT_EQ(l.Lines(), m.Lines);
        ASSERT_EQ(l.NameHashValid(), m.Valid(true));
        ASSERT_EQ(l.ValueHashValid(), m.Valid(false));
        // Every few steps the lookups (which rebuild) wait, so that changes
        // also meet indexes several changes old.
        if (rng() % 3 == 0) continue;
        for (const std::string& name : names) ASSERT_EQ(l.IndexOfName(name), m.Lookup(true, name)) << name;
        for (const std::string& line : pool) ASSERT_EQ(l.IndexOf(line), m.Lookup(false, line)) << line;
    }
}

TEST(VHashedStringList, LinesOfAnyLengthAndLinesOfTheListItself) {
    const std::string L = "Long=" + std::string((size_t{1} << 24) + 3, 'x');
    // The lines, with the long one written as "L".
    auto shape = [&](const TVHashedStringList& l) {
        std::vector<std::string> out;
        for (size_t i = 0; i < l.Count(); ++i) out.push_back(l[i] == L ? "L" : std::string(l[i]));
        return out;
    };
    TVHashedStringList l(16);
    l.Add("A=1");
    l.Add(L);
    l.Add("B=2");
    EXPECT_EQ(l[1].size(), L.size());
    EXPECT_EQ(l.GetValue("long").size(), L.size() - 5);
    // Arguments that are the list's own lines, while it grows or packs its text.
    l.Add(l[0]);
    l.Insert(0, l[2]);
    l.Put(1, l[2]);
    l.SetValue(l.Names(3), l[3]);
    EXPECT_EQ(shape(l), (std::vector<std::string>{"B=2", "L", "L", "B=B=2", "A=1"}));
    for (int i = 0; i < 200; ++i) l.Put(4, Format("A=%d", i)); // replaced text is reclaimed
    l.Delete(1);
    EXPECT_EQ(shape(l), (std::vector<std::string>{"B=2", "L", "B=B=2", "A=199"}));
    EXPECT_EQ(l.GetValue("A"), "199");
    EXPECT_EQ(l.IndexOfName("B"), 2);

    // Taken as the list's text: a long line is kept, lines the filter refuses are not.
    l.AssignText("a=1\r\nno name\n\n" + L + "\rb=2",
                 [](std::string_view s) { return s.find('=') != std::string_view::npos; });
    EXPECT_EQ(shape(l), (std::vector<std::string>{"a=1", "L", "b=2"}));
    EXPECT_EQ(l.GetValue("B"), "2");
    l.Put(0, "a=9");
    l.Put(2, "b=3");
    EXPECT_EQ(shape(l), (std::vector<std::string>{"a=9", "L", "b=3"}));
    TVHashedStringList moved = std::move(l);
    EXPECT_EQ(moved.GetValue("A"), "9");
    moved.Delete(0);
    EXPECT_EQ(moved.IndexOfName("b"), 1);
}
