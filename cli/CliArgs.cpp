#include "cli/CliArgs.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

#include "cli/FdStream.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

bool TArgParser::Next() {
    FIndex = FIndex == SIZE_MAX ? 0 : FIndex + 1;
    if (FIndex >= FArgs.size()) return false;
    const std::string& a = FArgs[FIndex];
    FHasInline = false;
    FInlineValue.clear();
    FIsOption = false;
    FName.clear();
    if (!FOnlyPositional && a == "--") {
        FOnlyPositional = true;
        return Next();
    }
    if (!FOnlyPositional && a.size() > 1 && a[0] == '-') {
        FIsOption = true;
        const size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            FName = a.substr(0, eq);
            FInlineValue = a.substr(eq + 1);
            FHasInline = true;
        } else {
            FName = a;
        }
    }
    return true;
}

std::string TArgParser::Value() {
    if (FHasInline) return FInlineValue;
    if (FIndex + 1 >= FArgs.size()) throw TUsageError("option '" + FName + "' needs a value");
    return FArgs[++FIndex];
}

std::string TArgParser::IntText() {
    const std::string name = FName;
    const std::string v = Value();
    if (!TryStrToInt(v))
        throw TUsageError(Format("'%s' is not a valid integer value", v.c_str()) + " (" + name + ")");
    return v;
}

uint64_t TArgParser::UIntValue() {
    const std::string name = FName;
    const std::string v = Value();
    uint64_t n = 0;
    const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || ptr != v.data() + v.size() || v.empty())
        throw TUsageError(Format("'%s' is not a valid integer value", v.c_str()) + " (" + name + ")");
    return n;
}

bool ParseOptions(const std::vector<std::string>& args, const std::vector<TOption>& options,
                  const std::function<void(const std::string&)>& positional) {
    TArgParser p(args);
    while (p.Next()) {
        if (!p.IsOption()) {
            positional(p.Arg());
            continue;
        }
        const auto o = std::find_if(options.begin(), options.end(), [&](const TOption& x) {
            return (x.Short && p.Name() == x.Short) || p.Name() == x.Long;
        });
        if (o == options.end()) throw TUsageError("unknown option '" + p.Arg() + "'");
        TOptionValue v;
        switch (o->Kind) {
        case TOptionKind::Help:
            return false;
        case TOptionKind::Flag:
            break;
        case TOptionKind::Text:
            v.Text = p.Value();
            if (v.Text.empty())
                throw TUsageError("option '" + p.Name() + "' needs a value that is not empty");
            if (o->SingleLine && v.Text.find_first_of("\r\n") != std::string::npos)
                throw TUsageError("option '" + p.Name() + "' takes one line; its value holds a line break");
            break;
        case TOptionKind::IntText:
            v.Text = p.IntText();
            break;
        case TOptionKind::UInt:
            v.Number = p.UIntValue();
            break;
        case TOptionKind::Choice: {
            v.Text = p.Value();
            const auto c = std::find(o->Choices.begin(), o->Choices.end(), v.Text);
            if (c == o->Choices.end()) {
                std::string list;
                for (size_t i = 0; i < o->Choices.size(); ++i)
                    list += (i == 0 ? "" : i + 1 == o->Choices.size() ? " or " : ", ") + o->Choices[i];
                throw TUsageError(std::string(o->Long) + " takes " + list);
            }
            v.Number = static_cast<uint64_t>(c - o->Choices.begin());
            break;
        }
        }
        if (o->Set) o->Set(v);
    }
    return true;
}

int ReportUsageError(std::ostream& err, const char* command, const std::string& message) {
    err << "zarvo-cli " << command << ": " << message << "\nRun 'zarvo-cli " << command
        << " --help' for the options.\n";
    return 2;
}

void TFileWord::operator()(const std::string& word) {
    if (FGiven) throw TUsageError(std::string("give one ") + FNoun);
    if (word.empty()) throw TUsageError(std::string("the ") + FNoun + " name is empty");
    FFile = word;
    FGiven = true;
}

void TFileWord::Require() const {
    if (!FGiven) throw TUsageError(std::string("give the ") + FNoun);
}

std::vector<std::string> ListDelimiterWords() {
    return {"eol", "comma", "semicolon"};
}

std::string ShellWord(std::string_view word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("-_./:,=+@%").find(c) != std::string_view::npos;
    });
    if (plain) return std::string(word);
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string OptionsHelp(const std::vector<TOption>& options) {
    constexpr size_t kWidth = 80;
    auto names = [](const TOption& o) {
        std::string s = o.Short ? std::string("  ") + o.Short + ", " : std::string(6, ' ');
        s += o.Long;
        if (o.ValueName) s += std::string(" ") + o.ValueName;
        return s;
    };
    // The descriptions start in one column for every command, unless a long name
    // pushes them further.
    size_t column = 25;
    for (const TOption& o : options) column = std::max(column, names(o).size() + 2);

    std::string out;
    for (const TOption& o : options) {
        if (o.Section) out += std::string(o.Section) + "\n";
        // Words of the help, then the examples, each kept on one line.
        std::vector<std::string> units;
        std::string_view help = o.Help;
        while (!help.empty()) {
            const size_t blank = help.find(' ');
            if (blank != 0) units.emplace_back(help.substr(0, blank));
            help = blank == std::string_view::npos ? std::string_view() : help.substr(blank + 1);
        }
        for (size_t i = 0; i < o.Examples.size(); ++i) {
            std::string e;
            for (const std::string& w : o.Examples[i]) e += (e.empty() ? "" : " ") + ShellWord(w);
            if (i > 0) units.emplace_back("or");
            units.push_back((i == 0 ? "(" : "") + e + (i + 1 == o.Examples.size() ? ")" : ""));
        }
        std::string line = names(o);
        line.resize(column, ' ');
        bool first = true;
        for (const std::string& u : units) {
            if (!first && line.size() + 1 + u.size() > kWidth) {
                out += line + "\n";
                line.assign(column, ' ');
                first = true;
            }
            line += (first ? "" : " ") + u;
            first = false;
        }
        out += line + "\n";
    }
    return out;
}

TOutputError::TOutputError(int error)
    : std::runtime_error(error ? std::string("cannot write output: ") + std::strerror(error)
                               : std::string("cannot write output")),
      Errno(error) {}

void CheckOutput(std::ostream& out) {
    out.flush();
    if (!out) throw TOutputError(StreamErrno(out));
}

void WriteLines(const TStringList& lines, std::ostream& out) {
    lines.ForEachLineRun(
        [&](const char* data, size_t size) { out.write(data, static_cast<std::streamsize>(size)); });
    CheckOutput(out);
}

std::string PlainMessage(std::string msg) {
    ReplaceAll(msg, "\r\n", "\n");
    return msg;
}

std::string ErrorMessage(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return kNotEnoughMemory;
    return PlainMessage(e.what());
}

} // namespace zarvo::cli
