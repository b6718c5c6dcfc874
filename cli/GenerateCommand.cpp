// zarvo-cli generate: the generation engine for scripts and pipelines.
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/CliArgs.h"
#include "cli/ZarvoCli.h"
#include "generator/ZarvoUtilsUnit.h"
#include "support/ListFile.h"

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
      --ports LIST         one line per port (--ports 80,3128-3130)
      --names TEMPLATE     put a host name in front (--names 'mail#.example.com');
                           %1..%8 stand for the address's parts, %s for the range's
                           label (--names 'host-%3-%4')
      --counter-symbol S   text replaced by the counter (default "#")
      --first N            first counter value (default 1)
      --step N             counter increment (default 1)
      --digits N           minimum counter digits, zero-padded (default 1)
      --delimiter D        between name and address: whitespace (default), tab,
                           comma, semicolon, or any other text (--delimiter ' | ')
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
)";

std::string NameDelimiter(const std::string& d) {
    if (d == "whitespace") return " ";
    if (d == "tab") return "\t";
    if (d == "comma") return ",";
    if (d == "semicolon") return ";";
    return d;
}

void ReadLines(std::istream& is, std::vector<std::string>& lines) {
    std::string line;
    while (std::getline(is, line)) lines.push_back(line);
}

} // namespace

int RunGenerate(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    TProgress progress;
    TZarvoUtils utils(&progress);
    std::vector<std::string> rangeFiles;
    std::string output, listDelimiter = "eol";
    bool haveCount = false, haveRangesArg = false;
    std::string symbol = "#", delimiter = "whitespace";
    int32_t first = 1, step = 1, digits = 1;
    std::optional<std::string> names;

    TArgParser p(args, "generate");
    try {
        while (p.Next()) {
            if (p.Is("-h", "--help")) {
                out << kHelp;
                return 0;
            } else if (p.Is("-r", "--ranges")) {
                rangeFiles.push_back(p.Value());
            } else if (p.Is("--total") || p.Is("--each")) {
                if (haveCount) throw TUsageError("give only one of --total and --each");
                haveCount = true;
                utils.FGenerateCountMode = p.Is("--total") ? gcTotalCount : gcForEach;
                utils.FGenerateCount = p.IntValue();
            } else if (p.Is("--random")) {
                utils.FRandomOrder = true;
            } else if (p.Is("--seed")) {
                utils.FRandomSeed = p.UIntValue();
            } else if (p.Is("--usable")) {
                utils.FUsableHostIPAddresses = true;
            } else if (p.Is("--exclude")) {
                utils.FDoExclude = true;
                utils.FExcludeMasks.push_back(p.Value());
            } else if (p.Is("--escape-ipv6")) {
                utils.FEscapeIPv6 = true;
            } else if (p.Is("--ports")) {
                utils.FAddPortNumbers = true;
                utils.FPortNumbers = p.Value();
            } else if (p.Is("--names")) {
                names = p.Value();
            } else if (p.Is("--counter-symbol")) {
                symbol = p.Value();
            } else if (p.Is("--first")) {
                first = p.IntValue();
            } else if (p.Is("--step")) {
                step = p.IntValue();
            } else if (p.Is("--digits")) {
                digits = p.IntValue();
            } else if (p.Is("--delimiter")) {
                delimiter = p.Value();
            } else if (p.Is("-o", "--output")) {
                output = p.Value();
            } else if (p.Is("--list-delimiter")) {
                listDelimiter = p.Value();
                if (listDelimiter != "eol" && listDelimiter != "comma" && listDelimiter != "semicolon")
                    throw TUsageError("--list-delimiter takes eol, comma or semicolon");
            } else if (p.IsOption()) {
                throw TUsageError("unknown option '" + p.Arg() + "'");
            } else {
                haveRangesArg = true;
                utils.FIPRanges.push_back(p.Arg());
            }
        }
    } catch (const TUsageError& e) {
        err << "zarvo-cli generate: " << e.what() << "\nRun 'zarvo-cli generate --help' for the options.\n";
        return 2;
    }

    if (names) {
        utils.FGenerateNames = true;
        utils.FNameTemplate = *names;
        utils.FCounterSymbol = symbol;
        utils.FFirstCounter = first;
        utils.FCounterStep = step;
        utils.FCounterDigits = digits;
        utils.FNameDelimiter = NameDelimiter(delimiter);
    }

    for (const std::string& f : rangeFiles) {
        if (f == "-") {
            ReadLines(in, utils.FIPRanges);
            continue;
        }
        std::ifstream file(f, std::ios::binary);
        if (!file) {
            err << "zarvo-cli generate: cannot read range file '" << f << "'\n";
            return 1;
        }
        ReadLines(file, utils.FIPRanges);
    }
    if (!haveRangesArg && rangeFiles.empty()) ReadLines(in, utils.FIPRanges);

    std::string result;
    try {
        utils.PerformGenerateIPList(nullptr, result);
        if (!output.empty()) {
            SaveListToFile(utils.FIPList, output,
                           ListDelimiter(listDelimiter == "comma" ? 1 : listDelimiter == "semicolon" ? 2 : 0));
        } else {
            WriteLines(utils.FIPList, out);
        }
    } catch (const std::exception& e) {
        err << PlainMessage(e.what()) << "\n";
        return 1;
    }
    err << result << "\n";
    return out.good() ? 0 : 1;
}

} // namespace zarvo::cli
