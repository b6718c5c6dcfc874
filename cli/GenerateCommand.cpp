// zarvo-cli generate: the generation engine for scripts and pipelines.
#include "cli/GenerateCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBCountryBlocks.h"
#include "mmdb/uMMDBValues.h"
#include "options/ZarvoSettings.h"
#include "support/ListFile.h"
#include "support/TextDecode.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli generate [OPTIONS] [RANGE...]

Turns IP ranges into address lines, one per line on standard output; the result
("N IPs generated.") goes to standard error. Ranges come from the arguments, from
-r FILE, or from standard input when neither is given. A range line is
[LABEL=]ADDRESS[/PREFIX[/SUBPREFIX]]; a line starting with ";" is a comment. A
line that is neither (the window passes over it) is named on standard error
with its source and number, and the run is refused: nothing is generated.
Range files and standard input may be UTF-8 or, with a byte-order mark, UTF-16;
they are read as a stream, and a line of more than 1048576 bytes (in UTF-16,
code units) is refused with its line number, as no range is that long.

)";

const char* const kEpilogue = R"(
Exit status: 0 on success, 1 when the run fails (a line that is no range, say) or
its output cannot be written (the message goes to standard error, and no result
line), 2 for bad options. A closed pipe (| head) ends the program quietly, by
SIGPIPE. SIGINT (Ctrl+C) and SIGTERM end it by the signal (130, 143) once the
temporary file of -o FILE is removed: an existing FILE stays as it was.

Examples:
  zarvo-cli generate 192.168.1.0/30
  zarvo-cli generate --total 1000 --random 10.0.0.0/8 > targets.txt
  zarvo-cli generate --usable --ports 22,80 -o hosts.csv --list-delimiter comma 10.1.0.0/24
  echo 'A=192.168.1.100/16/24' | zarvo-cli generate --names 'gw-%s-#' --digits 3
  zarvo-cli generate --country GeoLite2-Country.mmdb --total 10 --random 2a02::/16
  zarvo-cli generate --settings ~/.config/Zarvo2/zarvo2.ini --set "web servers"
  zarvo-cli generate --exclude 10.0.3.0/24 --unique 10.0.0.0/22 10.0.2.0/23
  zarvo-cli generate --count-only --ports 1-65535 10.0.0.0/12
  zarvo-cli generate --random --total 1000000 --seed 7 --shard 3/8 fd00::/32
)";

// Range lines are read as a stream: input without an end (< /dev/zero) costs no
// more than one line, and a line may be as long as a line of the settings file.
constexpr size_t kMaxRangeLine = kMaxSettingsLine;
static_assert(kMaxRangeLine == 1048576, "the help text names the cap");

void ReadRangeLines(const TTextLineReader::TSource& source, const std::string& name,
                    std::vector<std::string>& lines) {
    TTextLineReader reader(source, kMaxRangeLine);
    std::string line;
    for (;;) {
        switch (reader.Next(line)) {
        case TTextLineReader::TResult::Line:
            lines.push_back(line);
            break;
        case TTextLineReader::TResult::End:
            return;
        case TTextLineReader::TResult::TooLong:
            throw Exception(Format("zarvo-cli generate: %s, line %llu: line longer than %zu %s", name.c_str(),
                                   static_cast<unsigned long long>(reader.LineNumber()), kMaxRangeLine,
                                   reader.Encoding() == TTextEncoding::Utf8 ? "bytes" : "UTF-16 code units"));
        }
    }
}

void ReadRangeFile(const std::string& path, std::vector<std::string>& lines) {
    auto refuse = [&path](const std::string& reason) {
        throw Exception(
            Format("zarvo-cli generate: cannot read range file '%s': %s", path.c_str(), reason.c_str()));
    };
    std::string reason;
    const int fd = OpenInputFile(path, reason);
    if (fd < 0) refuse(reason);
    struct TClose {
        int Fd;
        ~TClose() { ::close(Fd); }
    } closer{fd};
    ReadRangeLines(
        [&](char* data, size_t size) -> size_t {
            for (;;) {
                const ssize_t got = ::read(fd, data, size);
                if (got >= 0) return static_cast<size_t>(got);
                if (errno != EINTR) refuse(std::strerror(errno));
            }
        },
        "range file '" + path + "'", lines);
}

// The settings file is refused at once, as range files are, when it is something the
// reading could wait on for ever (a FIFO without a writer) or that is no file; in the
// words of the settings file's own messages.
void CheckSettingsFile(const std::string& path) {
    std::string reason;
    const int fd = OpenInputFile(path, reason);
    if (fd < 0) throw Exception(Format("Cannot open file \"%s\". %s", path.c_str(), reason.c_str()));
    ::close(fd);
}

void ReadRangeStream(std::istream& in, std::vector<std::string>& lines) {
    ReadRangeLines(
        [&in](char* data, size_t size) {
            in.read(data, static_cast<std::streamsize>(size));
            const int error = StreamErrno(in);
            if (error != 0 || in.bad())
                throw Exception(Format("zarvo-cli generate: cannot read standard input: %s",
                                       std::strerror(error != 0 ? error : EIO)));
            return static_cast<size_t>(in.gcount());
        },
        "standard input", lines);
}

// A line in quotes for a message: its start only when it is long (a line may hold a
// megabyte), cut where a character starts.
std::string Quoted(std::string_view line) {
    constexpr size_t kShown = 80;
    if (line.size() <= kShown) return "'" + std::string(line) + "'";
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(line.substr(0, cut)) + "...' (" + std::to_string(line.size()) + " bytes)";
}

// A count given on the command line asks for that many addresses: one that is not a
// positive number is a mistake in the words. (The engine takes 0 or less as "none", and
// a settings file's count reaches it so; here "none" would be a run that does nothing
// and says it succeeded, and every address is asked for by leaving the count out.)
const std::string& CountText(const char* option, const std::string& text) {
    if (StrToInt(text) < 1)
        throw TUsageError(Format("%s takes a count of 1 or more, not '%s'", option, text.c_str()));
    return text;
}

} // namespace

void CheckSingleLineSettings(const TZarvoOptions& o, const std::string& settingsFile) {
    const std::pair<const char*, const std::string*> values[] = {
        {"NameTemplate", &o.NameTemplate},
        {"CounterSymbol", &o.CounterSymbol},
        {"NameCustomDelimiter", &o.NameCustomDelimiter},
    };
    for (const auto& [key, value] : values)
        if (value->find_first_of("\r\n") != std::string::npos)
            throw Exception(
                Format("zarvo-cli generate: settings file '%s': the value of %s holds a line break",
                       settingsFile.c_str(), key));
}

void CheckShardSeed(const TGenerateArgs& a, bool random) {
    if (a.Shard && random && !a.Seed)
        throw TUsageError("--shard with --random needs --seed: the shards must draw one random order");
}

std::vector<TOption> GenerateOptions(TGenerateArgs& a) {
    using K = TOptionKind;
    using V = const TOptionValue&;
    return {
        {.Section = "Ranges and counts:",
         .Short = "-r",
         .Long = "--ranges",
         .ValueName = "FILE",
         .Kind = K::Text,
         .Help =
             "read range lines from FILE, a regular file or a shell's pipe (<(...)), or \"-\" for standard "
             "input; repeatable",
         .Set = [&a](V v) { a.RangeFiles.push_back(v.Text); }},
        {.Long = "--total",
         .ValueName = "N",
         .Kind = K::IntText,
         .Help = "N addresses over all ranges (N from 1 up)",
         .Examples = {{"--total", "100"}},
         .Set =
             [&a](V v) {
                 if (a.EachCount) throw TUsageError("give only one of --total and --each");
                 a.TotalCount = CountText("--total", v.Text);
             }},
        {.Long = "--each",
         .ValueName = "N",
         .Kind = K::IntText,
         .Help =
             "N addresses from each range (N from 1 up); with neither --total nor --each, every address of "
             "every range",
         .Examples = {{"--each", "10"}},
         .Set =
             [&a](V v) {
                 if (a.TotalCount) throw TUsageError("give only one of --total and --each");
                 a.EachCount = CountText("--each", v.Text);
             }},
        {.Long = "--random", .Help = "random selection and order", .Set = [&a](V) { a.Random = true; }},
        {.Long = "--seed",
         .ValueName = "N",
         .Kind = K::UInt,
         .Help = "seed for a reproducible random run; without it the clock seeds each run",
         .Examples = {{"--seed", "42"}},
         .Set = [&a](V v) { a.Seed = v.Number; }},
        {.Long = "--usable",
         .Help = "only usable hosts: drop the first and last address",
         .Set = [&a](V) { a.Usable = true; }},
        {.Long = "--exclude",
         .ValueName = "MASK",
         .Kind = K::Text,
         .Help = "drop addresses matching a wildcard mask, or those of an address, CIDR block or A-B range; "
                 "repeatable",
         .Examples = {{"--exclude", "*.0", "--exclude", "*.255"}, {"--exclude", "10.0.0.0/24"}},
         .Set = [&a](V v) { a.Excludes.push_back(v.Text); }},
        {.Long = "--unique",
         .Help =
             "each address at most once where ranges overlap, where it first appears; counts count distinct "
             "addresses",
         .Set = [&a](V) { a.Unique = true; }},

        {.Section = "Line layout:",
         .Long = "--escape-ipv6",
         .Help = "write IPv6 addresses as [address]",
         .Set = [&a](V) { a.EscapeIPv6 = true; }},
        {.Long = "--ipv6-lower",
         .Help = "write IPv6 addresses in lower case, as RFC 5952 recommends (fd00::a, not FD00::A)",
         .Set = [&a](V) { a.LowerIPv6 = true; }},
        {.Long = "--ports",
         .ValueName = "LIST",
         .Kind = K::Text,
         .Help = "one line per port, as many as there are; the lines stream out as they are made",
         .Examples = {{"--ports", "80,3128-3130"}},
         .Set = [&a](V v) { a.Ports = v.Text; }},
        {.Long = "--names",
         .ValueName = "TEMPLATE",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "put a host name in front; %1..%8 stand for the address's parts, %s for the range's label",
         .Examples = {{"--names", "mail#.example.com"}, {"--names", "host-%3-%4"}},
         .Set = [&a](V v) { a.Names = v.Text; }},
        {.Long = "--counter-symbol",
         .ValueName = "S",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "text replaced by the counter (default \"#\")",
         .Set = [&a](V v) { a.CounterSymbol = v.Text; }},
        {.Long = "--first",
         .ValueName = "N",
         .Kind = K::IntText,
         .Help = "first counter value (default 1)",
         .Set = [&a](V v) { a.FirstCounter = v.Text; }},
        {.Long = "--step",
         .ValueName = "N",
         .Kind = K::IntText,
         .Help = "counter increment (default 1)",
         .Set = [&a](V v) { a.CounterStep = v.Text; }},
        {.Long = "--digits",
         .ValueName = "N",
         .Kind = K::IntText,
         .Help = "minimum counter digits, zero-padded (default 1)",
         .Set = [&a](V v) { a.CounterDigits = v.Text; }},
        {.Long = "--delimiter",
         .ValueName = "D",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "between name and address: whitespace (default), tab, comma, semicolon, or any other text",
         .Examples = {{"--delimiter", " | "}},
         .Set = [&a](V v) { a.Delimiter = v.Text; }},

        {.Section = "Country and settings:",
         .Long = "--country",
         .ValueName = "FILE.mmdb",
         .Kind = K::Text,
         .Help = "add the country code of each address from a MaxMind DB (GeoIP2/GeoLite2 country or city "
                 "database)",
         .Set = [&a](V v) { a.Country = v.Text; }},
        {.Long = "--field",
         .ValueName = "PATH",
         .Kind = K::Text,
         .SingleLine = true,
         .Help =
             "with --country, the column holds this value of each address's record instead of the country "
             "code (default country.iso_code): a path as \"lookup --field\" takes it and its value as it "
             "prints it (city.names.en, subdivisions.0.iso_code, location.latitude, "
             "autonomous_system_number, autonomous_system_organization, isp); empty when the record "
             "lacks it",
         .Examples = {{"--country", "GeoLite2-City.mmdb", "--field", "city.names.en"}},
         .Set =
             [&a](V v) {
                 ReadOptionValue([&] { return ParseMMDBFieldPath(v.Text); });
                 a.CountryField = v.Text;
             }},
        {.Long = "--only-country",
         .ValueName = "CC[,CC...]",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "with --country, keep only the addresses the database places in these countries (two-letter "
                 "codes separated by commas, any letter case; by country.iso_code, whatever --field shows): "
                 "the counts count them, and random order draws among them alone; a range that holds none "
                 "is named on standard error",
         .Examples = {{"--country", "GeoLite2-City.mmdb", "--only-country", "DE,AT", "--random", "--total",
                       "100", "0.0.0.0/0"}},
         .Set =
             [&a](V v) {
                 ReadOptionValue([&] { return ParseCountryCodes(v.Text, "--only-country"); });
                 a.OnlyCountries = v.Text;
             }},
        {.Long = "--settings",
         .ValueName = "FILE",
         .Kind = K::Text,
         .Help = "take the options of a settings file (zarvo2.ini, a regular file or a shell's pipe, "
                 "at most 64 MiB); options given here override them",
         .Set = [&a](V v) { a.SettingsFile = v.Text; }},
        {.Long = "--set",
         .ValueName = "NAME",
         .Kind = K::Text,
         .Help = "with --settings: the options of the named set NAME",
         .Examples = {{"--settings", "zarvo2.ini", "--set", "web servers"}},
         .Set = [&a](V v) { a.SetName = v.Text; }},

        {.Section = "Output:",
         .Short = "-o",
         .Long = "--output",
         .ValueName = "FILE",
         .Kind = K::Text,
         .Help = "write the lines to FILE instead of standard output; an existing FILE is replaced only "
                 "when the run succeeds",
         .Set = [&a](V v) { a.Output = v.Text; }},
        {.Long = "--list-delimiter",
         .ValueName = "D",
         .Kind = K::Choice,
         .Choices = ListDelimiterWords(),
         .Help =
             "in FILE, between lines: eol (CR LF, default), comma, semicolon; nothing follows the last line",
         .Set = [&a](V v) { a.ListDelimiter = static_cast<TListDelimiter>(v.Number); }},
        {.Long = "--count-only",
         .Help = "print the number of lines the run would make, and make none (exact; a run with masks or "
                 "--unique is walked without writing)",
         .Set = [&a](V) { a.CountOnly = true; }},
        {.Long = "--shard",
         .ValueName = "I/N",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "make share I of N (I from 1 to N) of the run's lines: its lines I, I+N, I+2N, ...; the N "
                 "shards of one run (the same options, and with --random the same --seed) hold its lines, "
                 "each once, their sizes within one (docs/SCALE.md)",
         .Examples = {{"--shard", "3/8", "--seed", "42"}},
         .Set = [&a](V v) { a.Shard = ReadOptionValue([&] { return ParseShard(v.Text); }); }},
        {.Short = "-h", .Long = "--help", .Kind = K::Help, .Help = "this help"},
    };
}

std::string GenerateHelp() {
    TGenerateArgs unused;
    return kUsage + OptionsHelp(GenerateOptions(unused)) + kEpilogue;
}

TGenerateArgs ParseGenerateArgs(const std::vector<std::string>& args) {
    TGenerateArgs a;
    // A script may exclude thousands of blocks: their room is made once, not grown by copies.
    a.Excludes.reserve(static_cast<size_t>(std::count_if(
        args.begin(), args.end(), [](const std::string& w) { return w.starts_with("--exclude"); })));
    if (!ParseOptions(args, GenerateOptions(a),
                      [&a](const std::string& word) { a.Ranges.push_back(word); })) {
        a.Help = true;
        return a;
    }
    if (a.SetName && !a.SettingsFile) throw TUsageError("--set needs --settings FILE");
    if (a.CountOnly && !a.Output.empty()) throw TUsageError("--count-only makes no lines for -o FILE");
    CheckShardSeed(a, a.Random);
    return a;
}

void TRangeOrigins::Add(size_t first, std::string source, const char* unit) {
    FRuns.push_back(TRun{first, std::move(source), unit});
}

std::string TRangeOrigins::Name(size_t index) const {
    // The last run that starts at or before the line (a run of no lines is passed over).
    const auto run = std::upper_bound(FRuns.begin(), FRuns.end(), index,
                                      [](size_t i, const TRun& r) { return i < r.First; });
    if (run == FRuns.begin()) return "range line " + std::to_string(index + 1);
    const TRun& r = *(run - 1);
    if (!r.Unit) return r.Source;
    return r.Source + ", " + r.Unit + " " + std::to_string(index - r.First + 1);
}

namespace {

// The range lines of the arguments, the range files and standard input, in that order,
// over the settings file's; or standard input's when there are none at all.
void GatherRanges(const TGenerateArgs& a, std::istream& in, std::vector<std::string>& lines,
                  TRangeOrigins& origins) {
    if (a.Ranges.empty() && a.RangeFiles.empty() && !lines.empty()) {
        origins.Add(0, "settings file '" + a.SettingsFile.value_or("") + "'", "range line");
        return;
    }
    if (!a.Ranges.empty() || !a.RangeFiles.empty()) {
        // A word holding line breaks holds several ranges, as the window's range
        // lines would: a break inside a label must not split an output line.
        lines.clear();
        for (size_t k = 0; k < a.Ranges.size(); ++k) {
            std::vector<std::string> split = SplitLines(a.Ranges[k]);
            origins.Add(lines.size(), "argument " + std::to_string(k + 1),
                        split.size() > 1 ? "line" : nullptr);
            for (std::string& line : split) lines.push_back(std::move(line));
        }
    }
    for (const std::string& f : a.RangeFiles) {
        if (f == "-") {
            origins.Add(lines.size(), "standard input", "line");
            ReadRangeStream(in, lines);
        } else {
            origins.Add(lines.size(), "range file '" + f + "'", "line");
            ReadRangeFile(f, lines);
        }
    }
    if (a.Ranges.empty() && a.RangeFiles.empty()) {
        origins.Add(0, "standard input", "line");
        ReadRangeStream(in, lines);
    }
}

} // namespace

TZarvoOptions BuildGenerateOptions(TGenerateArgs& a, std::istream& in, TRangeOrigins* origins) {
    TRangeOrigins unusedOrigins;
    // The command line builds the same option set as the window and copies it into
    // the engine through the same checks; a settings file, when given, is the base.
    TZarvoOptions opt;
    if (a.SettingsFile) {
        CheckSettingsFile(*a.SettingsFile);
        LoadOptionsFromSettingsFile(*a.SettingsFile, a.SetName.value_or(""), opt);
        CheckSingleLineSettings(opt, *a.SettingsFile);
    }
    // Flags given on the command line override the file's values.
    if (a.TotalCount) {
        opt.Mode = gcTotalCount;
        opt.TotalCount = *a.TotalCount;
    } else if (a.EachCount) {
        opt.Mode = gcForEach;
        opt.EachCount = *a.EachCount;
    }
    opt.Random |= a.Random;
    opt.UsableHosts |= a.Usable;
    opt.Unique |= a.Unique;
    opt.EscapeIPv6 |= a.EscapeIPv6;
    opt.LowerIPv6 |= a.LowerIPv6;
    if (!a.Excludes.empty()) {
        opt.Exclude = true;
        opt.ExcludeMasks = std::move(a.Excludes);
    }
    if (a.Ports) {
        opt.AddPort = true;
        opt.Ports = *a.Ports;
    }
    if (a.Names) {
        opt.GenerateNames = true;
        opt.NameTemplate = *a.Names;
    }
    if (a.CounterSymbol) opt.CounterSymbol = *a.CounterSymbol;
    if (a.FirstCounter) opt.FirstCounter = *a.FirstCounter;
    if (a.CounterStep) opt.CounterStep = *a.CounterStep;
    if (a.CounterDigits) opt.CounterDigits = *a.CounterDigits;
    if (a.Delimiter) {
        static const char* const kNames[] = {"whitespace", "tab", "comma", "semicolon"};
        opt.NameDelimiter = ndCustom;
        opt.NameCustomDelimiter = *a.Delimiter;
        for (int i = 0; i < 4; ++i)
            if (*a.Delimiter == kNames[i]) opt.NameDelimiter = static_cast<TNameDelimiter>(i);
    }
    if (a.Country) {
        opt.ResolveCountry = true;
        opt.MMDBFilePath = *a.Country;
    }
    if (a.CountryField) opt.CountryField = *a.CountryField;
    if (a.OnlyCountries) opt.OnlyCountries = *a.OnlyCountries;
    opt.Append = false;
    GatherRanges(a, in, opt.IPRanges, origins ? *origins : unusedOrigins);
    return opt;
}

namespace {

// Where a run's lines on standard output could be cut back to: the offset of a regular
// file that standard output writes to (not in append mode, where the end may move
// under it); -1 for a pipe, a terminal, or a stream of the caller's.
off_t TakeBackStart(std::ostream& out) {
    out.flush(); // the offset then counts everything written before
    const int fd = StreamFd(out);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0) return -1;
    return ::lseek(fd, 0, SEEK_CUR);
}

// Cuts standard output's file back to start, so that a failed run leaves it as it was;
// says so on err when it cannot.
void TakeBack(std::ostream& out, off_t start, std::ostream& err) {
    out.flush();
    const int fd = StreamFd(out);
    if (::ftruncate(fd, start) != 0 || ::lseek(fd, start, SEEK_SET) != start)
        err << "zarvo-cli generate: cannot take the lines back from standard output: " << std::strerror(errno)
            << "\n";
}

} // namespace

TGenerateRequest MakeCliRequest(const TGenerateArgs& a, TZarvoOptions opt, TLineSink stream,
                                std::ostream& err, const TRangeOrigins& origins) {
    // The range lines move into the request: millions of them are not held twice.
    TGenerateRequest request = MakeGenerateRequest(std::move(opt));
    request.RandomSeed = a.Seed;
    request.Shard = a.Shard.value_or(TShard{});
    request.CountOnly = a.CountOnly;
    // A line that is no range would be passed over without a word: each is named, and
    // the run made of the others is refused rather than taken for the whole list.
    request.OnNoRanges = [&err, &origins](const std::vector<std::string>& lines,
                                          std::span<const size_t> noRanges) {
        for (const size_t i : noRanges)
            err << "zarvo-cli generate: " << origins.Name(i) << ": " << Quoted(lines[i]) << " is no range\n";
        throw Exception(Format("zarvo-cli generate: %zu %s no range; nothing was generated", noRanges.size(),
                               noRanges.size() == 1 ? "line holds" : "lines hold"));
    };
    // Streamed lines cost no memory however many they are: no budget then. Held ones
    // keep the engine's budget, so that too many end in its message.
    if (stream) {
        request.LineSink = std::move(stream);
        request.MemoryBudget = 0;
    }
    return request;
}

namespace {

// Names on err the range lines (places in the request's lines) that hold no address of
// the countries of --only-country: the first ten, then how many more.
void ReportRangesWithoutKept(const std::vector<size_t>& places, const TGenerateRequest& request,
                             const TRangeOrigins& origins, std::ostream& err) {
    constexpr size_t kNamed = 10;
    std::string codes;
    for (const std::string& c : request.OnlyCountries) codes += (codes.empty() ? "" : ",") + c;
    for (size_t k = 0; k < places.size() && k < kNamed; ++k)
        err << "zarvo-cli generate: " << origins.Name(places[k]) << ": "
            << Quoted(request.IPRanges[places[k]]) << " holds no address in " << codes << "\n";
    if (places.size() > kNamed)
        err << "zarvo-cli generate: " << places.size() - kNamed << " more range lines hold no address in "
            << codes << "\n";
}

} // namespace

int RunGeneration(const TGenerateArgs& a, TZarvoOptions opt, std::ostream& out, std::ostream& err,
                  const TRangeOrigins& origins) {
    TZarvoUtils utils(nullptr);
    std::string result;
    std::unique_ptr<TListFileWriter> file;
    off_t takeBack = -1;
    try {
        // Lines are written as they are made. A file is replaced only once the run is
        // complete (Close), so a run that fails, up front or part-way, leaves an
        // existing file as it was. With the country column a run can fail part-way on
        // a bad database: standard output on a regular file is then cut back to where
        // the run began (TakeBack); other standard output cannot take lines back, so
        // there the lines are held until the run is complete. The file is opened with the
        // first lines, so a run refused up front reports its own error first.
        // Standard output is checked after every chunk (WriteLines): a run whose
        // lines are lost stops there, and reports no result.
        auto openFile = [&] {
            if (!file)
                file = std::make_unique<TListFileWriter>(
                    a.Output, ListDelimiter(a.ListDelimiter.value_or(ldEndOfLine)));
        };
        auto write = [&](const TStringList& lines) {
            if (a.Output.empty()) {
                WriteLines(lines, out);
                return;
            }
            openFile();
            file->Write(lines);
        };
        // A regular file on standard output can be cut back to where the run began: the
        // lines stream there too, and a run that fails has them taken back.
        const off_t start = opt.ResolveCountry && a.Output.empty() ? TakeBackStart(out) : -1;
        const bool hold = opt.ResolveCountry && a.Output.empty() && start < 0;
        const TGenerateRequest request =
            MakeCliRequest(a, std::move(opt), hold ? TLineSink() : TLineSink(write), err, origins);
        takeBack = start; // only once the options have been taken
        utils.PerformGenerateIPList(request, result);
        ReportRangesWithoutKept(utils.LinesWithoutKept(), request, origins, err);
        if (a.CountOnly) {
            out << utils.LineCount() << "\n";
            CheckOutput(out);
            return 0;
        }
        if (hold) write(utils.IPList());
        if (a.Output.empty()) {
            CheckOutput(out);
        } else {
            openFile();
            file->Close();
        }
    } catch (const TOutputError&) {
        throw;
    } catch (const std::exception& e) {
        // -o /dev/stdout into a closed pipe: as for standard output, nothing to report.
        if (file && file->Error() == EPIPE) return kExitBrokenPipe;
        if (takeBack >= 0) TakeBack(out, takeBack, err);
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    err << result << "\n";
    return 0;
}

int RunGenerate(const std::vector<std::string>& words, std::istream& in, std::ostream& out,
                std::ostream& err) {
    TGenerateArgs args;
    try {
        args = ParseGenerateArgs(words);
    } catch (const TUsageError& e) {
        return ReportUsageError(err, "generate", e.what());
    }
    if (args.Help) {
        out << GenerateHelp();
        return 0;
    }
    TZarvoOptions options;
    TRangeOrigins origins;
    try {
        options = BuildGenerateOptions(args, in, &origins);
    } catch (const std::exception& e) {
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    try {
        // A settings file may ask for random order too.
        CheckShardSeed(args, options.Random);
        // ... and give the database.
        if ((args.CountryField || args.OnlyCountries) && !options.ResolveCountry)
            throw TUsageError(args.CountryField ? "--field goes with --country"
                                                : "--only-country goes with --country");
    } catch (const TUsageError& e) {
        err << "zarvo-cli generate: " << e.what() << "\nRun 'zarvo-cli generate --help' for the options.\n";
        return 2;
    }
    return RunGeneration(args, std::move(options), out, err, origins);
}

} // namespace zarvo::cli
