// zarvo-cli generate: the generation engine for scripts and pipelines.
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/CliArgs.h"
#include "cli/ZarvoCli.h"
#include "generator/ZarvoUtilsUnit.h"
#include "options/ZarvoOptions.h"
#include "options/ZarvoSettings.h"
#include "support/ListFile.h"
#include "support/TextDecode.h"

namespace zarvo::cli {

namespace {

const char* const kHelp = R"(Usage: zarvo-cli generate [OPTIONS] [RANGE...]

Turns IP ranges into address lines, one per line on standard output; the result
("N IPs generated.") goes to standard error. Ranges come from the arguments, from
-r FILE, or from standard input when neither is given. A range line is
[LABEL=]ADDRESS[/PREFIX[/SUBPREFIX]]; a line starting with ";" is a comment.

Ranges and counts:
  -r, --ranges FILE        read range lines from FILE ("-" for standard input)
      --total N            N addresses over all ranges       (--total 100)
      --each N             N addresses from each range       (--each 10)
                           (neither: every address of every range)
      --random             random selection and order
      --seed N             seed for a reproducible random run (--seed 42);
                           without it the clock seeds each run
      --usable             only usable hosts: drop the first and last address
      --exclude MASK       drop addresses matching a wildcard mask; repeatable
                           (--exclude '*.0' --exclude '*.255')
Line layout:
      --escape-ipv6        write IPv6 addresses as [address]
      --ports LIST         one line per port (--ports 80,3128-3130); a run may
                           produce at most 10000000 lines
      --names TEMPLATE     put a host name in front (--names 'mail#.example.com');
                           %1..%8 stand for the address's parts, %s for the range's
                           label (--names 'host-%3-%4')
      --counter-symbol S   text replaced by the counter (default "#")
      --first N            first counter value (default 1)
      --step N             counter increment (default 1)
      --digits N           minimum counter digits, zero-padded (default 1)
      --delimiter D        between name and address: whitespace (default), tab,
                           comma, semicolon, or any other text (--delimiter ' | ')
Country and settings:
      --country FILE.mmdb  add the country code of each address from a MaxMind DB
                           (GeoIP2/GeoLite2 country or city database)
      --settings FILE      take the options of a settings file (zarvo2.ini);
                           options given here override them
      --set NAME           with --settings: the options of the named set NAME
Output:
  -o, --output FILE        write the lines to FILE instead of standard output
      --list-delimiter D   in FILE, between lines: eol (CR LF, default), comma,
                           semicolon; nothing follows the last line
  -h, --help               this help

Exit status: 0 on success, 1 when the run fails (the message goes to standard
error), 2 for bad options.

Examples:
  zarvo-cli generate 192.168.1.0/30
  zarvo-cli generate --total 1000 --random 10.0.0.0/8 > targets.txt
  zarvo-cli generate --usable --ports 22,80 -o hosts.csv --list-delimiter comma 10.1.0.0/24
  echo 'A=192.168.1.100/16/24' | zarvo-cli generate --names 'gw-%s-#' --digits 3
  zarvo-cli generate --country GeoLite2-Country.mmdb --total 10 --random 2a02::/16
  zarvo-cli generate --settings ~/.config/Zarvo2/zarvo2.ini --set "web servers"
)";

// Range files and standard input are read whole and decoded as the settings file
// is: a byte-order mark must not become part of the first range.
bool ReadLines(std::istream& is, std::vector<std::string>& lines) {
    std::string bytes;
    char buf[1 << 16];
    while (is.read(buf, sizeof buf) || is.gcount() > 0) bytes.append(buf, static_cast<size_t>(is.gcount()));
    if (is.bad()) return false;
    for (std::string& line : DecodeTextLines(bytes)) lines.push_back(std::move(line));
    return true;
}

} // namespace

int RunGenerate(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
    // The command line builds the same option set as the window and copies it into
    // the engine through the same checks; a settings file, when given, is the base.
    TZarvoOptions opt;
    std::optional<std::string> settingsFile, setName, country, names, symbol, first, step, digits, delimiter;
    std::optional<std::string> totalText, eachText, ports;
    std::vector<std::string> ranges, rangeFiles, excludes;
    std::optional<uint64_t> seed;
    bool random = false, usable = false, escape = false;
    std::string output, listDelimiter = "eol";

    TArgParser p(args, "generate");
    try {
        while (p.Next()) {
            if (p.Is("-h", "--help")) {
                out << kHelp;
                return 0;
            } else if (p.Is("-r", "--ranges")) {
                rangeFiles.push_back(p.Value());
            } else if (p.Is("--total")) {
                if (eachText) throw TUsageError("give only one of --total and --each");
                totalText = p.IntText();
            } else if (p.Is("--each")) {
                if (totalText) throw TUsageError("give only one of --total and --each");
                eachText = p.IntText();
            } else if (p.Is("--random")) {
                random = true;
            } else if (p.Is("--seed")) {
                seed = p.UIntValue();
            } else if (p.Is("--usable")) {
                usable = true;
            } else if (p.Is("--exclude")) {
                excludes.push_back(p.Value());
            } else if (p.Is("--escape-ipv6")) {
                escape = true;
            } else if (p.Is("--ports")) {
                ports = p.Value();
            } else if (p.Is("--names")) {
                names = p.Value();
            } else if (p.Is("--counter-symbol")) {
                symbol = p.Value();
            } else if (p.Is("--first")) {
                first = p.IntText();
            } else if (p.Is("--step")) {
                step = p.IntText();
            } else if (p.Is("--digits")) {
                digits = p.IntText();
            } else if (p.Is("--delimiter")) {
                delimiter = p.Value();
            } else if (p.Is("--country")) {
                country = p.Value();
            } else if (p.Is("--settings")) {
                settingsFile = p.Value();
            } else if (p.Is("--set")) {
                setName = p.Value();
            } else if (p.Is("-o", "--output")) {
                output = p.Value();
            } else if (p.Is("--list-delimiter")) {
                listDelimiter = p.Value();
                if (listDelimiter != "eol" && listDelimiter != "comma" && listDelimiter != "semicolon")
                    throw TUsageError("--list-delimiter takes eol, comma or semicolon");
            } else if (p.IsOption()) {
                throw TUsageError("unknown option '" + p.Arg() + "'");
            } else {
                ranges.push_back(p.Arg());
            }
        }
        if (setName && !settingsFile) throw TUsageError("--set needs --settings FILE");
    } catch (const TUsageError& e) {
        err << "zarvo-cli generate: " << e.what() << "\nRun 'zarvo-cli generate --help' for the options.\n";
        return 2;
    }

    try {
        if (settingsFile) LoadOptionsFromSettingsFile(*settingsFile, setName.value_or(""), opt);
    } catch (const std::exception& e) {
        err << PlainMessage(e.what()) << "\n";
        return 1;
    }
    // Flags given on the command line override the file's values.
    if (totalText) {
        opt.Mode = 1;
        opt.TotalCount = *totalText;
    } else if (eachText) {
        opt.Mode = 2;
        opt.EachCount = *eachText;
    }
    opt.Random |= random;
    opt.UsableHosts |= usable;
    opt.EscapeIPv6 |= escape;
    if (!excludes.empty()) {
        opt.Exclude = true;
        opt.ExcludeMasks = excludes;
    }
    if (ports) {
        opt.AddPort = true;
        opt.Ports = *ports;
    }
    if (names) {
        opt.GenerateNames = true;
        opt.NameTemplate = *names;
    }
    if (symbol) opt.CounterSymbol = *symbol;
    if (first) opt.FirstCounter = *first;
    if (step) opt.CounterStep = *step;
    if (digits) opt.CounterDigits = *digits;
    if (delimiter) {
        static const char* const kNames[] = {"whitespace", "tab", "comma", "semicolon"};
        opt.NameDelimiter = 4;
        opt.NameCustomDelimiter = *delimiter;
        for (int i = 0; i < 4; ++i)
            if (*delimiter == kNames[i]) opt.NameDelimiter = i;
    }
    if (country) {
        opt.ResolveCountry = true;
        opt.MMDBFilePath = *country;
    }
    opt.Append = false;

    if (!ranges.empty() || !rangeFiles.empty()) opt.IPRanges = ranges;
    for (const std::string& f : rangeFiles) {
        if (f == "-") {
            ReadLines(in, opt.IPRanges);
            continue;
        }
        std::ifstream file(f, std::ios::binary);
        if (!file || !ReadLines(file, opt.IPRanges)) {
            err << "zarvo-cli generate: cannot read range file '" << f << "'\n";
            return 1;
        }
    }
    if (ranges.empty() && rangeFiles.empty() && opt.IPRanges.empty()) ReadLines(in, opt.IPRanges);

    TProgress progress;
    TZarvoUtils utils(&progress);
    utils.FRandomSeed = seed;
    std::string result;
    try {
        ApplyOptionsToEngine(opt, utils);
        // Lines are written as they are made. A file is replaced only once the run is
        // complete (Close), so a run that fails, up front or part-way, leaves an
        // existing file as it was. Standard output cannot take lines back: with the
        // country column a run can fail part-way on a bad database, so there its
        // lines are held until the run is complete. The file is opened with the
        // first lines, so a run refused up front reports its own error first.
        std::unique_ptr<TListFileWriter> file;
        auto openFile = [&] {
            if (!file)
                file = std::make_unique<TListFileWriter>(output,
                                                         ListDelimiter(listDelimiter == "comma"       ? 1
                                                                       : listDelimiter == "semicolon" ? 2
                                                                                                      : 0));
        };
        auto write = [&](const TStringList& lines) {
            if (output.empty()) {
                WriteLines(lines, out);
                return;
            }
            openFile();
            file->Write(lines);
        };
        const bool hold = opt.ResolveCountry && output.empty();
        if (!hold) utils.FLineSink = write;
        utils.PerformGenerateIPList(nullptr, result);
        if (hold) write(utils.FIPList);
        if (output.empty()) {
            out.flush();
        } else {
            openFile();
            file->Close();
        }
    } catch (const std::exception& e) {
        err << PlainMessage(e.what()) << "\n";
        return 1;
    }
    err << result << "\n";
    return out.good() ? 0 : 1;
}

} // namespace zarvo::cli
