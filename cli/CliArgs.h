// Shared by the subcommands: option tables that drive both parsing and --help,
// and output helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/StringList.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

// A mistake in the command's words (exit code 2).
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An option value's reading (a parser that raises Exception with its message), its
// mistake made a usage error: the value is the user's word, not the program's fault.
template <class TRead> auto ReadOptionValue(TRead&& read) -> decltype(read()) {
    try {
        return read();
    } catch (const Exception& e) {
        throw TUsageError(e.what());
    }
}

// Standard output failed. Raised where a command hands its lines on, so that a run
// whose output is lost stops there; RunCli reports it. A command's own error
// handlers let it pass.
class TOutputError : public std::runtime_error {
public:
    explicit TOutputError(int error);
    int Errno; // the reason; 0 when the stream gives none
};

// Flushes out and raises TOutputError when it has failed.
void CheckOutput(std::ostream& out);

inline constexpr const char* kNotEnoughMemory = "Not enough memory";

// Walks the arguments; "--name=value" and "--name value" both work.
class TArgParser {
public:
    explicit TArgParser(const std::vector<std::string>& args) : FArgs(args) {}
    bool Next();
    bool IsOption() const { return FIsOption; }
    // The option's name without an inline "=value".
    const std::string& Name() const { return FName; }
    const std::string& Arg() const { return FArgs[FIndex]; }
    std::string Value();
    // The value as typed, once checked by the integer-text rule.
    std::string IntText();
    uint64_t UIntValue();

private:
    const std::vector<std::string>& FArgs;
    size_t FIndex = SIZE_MAX;
    std::string FName;
    std::string FInlineValue;
    bool FHasInline = false, FIsOption = false, FOnlyPositional = false;
};

// What an option takes after its name.
enum class TOptionKind {
    Flag,    // nothing
    Text,    // any text
    IntText, // a text by the integer-text rule, kept as typed
    UInt,    // an unsigned 64-bit number
    Choice,  // one of a fixed list of words
    Help,    // nothing; the command prints its help and ends
};

// The value handed to an option's Set: Text as given; Number for UInt, and for
// Choice the position of the word in Choices.
struct TOptionValue {
    std::string Text;
    uint64_t Number = 0;
};

// One option of a command. A command's table of these drives both the parsing
// and the options part of its --help, so the two cannot drift apart.
struct TOption {
    const char* Section = nullptr;   // heading in the help above this option, if it starts one
    const char* Short = nullptr;     // "-r", or none
    const char* Long = nullptr;      // "--ranges"
    const char* ValueName = nullptr; // "FILE" in the help; none for Flag and Help
    TOptionKind Kind = TOptionKind::Flag;
    std::vector<std::string> Choices = {};
    // Text that goes into one output line: a CR or LF in it would split the
    // line, and the window's single-line edits cannot hold one either.
    bool SingleLine = false;
    const char* Help = "";
    // Each one the words of a use of the option, shown in the help as
    // "(--exclude '*.0' --exclude '*.255')"; the tests parse them too.
    std::vector<std::vector<std::string>> Examples = {};
    // Stores the value; may raise TUsageError (say, for two options that exclude each other).
    std::function<void(const TOptionValue&)> Set = nullptr;
};

// Walks the words: options by the table, other words to positional. Returns false
// when the help option came (nothing after it is read). Raises TUsageError for an
// unknown option, a missing value, or a value its kind refuses: an empty Text (an
// empty file name or template names nothing; leaving the option out is the way to
// say "none"), a line break in a SingleLine text.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<TOption>& options,
                  const std::function<void(const std::string&)>& positional);

// A mistake in a command's words as every command reports it: "zarvo-cli COMMAND:
// MESSAGE" and where to find the options, on err. Returns the exit code, 2.
int ReportUsageError(std::ostream& err, const char* command, const std::string& message);

// The one file a command's words name, taken by the parser's positional handler: a
// second file, or an empty name, is a TUsageError. noun names it in the messages:
// "give one NOUN", "the NOUN name is empty", "give the NOUN".
class TFileWord {
public:
    TFileWord(std::string& file, const char* noun) : FFile(file), FNoun(noun) {}
    // Takes the word as the file.
    void operator()(const std::string& word);
    bool Given() const { return FGiven; }
    // Raises TUsageError when no file came.
    void Require() const;

private:
    std::string& FFile;
    const char* FNoun;
    bool FGiven = false;
};

// The words of --list-delimiter, in the order of TListDelimiter (support/ListFile.h):
// a Choice option's position is the delimiter.
std::vector<std::string> ListDelimiterWords();

// The options part of a help text: each section heading, then one entry per option,
// "  -r, --ranges FILE  " and its help and examples wrapped to 80 columns.
std::string OptionsHelp(const std::vector<TOption>& options);

// A word as a POSIX shell reads it back: quoted when it holds anything beyond
// letters, digits and -_./:,=+@%.
std::string ShellWord(std::string_view word);

// One line each, "\n" after every line; then CheckOutput.
void WriteLines(const TStringList& lines, std::ostream& out);
// A message for a terminal: CR LF becomes LF.
std::string PlainMessage(std::string msg);
// The message of a failure as the system words it: PlainMessage of what(), and
// "Not enough memory" for an allocation that failed.
std::string ErrorMessage(const std::exception& e);

} // namespace zarvo::cli
