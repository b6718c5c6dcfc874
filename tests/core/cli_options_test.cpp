// The option tables of zarvo-cli: every option in a table is documented by --help
// and taken by the parser, in each of its spellings, and its examples parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <utility>
#include <vector>

#include "cli/AggregateCommand.h"
#include "cli/GenerateCommand.h"
#include "cli/MmdbCommand.h"
#include "cli/RdnsCommand.h"
#include "cli/ViewCommand.h"
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
            // A choice's words each give their own result; one of them may be the default.
            std::vector<TArgs> chosen;
            for (const std::vector<std::string>& v : values) {
                const TArgs parsed = parse(Join(Join(base, {name}), v));
                if (o.Kind == TOptionKind::Help) {
                    EXPECT_TRUE(parsed.Help);
                } else if (o.Kind == TOptionKind::Choice) {
                    for (const TArgs& other : chosen) EXPECT_FALSE(parsed == other) << name << " " << v[0];
                    chosen.push_back(parsed);
                } else {
                    EXPECT_FALSE(parsed == plain) << name << " changes nothing";
                }
                if (!v.empty() && name == o.Long) { // --name=value
                    EXPECT_TRUE(parse(Join(base, {std::string(name) + "=" + v[0]})) == parsed) << name;
                }
            }
            if (!chosen.empty()) {
                EXPECT_LE(std::count(chosen.begin(), chosen.end(), plain), 1) << name << " changes nothing";
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

// Every command's table, with the fewest words the command needs besides an option.
const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> kTables = {
    {"generate",
     [](const std::string& c) {
         CheckTable(c, &GenerateOptions, &ParseGenerateArgs, {"--settings", "f"});
     }},
    {"mmdb", [](const std::string& c) { CheckTable(c, &MmdbOptions, &ParseMmdbArgs, {"db.mmdb"}); }},
    {"lookup",
     [](const std::string& c) {
         CheckTable(c, &LookupOptions, &ParseLookupArgs, {"db.mmdb", "1.2.3.4"});
     }},
    {"rdns", [](const std::string& c) { CheckTable(c, &RdnsOptions, &ParseRdnsArgs, {"hosts.txt"}); }},
    {"view", [](const std::string& c) { CheckTable(c, &ViewOptions, &ParseViewArgs, {"data.csv"}); }},
    {"aggregate",
     [](const std::string& c) { CheckTable(c, &AggregateOptions, &ParseAggregateArgs, {"list.txt"}); }},
};

// The commands "zarvo-cli --help" lists, in its order.
std::vector<std::string> Commands() {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCli({"--help"}, in, out, err), 0);
    std::istringstream help(out.str().substr(out.str().find("\nCommands:\n") + 11));
    std::vector<std::string> names;
    for (std::string line; std::getline(help, line) && !line.empty();)
        names.push_back(line.substr(2, line.find(' ', 2) - 2));
    return names;
}

TEST(CliOptions, EveryOptionIsDocumentedAndParsed) {
    for (const auto& [command, check] : kTables) check(command);
}

// A command added to the program comes with its table here.
TEST(CliOptions, EveryCommandHasItsTableChecked) {
    std::vector<std::string> checked;
    for (const auto& table : kTables) checked.push_back(table.first);
    EXPECT_EQ(Commands(), checked);
}

TEST(CliOptions, HelpHasItsFixedParts) {
    for (const std::string& command : Commands()) {
        const std::string help = FlatHelp(command);
        EXPECT_EQ(help.rfind("Usage: zarvo-cli " + command + " ", 0), 0u) << command;
        EXPECT_NE(help.find(" [OPTIONS] "), std::string::npos) << command;
        EXPECT_NE(help.find(" Exit status: 0 "), std::string::npos) << command;
        EXPECT_NE(help.find(" Example"), std::string::npos) << command;
    }
}

// The words are refused with exit code 2, the message and where to find the options,
// and nothing on standard output.
void ExpectUsageError(const std::vector<std::string>& args, const std::string& message) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCli(args, in, out, err), 2) << message;
    EXPECT_EQ(err.str(), "zarvo-cli " + args[0] + ": " + message + "\nRun 'zarvo-cli " + args[0] +
                             " --help' for the options.\n");
    EXPECT_EQ(out.str(), "");
}

// The file a command's words name: no file, two, or an empty name are worded alike by
// every command, with where to find the options.
TEST(CliOptions, TheFileWordMistakes) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"view"}, "give the file"},
        {{"view", "a", "b"}, "give one file"},
        {{"view", ""}, "the file name is empty"},
        {{"mmdb"}, "give the database file"},
        {{"mmdb", "a", "b"}, "give one database file"},
        {{"mmdb", ""}, "the database file name is empty"},
        {{"lookup"}, "give the database file"},
        {{"lookup", "", "1.2.3.4"}, "the database file name is empty"},
        {{"rdns", "a", "b"}, "give one input file"},
        {{"rdns", ""}, "the input file name is empty"},
    };
    for (const auto& [args, message] : cases) ExpectUsageError(args, message);
}

// Option values read by their parsers (the country column's, --shard): each mistake named,
// before any file is read.
TEST(CliOptions, CountryColumnMistakes) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"generate", "--country", "x.mmdb", "--only-country", "DE,D1", "10.0.0.0/30"},
         "--only-country takes two-letter country codes separated by commas, not 'D1'"},
        {{"generate", "--country", "x.mmdb", "--only-country", "DE,,FR", "10.0.0.0/30"},
         "--only-country takes two-letter country codes separated by commas, not ''"},
        {{"generate", "--country", "x.mmdb", "--only-country", "DEU", "10.0.0.0/30"},
         "--only-country takes two-letter country codes separated by commas, not 'DEU'"},
        {{"generate", "--country", "x.mmdb", "--field", "city..en", "10.0.0.0/30"},
         "the field path 'city..en' has an empty part"},
        {{"generate", "--only-country", "DE", "10.0.0.0/30"}, "--only-country goes with --country"},
        {{"generate", "--field", "city.names.en", "10.0.0.0/30"}, "--field goes with --country"},
        {{"mmdb", "--networks", "--country", "D-", "x.mmdb"},
         "--country takes two-letter country codes separated by commas, not 'D-'"},
        {{"lookup", "--field", ".city", "x.mmdb", "1.2.3.4"}, "the field path '.city' has an empty part"},
        {{"generate", "--shard", "3/2", "10.0.0.0/30"}, "--shard takes I/N: share I (1 to N) of N"},
        {{"rdns", "--shard", "0/2", "in.txt"}, "--shard takes I/N: share I (1 to N) of N"},
    };
    for (const auto& [args, message] : cases) ExpectUsageError(args, message);
}

} // namespace
