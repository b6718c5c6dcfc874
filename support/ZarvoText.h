// Shared text helpers of the core: the exception base, printf-style message
// formatting, the integer-text rule, trimming and ASCII case-insensitive compare.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zarvo {

// Every failure the system reports carries one message text; what() is that text.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& msg) : std::runtime_error(msg) {}
};

// printf-style formatting for the system's messages ("%s", "%d", "%.2d"...).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The integer-text rule: leading blanks, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing may follow, and the
// value must fit a signed 32-bit integer.
std::optional<int32_t> TryStrToInt(std::string_view text);
int32_t StrToIntDef(std::string_view text, int32_t def);
// Raises "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view text);

// Removes blanks and control characters (everything up to the space) at both ends.
std::string_view Trim(std::string_view text);
std::string_view TrimLeft(std::string_view text);
std::string_view TrimRight(std::string_view text);
// Calls f with each item of a list such as "80, 443;8080": the text between any of
// the separators, trimmed; empty items are passed over.
template <typename F> void ForEachListItem(std::string_view text, std::string_view separators, F f) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (!item.empty()) f(item);
    }
}

bool SameText(std::string_view a, std::string_view b);
bool EndsWithText(std::string_view text, std::string_view suffix);
char AsciiLower(char c);
char AsciiUpper(char c);

// Replaces every occurrence of `what` (case matters) by `with`.
void ReplaceAll(std::string& text, std::string_view what, std::string_view with);

// How AppendEscaped writes the characters that a format cannot carry as they are.
enum class TEscapeStyle : uint8_t {
    // A field of a tab-separated line: backslash, tab, LF and CR as \\, \t, \n, \r.
    TabField,
    // The inside of a JSON string: those, the quote as \", and the other control
    // characters below 0x20 as \u00XX (lowercase hex).
    Json,
};
// Appends text to out with the escapes of style; every other byte as it is.
void AppendEscaped(std::string& out, std::string_view text, TEscapeStyle style);

// A size for messages: "512 bytes", "64 KB", "1.5 GB" (units of 1024, one decimal
// at most).
std::string FormatByteSize(uint64_t bytes);

} // namespace zarvo
