#include "support/ListFile.h"

#include <algorithm>

namespace zarvo {

std::string ListDelimiter(TListDelimiter d) {
    switch (d) {
    case ldComma:
        return ",";
    case ldSemicolon:
        return ";";
    case ldEndOfLine:
        break;
    }
    return "\r\n";
}

TListFileWriter::TListFileWriter(const std::string& fileName, std::string_view delimiter)
    : FFile(fileName), FDelimiter(delimiter) {}

void TListFileWriter::Write(const TStringList& lines) {
    for (size_t i = 0; i < lines.Count(); ++i) WriteLine(lines[i]);
}

void TListFileWriter::WriteLine(std::string_view line) {
    // Lines are gathered into one piece before they reach the file: a million
    // short lines would otherwise be two million small writes into its buffer.
    constexpr size_t kPiece = size_t{1} << 20;
    if (!FFirst) FPiece.append(FDelimiter);
    FFirst = false;
    FPiece.append(line);
    if (FPiece.size() >= kPiece) {
        FFile.Write(FPiece);
        FPiece.clear();
    }
}

void TListFileWriter::Close() {
    FFile.Write(FPiece);
    FPiece.clear();
    FFile.Commit();
}

void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter) {
    TListFileWriter writer(fileName, delimiter);
    writer.Write(lines);
    writer.Close();
}

bool SaveLinesToFile(const TLineSnapshot& lines, const std::string& fileName, std::string_view delimiter,
                     const TLineProgress& progress) {
    TListFileWriter writer(fileName, delimiter);
    const size_t n = lines.LineCount();
    constexpr size_t kBlock = size_t{1} << 16;
    for (size_t first = 0; first < n; first += kBlock) {
        if (progress && !progress(first, n)) return false;
        lines.ForEachRow(first, std::min(n, first + kBlock),
                         [&](std::string_view l) { writer.WriteLine(l); });
    }
    if (progress && !progress(n, n)) return false;
    writer.Close();
    return true;
}

} // namespace zarvo
