// zarvo-cli generate in three steps: the words to TGenerateArgs (ParseGenerateArgs),
// those and an optional settings file to the window's option set with its range
// lines (BuildGenerateOptions), and the run of the engine to the output
// (RunGeneration, over the request of MakeCliRequest). RunGenerate in ZarvoCli.h
// chains them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "options/ZarvoOptions.h"

namespace zarvo::cli {

// The command's words as given; unset means "not on the command line".
struct TGenerateArgs {
    bool Help = false;
    std::vector<std::string> Ranges, RangeFiles, Excludes;
    std::optional<std::string> TotalCount, EachCount; // integer text
    std::optional<uint64_t> Seed;
    bool Random = false, Usable = false, EscapeIPv6 = false, LowerIPv6 = false;
    std::optional<std::string> Ports, Names, CounterSymbol;
    std::optional<std::string> FirstCounter, CounterStep, CounterDigits; // integer text
    std::optional<std::string> Delimiter, Country, SettingsFile, SetName;
    std::optional<std::string> CountryField, OnlyCountries; // as given (checked)
    std::string Output;
    std::optional<TListDelimiter> ListDelimiter;
    bool Unique = false, CountOnly = false;
    std::optional<TShard> Shard;

    bool operator==(const TGenerateArgs&) const = default;
};

// Where the range lines came from, for the messages that name one: runs of lines, each
// from one source ("range file 'r.txt'", "standard input", "argument 2", a settings file).
class TRangeOrigins {
public:
    // The lines from first on come from source, the n-th of them called "UNIT n" (unit
    // "line", say), or by the source alone when unit is null.
    void Add(size_t first, std::string source, const char* unit);
    // "range file 'r.txt', line 3"; "range line N" for a line of no known source.
    std::string Name(size_t index) const;

private:
    struct TRun {
        size_t First;
        std::string Source;
        const char* Unit;
    };
    std::vector<TRun> FRuns;
};

// The option table of the command, each option storing into `into`.
std::vector<TOption> GenerateOptions(TGenerateArgs& into);
// The whole --help text.
std::string GenerateHelp();

// --shard with random order and no --seed: raises TUsageError, as the shards would
// each draw their own order.
void CheckShardSeed(const TGenerateArgs& args, bool random);

// Raises TUsageError (exit code 2). With Help set nothing after --help was read.
TGenerateArgs ParseGenerateArgs(const std::vector<std::string>& args);

// The settings file's options (when given) with the command line's over them, the
// range lines from the arguments, range files or standard input, each file read
// as a stream of lines of at most 1048576 bytes (TTextLineReader). Raises Exception
// with the message to show (exit code 1): a file that cannot be read, with the
// reason; a line over the cap, with its number; a settings value that would split
// an output line (CheckSingleLineSettings). origins, when given, learns where each range
// line came from. The exclude words move into the options (args.Excludes is left empty):
// a script may give ten thousand of them.
TZarvoOptions BuildGenerateOptions(TGenerateArgs& args, std::istream& in, TRangeOrigins* origins = nullptr);

// The values of a settings file that go into one output line (NameTemplate,
// CounterSymbol, NameCustomDelimiter) hold no CR or LF; raises Exception naming the
// key of the first one that does. (The command line refuses its own with exit 2.)
void CheckSingleLineSettings(const TZarvoOptions& options, const std::string& settingsFile);

// The engine's request of a run: the options (MakeGenerateRequest, whose errors it
// raises), the seed, and where the lines go: to stream in chunks, without a memory
// budget, or, without it, held in the engine's list under the engine's budget. A range
// line that is neither a range nor a comment is named on err (by origins) and the run
// is refused before any line is made; the request refers to err and origins.
TGenerateRequest MakeCliRequest(const TGenerateArgs& args, TZarvoOptions options, TLineSink stream,
                                std::ostream& err, const TRangeOrigins& origins);

// The engine over the options; lines to out or to the -o file, which is replaced
// only by a run that completes; the result text to err. Returns the exit code. A range
// line that is neither a range nor a comment fails the run before any line is made:
// each is named on err (by origins), then the count.
// A failure of out raises TOutputError (RunCli reports it), and no result is told.
int RunGeneration(const TGenerateArgs& args, TZarvoOptions options, std::ostream& out, std::ostream& err,
                  const TRangeOrigins& origins = {});

} // namespace zarvo::cli
