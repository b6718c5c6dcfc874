// The option tables of zarvo-cli: every option in a table is documented by --help
// and taken by the parser, in each of its spellings, and its examples parse.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/GenerateCommand.h"
#include "cli/MmdbCommand.h"
#include "cli/ZarvoCli.h"

using namespace zarvo::cli;

namespace {

// The help with every run of blanks and line breaks made one blank, so that text
// wrapped across lines is found whole.
std::string FlatHelp(const std::string& command) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCli({command, "--help"}, in, out, err), 0);
    std::string flat;
    for (char c : out.str()) {
        const bool blank = c == ' ' || c == '\n';
        if (!(blank && !flat.empty() && flat.back() == ' ')) flat += blank ? ' ' : c;
    }
    return flat;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The value an example gives the option, or "v" when none does.
std::string SampleText(const TOption& o) {
    for (const std::vector<std::string>& example : o.Examples)
        for (size_t k = 0; k + 1 < example.size(); ++k)
            if (example[k] == o.Long) return example[k + 1];
    return "v";
}

// base: the fewest words the command needs besides the option under test.
template <typename TArgs>
void CheckTable(const std::string& command, std::vector<TOption> (*table)(TArgs&),
                TArgs (*parse)(const std::vector<std::string>&), const std::vector<std::string>& base) {
    const std::string help = FlatHelp(command);
    const TArgs plain = parse(base);
    TArgs unused;
    for (const TOption& o : table(unused)) {
        SCOPED_TRACE(command + " " + o.Long);
        std::string names = o.Short ? std::string(o.Short) + ", " + o.Long : std::string(o.Long);
        if (o.ValueName) names += std::string(" ") + o.ValueName;
        EXPECT_NE(help.find(" " + names + " " + o.Help), std::string::npos) << names;
        for (const std::string& c : o.Choices) EXPECT_NE(help.find(c), std::string::npos) << c;

        std::vector<std::vector<std::string>> values;
        switch (o.Kind) {
        case TOptionKind::Flag:
        case TOptionKind::Help:
            values = {{}};
            break;
        case TOptionKind::Text:
            // Any text, or for an option that reads its text (--shard I/N) the one of its example.
            values = {{SampleText(o)}};
            break;
        case TOptionKind::IntText:
        case TOptionKind::UInt:
            values = {{"7"}};
            break;
        case TOptionKind::Choice:
            for (const std::string& c : o.Choices) values.push_back({c});
            break;
        }
        for (const char* name : {o.Short, o.Long}) {
            if (!name) continue;
            for (const std::vector<std::string>& v : values) {
                const TArgs parsed = parse(Join(Join(base, {name}), v));
                if (o.Kind == TOptionKind::Help) {
                    EXPECT_TRUE(parsed.Help);
                } else {
                    EXPECT_FALSE(parsed == plain) << name << " changes nothing";
                }
                if (!v.empty() && name == o.Long) { // --name=value
                    EXPECT_TRUE(parse(Join(base, {std::string(name) + "=" + v[0]})) == parsed) << name;
                }
            }
        }
        if (o.Kind == TOptionKind::Choice) {
            EXPECT_THROW(parse(Join(base, {o.Long, "none"})), TUsageError);
        }
        if (o.Kind == TOptionKind::Text) {
            // An empty value names nothing; leaving the option out says "none".
            EXPECT_THROW(parse(Join(base, {o.Long, ""})), TUsageError);
            EXPECT_THROW(parse(Join(base, {std::string(o.Long) + "="})), TUsageError);
            // A line break would split an output line; file names may hold one.
            for (const char* broken : {"a\nb", "\r", "a\r\n"}) {
                if (o.SingleLine) {
                    EXPECT_THROW(parse(Join(base, {o.Long, broken})), TUsageError);
                } else {
                    EXPECT_NO_THROW(parse(Join(base, {o.Long, broken})));
                }
            }
        }
        for (const std::vector<std::string>& example : o.Examples) {
            EXPECT_FALSE(parse(Join(base, example)) == plain) << example[0];
        }
    }
}

TEST(CliOptions, EveryOptionIsDocumentedAndParsed) {
    CheckTable<TGenerateArgs>("generate", &GenerateOptions, &ParseGenerateArgs, {"--settings", "f"});
    CheckTable<TMmdbArgs>("mmdb", &MmdbOptions, &ParseMmdbArgs, {"db.mmdb"});
    CheckTable<TLookupArgs>("lookup", &LookupOptions, &ParseLookupArgs, {"db.mmdb", "1.2.3.4"});
}

TEST(CliOptions, HelpHasItsFixedParts) {
    for (const std::string command : {"generate", "mmdb", "lookup"}) {
        const std::string help = FlatHelp(command);
        EXPECT_EQ(help.rfind("Usage: zarvo-cli " + command + " [OPTIONS] ", 0), 0u) << command;
        EXPECT_NE(help.find(" Exit status: 0 "), std::string::npos) << command;
        EXPECT_NE(help.find(" Example"), std::string::npos) << command;
    }
}

} // namespace
