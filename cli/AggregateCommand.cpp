// zarvo-cli aggregate: reads address lists into range sets (net/RangeSet.h), combines
// them and prints the result as CIDR blocks, ranges or a count.
#include "cli/AggregateCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "net/RangeSet.h"
#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli aggregate [OPTIONS] [FILE...|-]

Reads address lists, one entry a line: an address (10.0.0.1, fd00::1), a CIDR
block (10.0.0.0/8; an address inside the block stands for the block) or a range
A-B of one family. Blank lines and comments after "#" are passed over. Prints
the fewest CIDR blocks that cover exactly the union of all the files' entries,
IPv4 first, then IPv6, each in address order; IPv6 as RFC 5952 writes it
(fd00::/16). Reads standard input when no FILE is given, and for "-". A line
that is none of these is named with its file and number, and nothing is printed.
Files may be UTF-8 or, with a byte-order mark, UTF-16.

)";

const char* const kEpilogue = R"(
Exit status: 0 on success, 1 when a line is no address, block or range, or a
file cannot be read (the messages go to standard error, and nothing to standard
output), 2 for bad options.

Examples:
  zarvo-cli aggregate blocklist.txt
  zarvo-cli aggregate --ranges a.txt b.txt
  zarvo-cli aggregate --count --except reserved.txt scan.txt
  cat *.cidr | zarvo-cli aggregate --common allowed.txt -
)";

// A line longer than this is no address, block or range: it is refused without
// being held whole.
constexpr size_t kMaxLine = 4096;
constexpr size_t kBatchLines = 4096;
constexpr size_t kBatchText = size_t{1} << 20;

int Usage(std::ostream& err, const std::string& message) {
    err << "zarvo-cli aggregate: " << message << "\nRun 'zarvo-cli aggregate --help' for the options.\n";
    return 2;
}

// A line in quotes for a message, cut when long.
std::string Quoted(std::string_view line) {
    constexpr size_t kShown = 80;
    if (line.size() <= kShown) return "'" + std::string(line) + "'";
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(line.substr(0, cut)) + "...' (" + std::to_string(line.size()) + " bytes)";
}

// Reads one source into a set; names each bad line on err. Returns false when a line
// was bad or the source could not be read to its end.
class TSetReader {
public:
    TSetReader(std::istream& in, std::ostream& err) : FIn(in), FErr(err) {}

    bool Read(const std::string& role, const std::string& file, TRangeSet& set) {
        if (file == "-")
            return ReadFrom(role.empty() ? "standard input" : role + " standard input", StdinSource(), set);
        const std::string name = (role.empty() ? "file '" : role + " file '") + file + "'";
        std::string reason;
        const int fd = OpenInputFile(file, reason);
        if (fd < 0) {
            Say("cannot read " + name + ": " + reason);
            return false;
        }
        struct TClose {
            int Fd;
            ~TClose() { ::close(Fd); }
        } closer{fd};
        return ReadFrom(
            name,
            [fd](char* data, size_t size) -> size_t {
                for (;;) {
                    const ssize_t got = ::read(fd, data, size);
                    if (got >= 0) return static_cast<size_t>(got);
                    if (errno != EINTR) throw Exception(std::strerror(errno));
                }
            },
            set);
    }

private:
    TTextLineReader::TSource StdinSource() {
        return [this](char* data, size_t size) {
            FIn.read(data, static_cast<std::streamsize>(size));
            const int error = StreamErrno(FIn);
            if (error != 0 || FIn.bad()) throw Exception(std::strerror(error != 0 ? error : EIO));
            return static_cast<size_t>(FIn.gcount());
        };
    }

    void Say(const std::string& message) { FErr << "zarvo-cli aggregate: " << message << "\n"; }

    bool ReadFrom(const std::string& name, const TTextLineReader::TSource& source, TRangeSet& set) {
        TTextLineReader reader(source, kMaxLine);
        std::string text;
        std::vector<uint32_t> ends;
        bool good = true;
        for (;;) {
            text.clear();
            ends.clear();
            const uint64_t first = reader.LineNumber() + 1;
            TTextLineReader::TResult r;
            try {
                r = reader.NextLines(text, ends, kBatchLines, kBatchText);
            } catch (const std::exception& e) {
                Say("cannot read " + name + ": " + ErrorMessage(e));
                return false;
            }
            good = AddLines(name, first, text, ends, set) && good;
            if (r == TTextLineReader::TResult::End) return good;
            if (r == TTextLineReader::TResult::TooLong) {
                Say(Format("%s, line %llu: longer than %zu characters, no address, block or range",
                           name.c_str(), static_cast<unsigned long long>(reader.LineNumber()), kMaxLine));
                return false;
            }
        }
    }

    bool AddLines(const std::string& name, uint64_t first, const std::string& text,
                  const std::vector<uint32_t>& ends, TRangeSet& set) {
        bool good = true;
        size_t at = 0;
        TAddressRange range;
        for (size_t i = 0; i < ends.size(); ++i) {
            const std::string_view line(text.data() + at, ends[i] - at);
            at = ends[i] + 1;
            switch (ParseRangeLine(line, range)) {
            case TListLine::Range:
                AddRange(set, range);
                break;
            case TListLine::Blank:
                break;
            case TListLine::Bad:
                Say(Format("%s, line %llu: %s is no address, CIDR block or range", name.c_str(),
                           static_cast<unsigned long long>(first + i), Quoted(line).c_str()));
                good = false;
                break;
            }
        }
        return good;
    }

    std::istream& FIn;
    std::ostream& FErr;
};

// Writes the output in large pieces.
class TPrinter {
public:
    explicit TPrinter(std::ostream& out) : FOut(out) { FBuffer.reserve(kPiece + 128); }
    void Flush() {
        FOut.write(FBuffer.data(), static_cast<std::streamsize>(FBuffer.size()));
        FBuffer.clear();
        if (!FOut) CheckOutput(FOut);
    }
    void Address(TIPAddrFamily family, TUInt128 value) {
        char buf[kIPAddrTextRoom];
        char* end = family == zarvo::IPv4 ? IPv4ToChars(MakeIPv4(static_cast<uint32_t>(value)), buf)
                                          : IPv6ToCanonicalChars(value, buf);
        FBuffer.append(buf, static_cast<size_t>(end - buf));
    }
    void Block(TIPAddrFamily family, TUInt128 start, int prefix) {
        Address(family, start);
        char buf[8];
        char* p = buf;
        *p++ = '/';
        if (prefix >= 100) *p++ = static_cast<char>('0' + prefix / 100);
        if (prefix >= 10) *p++ = static_cast<char>('0' + prefix / 10 % 10);
        *p++ = static_cast<char>('0' + prefix % 10);
        *p++ = '\n';
        FBuffer.append(buf, static_cast<size_t>(p - buf));
        Check();
    }
    void Range(TIPAddrFamily family, TUInt128 low, TUInt128 high) {
        Address(family, low);
        FBuffer += '-';
        Address(family, high);
        FBuffer += '\n';
        Check();
    }
    void Text(const std::string& line) {
        FBuffer += line;
        FBuffer += '\n';
    }

private:
    static constexpr size_t kPiece = size_t{1} << 16;
    void Check() {
        if (FBuffer.size() >= kPiece) Flush();
    }
    std::ostream& FOut;
    std::string FBuffer;
};

void Print(const TRangeSet& set, const TAggregateArgs& args, std::ostream& out) {
    TPrinter p(out);
    if (args.Count) {
        p.Text(set.Count().ToString());
    } else if (args.Ranges) {
        for (const auto& r : set.V4.Items()) p.Range(zarvo::IPv4, r.Low, r.High);
        for (const auto& r : set.V6.Items()) p.Range(zarvo::IPv6, r.Low, r.High);
    } else {
        for (const auto& r : set.V4.Items())
            ForEachBlock(r.Low, r.High,
                         [&p](uint32_t start, int prefix) { p.Block(zarvo::IPv4, start, prefix); });
        for (const auto& r : set.V6.Items())
            ForEachBlock(r.Low, r.High,
                         [&p](TUInt128 start, int prefix) { p.Block(zarvo::IPv6, start, prefix); });
    }
    p.Flush();
}

} // namespace

std::vector<TOption> AggregateOptions(TAggregateArgs& a) {
    return {
        {.Section = "Options:",
         .Long = "--ranges",
         .Help = "print the set as ranges A-B, the fewest there are, instead of CIDR blocks",
         .Set =
             [&a](const TOptionValue&) {
                 if (a.Count) throw TUsageError("--ranges and --count exclude each other");
                 a.Ranges = true;
             }},
        {.Long = "--count",
         .Help = "print the number of addresses in the set instead (exact, however large)",
         .Set =
             [&a](const TOptionValue&) {
                 if (a.Ranges) throw TUsageError("--ranges and --count exclude each other");
                 a.Count = true;
             }},
        {.Long = "--except",
         .ValueName = "FILE",
         .Kind = TOptionKind::Text,
         .Help = "take the addresses of FILE (a list as above; - for standard input) out of the set; "
                 "may be given more than once",
         .Examples = {{"--except", "reserved.txt"}},
         .Set = [&a](const TOptionValue& v) { a.Except.push_back(v.Text); }},
        {.Long = "--common",
         .ValueName = "FILE",
         .Kind = TOptionKind::Text,
         .Help = "keep only the addresses that FILE holds too; given more than once, those that every "
                 "such FILE holds",
         .Examples = {{"--common", "allowed.txt"}},
         .Set = [&a](const TOptionValue& v) { a.Common.push_back(v.Text); }},
        {.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
    };
}

std::string AggregateHelp() {
    TAggregateArgs unused;
    return kUsage + OptionsHelp(AggregateOptions(unused)) + kEpilogue;
}

TAggregateArgs ParseAggregateArgs(const std::vector<std::string>& args) {
    TAggregateArgs a;
    const auto file = [&a](const std::string& word) {
        if (word.empty()) throw TUsageError("a file name is empty");
        a.Files.push_back(word);
    };
    if (!ParseOptions(args, AggregateOptions(a), file)) {
        a.Help = true;
        return a;
    }
    // Standard input can be read once.
    size_t stdinUses = 0;
    for (const auto* list : {&a.Files, &a.Except, &a.Common})
        stdinUses += static_cast<size_t>(std::count(list->begin(), list->end(), "-"));
    if (a.Files.empty()) ++stdinUses;
    if (stdinUses > 1) throw TUsageError("standard input (-) can be read for one list only");
    return a;
}

int RunAggregate(const std::vector<std::string>& words, std::istream& in, std::ostream& out,
                 std::ostream& err) {
    TAggregateArgs args;
    try {
        args = ParseAggregateArgs(words);
    } catch (const TUsageError& e) {
        return Usage(err, e.what());
    }
    if (args.Help) {
        out << AggregateHelp();
        return 0;
    }
    if (args.Files.empty()) args.Files.push_back("-");

    // Every list is read, so that each bad line of each is named, before anything is printed.
    TSetReader reader(in, err);
    bool good = true;
    TRangeSet set;
    for (const std::string& f : args.Files) good = reader.Read("", f, set) && good;
    set.Normalize();
    for (const std::string& f : args.Common) {
        TRangeSet common;
        good = reader.Read("common", f, common) && good;
        common.Normalize();
        set = TRangeSet::Intersect(set, common);
    }
    TRangeSet except;
    for (const std::string& f : args.Except) good = reader.Read("except", f, except) && good;
    except.Normalize();
    if (!good) return 1;
    set = TRangeSet::Subtract(set, except);
    Print(set, args, out);
    return 0;
}

} // namespace zarvo::cli
