#include "cli/CliArgs.h"

#include <charconv>

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

void WriteLines(const TStringList& lines, std::ostream& out) {
    lines.ForEachLineRun(
        [&](const char* data, size_t size) { out.write(data, static_cast<std::streamsize>(size)); });
    out.flush();
}

std::string PlainMessage(std::string msg) {
    ReplaceAll(msg, "\r\n", "\n");
    return msg;
}

} // namespace zarvo::cli
