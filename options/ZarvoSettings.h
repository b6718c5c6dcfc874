// The settings file: every option of the window as name=value lines, and the
// named option sets stored inside it.
//
// The file ("zarvo2.ini") is UTF-8 without a byte-order mark, one Key=Value pair a
// line, lines ended by CR LF; a file with a UTF-8 or UTF-16 (LE/BE) byte-order mark
// is read too. Option keys come first, in a fixed order, then the stored sets:
//   StoredListN=2
//   StoredList1.Name=office
//   StoredList1.Count=29
//   StoredList1.Setting1=ResolveCountry=0
//   ...
//
// What the window does:
// - Creation (LoadSettings), last step:
//       TZarvoOptions o = <the controls' current values>;
//       LoadSettingsFile(SettingsFilePath(true), o, FStoredSettings);
//   then set every control from o (below) and the list box's count to
//   FStoredSettings.Count(). It returns false when there is no file (nothing changed).
// - Each accepted start of a generation, and first thing on destruction (SaveSettings):
//       SaveSettingsFile(SettingsFilePath(false), <controls' values>, FStoredSettings);
// - Both raise zarvo::Exception when the file cannot be read or written; show what()
//   in a message box and go on (on a failed save the old file is left whole). After
//   a failed read the window saves nothing over the file: its controls do not hold
//   the file's settings, and the user's ranges and stored sets would be lost.
// - "Save" button: SaveNamedSettings(FStoredSettings, name, <controls' values>);
//   update the list box's count when it returns true.
// - "Load" button: LoadNamedSettings(FStoredSettings, name, o) with o holding the
//   controls' current values, then set the controls from o; on false show
//   SettingsNotFoundMessage(name) titled "Load Settings" (warning icon, OK button).
// - "Delete" button: DeleteNamedSettings(FStoredSettings, name); on false the same
//   message titled "Delete Settings"; on true update the list box's count.
// Setting the controls from the options after a load: every check box whose state
// changes runs its click handler, as a click by the user would ("Generate Names..."
// refreshes the caption above the output list); list positions run no change
// handler, so the custom-delimiter edit is shown exactly when NameDelimiter is 4.
// SettingsFromList only changes the fields whose key allows it, so the options it
// starts from must be the controls' current values: "Ports", "NameTemplate",
// "CounterSymbol", "FirstCounter", "CounterStep", "CounterDigits" and
// "NameCustomDelimiter" apply only when present; "IPRange", "Exclude" and "DNS"
// lines only when their count key ("IPRangeN"...) is a number of 0 or more;
// "NameDelimiter" and the three list delimiters only when the position lies in
// their list (0-4, 0-2). "DNSTimeout", "DNSInFlight" and "DNSRetries", the last
// keys, are read as the lookup's defaults (dns::kDefaultTimeoutMs,
// dns::kDefaultInFlight, dns::kDefaultRetries) when absent, as in files written
// before they existed, or outside 1 (for DNSRetries 0) to their maximum.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "options/ZarvoOptions.h"
#include "support/VHashedStringList.h"
#include "support/uStoredSettings.h"

namespace zarvo {

inline constexpr const char* kSettingsAppName = "Zarvo2";
inline constexpr const char* kSettingsFileName = "zarvo2.ini";
inline constexpr const char* kStoredListPrefix = "StoredList";
inline constexpr const char* kStoredSettingPrefix = "Setting";

// Writes every option key in its fixed order through TVHashedStringList::SetValue:
// keys already in List are replaced where they stand, empty values remove their
// key, numbered lines above a new count stay (they are never read back). Flags are
// "1"/"0"; multi-line options become Key1..KeyN (non-empty lines only) and KeyN.
// A line break inside a value would split the file's line, so single-line values
// have it replaced by a blank and multi-line options are split at it.
void SettingsToList(const TZarvoOptions& o, TVHashedStringList& List);
std::vector<std::string> SettingsToList(const TZarvoOptions& o);

// Applies the keys of List to o, each by its own read-back rule (see above).
// Invalid values are never reported: flags read as unticked, counts as 10, the
// mode as "All IPs", the lookup's numbers as its defaults.
void SettingsFromList(const TVHashedStringList& List, TZarvoOptions& o);
void SettingsFromList(const std::vector<std::string>& lines, TZarvoOptions& o);

// The settings file path through the folder switches. The creation's load passes
// true, so a first run in the per-user folder copies a "zarvo2.ini" from beside
// the executable into it; saving passes false.
std::string SettingsFilePath(bool seedFromProgramFolder);

// Decodes a settings file's bytes into lines: a byte-order mark selects UTF-8 or
// UTF-16 LE/BE, otherwise UTF-8; malformed sequences become U+FFFD; lines end at
// CR LF, LF or CR. Lines longer than kMaxSettingsLine bytes cannot be settings and
// are dropped.
inline constexpr size_t kMaxSettingsLine = 1 << 20;
std::vector<std::string> SettingsTextToLines(std::string_view bytes);

// The most bytes a settings file may hold; a larger one is refused whole.
inline constexpr size_t kMaxSettingsFile = size_t(64) << 20;

// Reads the file into a list: the lines of SettingsTextToLines that have a "=",
// the only ones a name finds. Raises "Cannot open file "%s". %s" when it cannot
// be read, and "Cannot open file "%s". File too large: N bytes; a settings file
// may hold at most 67108864 bytes (64 MiB)" for a file over kMaxSettingsFile
// ("more than 67108864 bytes" for a stream, whose size is known only by reading).
TVHashedStringList ReadSettingsList(const std::string& path);
// Writes the lines, each ended by CR LF, through TAtomicFileWriter: the old file
// stays whole until the new one is complete. Raises "Cannot create file "%s". %s"
// and removes the temporary file when any step fails.
void WriteSettingsList(const std::string& path, const TVHashedStringList& List);

// LoadSettings: returns false, changing nothing, when no file exists at path;
// otherwise applies the file's options to current and merges its stored sets into sets.
bool LoadSettingsFile(const std::string& path, TZarvoOptions& current, TStoredSettingsList& sets);
// SaveSettings: the options, then the stored sets, written whole.
void SaveSettingsFile(const std::string& path, const TZarvoOptions& current, const TStoredSettingsList& sets);

// Named sets. Save with an empty name does nothing. A set of the same name (ASCII
// case ignored) is overwritten in place and keeps its name as first written;
// otherwise a new one is appended and the result is true.
bool SaveNamedSettings(TStoredSettingsList& sets, const std::string& name, const TZarvoOptions& o);
// False when no set has that name; o is then untouched.
bool LoadNamedSettings(const TStoredSettingsList& sets, const std::string& name, TZarvoOptions& o);
bool DeleteNamedSettings(TStoredSettingsList& sets, const std::string& name);
// "Settings "NAME" not found"
std::string SettingsNotFoundMessage(const std::string& name);

// Reads the settings file at path into o (keys that are absent leave o's values);
// with a set name, that named set is then applied over them, as the window loads
// a set over the options the file gave it. Raises the file's error,
// or "Settings "%s" not found" for a set name the file does not hold.
void LoadOptionsFromSettingsFile(const std::string& path, const std::string& setName, TZarvoOptions& o);

} // namespace zarvo
