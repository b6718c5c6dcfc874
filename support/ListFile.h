// Writing a list of lines to a text file, as "Save to file" does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/AtomicFile.h"
#include "support/LineBuffer.h"
#include "support/StringList.h"

namespace zarvo {

// The delimiters between the lines of a saved list, by their list positions
// ("End-Of-Line", "Comma", "Semicolon"), as the settings file stores them.
enum TListDelimiter : uint8_t { ldEndOfLine = 0, ldComma = 1, ldSemicolon = 2 };
inline constexpr int kListDelimiterCount = 3;

// "," for ldComma, ";" for ldSemicolon, otherwise CR LF.
std::string ListDelimiter(TListDelimiter d);

// Writes lines with the delimiter between them and nothing after the last one,
// in UTF-8 without a byte-order mark; the lines may arrive in several pieces.
// The file is replaced whole by Close (see TAtomicFileWriter): a writer dropped
// before it, say by a run that failed part-way, leaves an existing file as it was.
// Raises "Cannot create file "NAME". REASON" when the file cannot be created or
// written.
class TListFileWriter {
public:
    TListFileWriter(const std::string& fileName, std::string_view delimiter);
    void Write(const TStringList& lines);
    // One line; a text model that holds its lines elsewhere saves them without a copy.
    void WriteLine(std::string_view line);
    void Close();
    // The errno of the failure that ended the writer; 0 while none did.
    int Error() const { return FFile.Error(); }

private:
    void FlushPiece();
    TAtomicFileWriter FFile;
    std::string FDelimiter;
    // Lines are gathered into one piece before they reach the file: a million short
    // lines would otherwise be two million small writes. The piece is made once, small
    // enough to stay in the caches, and goes to the file in one write call.
    std::unique_ptr<char[]> FPiece;
    size_t FPieceSize = 0;
    bool FFirst = true;
};

// Creates or replaces the file and writes the lines, as TListFileWriter does.
void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter);

// The same for the lines of a snapshot, on any thread (a worker saves the output
// pane while the window goes on). progress hears the lines written so far; when it
// asks to stop, the writer is dropped and an existing file stays as it was.
// Returns whether the file was written; failures raise as TListFileWriter's do.
bool SaveLinesToFile(const TLineSnapshot& lines, const std::string& fileName, std::string_view delimiter,
                     const TLineProgress& progress = {});

} // namespace zarvo
