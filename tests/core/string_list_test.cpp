#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/StringList.h"

namespace zarvo {
namespace {

std::vector<std::string> Lines(const TStringList& l) {
    std::vector<std::string> r;
    for (size_t i = 0; i < l.Count(); ++i) r.emplace_back(l[i]);
    return r;
}

// AddLines gives what Add gives line by line, for lines in order (whose text goes
// over at once) and for lines moved about, into an empty list or after lines.
TEST(StringList, AddLinesIsAddOneByOne) {
    TStringList from;
    for (const std::string& s : {std::string("a"), std::string(), std::string("10.0.0.1 DE"),
                                 std::string("bb"), std::string(5000, 'x')})
        from.Add(s);
    TStringList moved = from;
    moved.Exchange(1, 3);
    for (const TStringList* source : {&from, &moved})
        for (size_t at = 0; at <= source->Count(); ++at)
            for (size_t n = 0; at + n <= source->Count(); ++n)
                for (bool before : {false, true}) {
                    TStringList got, want;
                    if (before) {
                        got.Add("first");
                        want.Add("first");
                    }
                    got.AddLines(*source, at, n);
                    for (size_t i = at; i < at + n; ++i) want.Add((*source)[i]);
                    EXPECT_EQ(Lines(got), Lines(want)) << at << "+" << n;
                    EXPECT_EQ(got.TextSize(), want.TextSize());
                    EXPECT_EQ(got.LinesSize(), want.LinesSize());
                    EXPECT_EQ(source->LinesCost(at, n),
                              want.LinesSize() - (before ? TStringList::LineCost(5) : 0));
                }
}

} // namespace
} // namespace zarvo
