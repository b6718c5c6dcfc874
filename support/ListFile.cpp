#include "support/ListFile.h"

#include <algorithm>
#include <cstring>

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

namespace {
constexpr size_t kPiece = size_t{128} << 10;
} // namespace

TListFileWriter::TListFileWriter(const std::string& fileName, std::string_view delimiter)
    : FFile(fileName), FDelimiter(delimiter) {}

void TListFileWriter::Write(const TStringList& lines) {
    for (size_t i = 0; i < lines.Count(); ++i) WriteLine(lines[i]);
}

void TListFileWriter::FlushPiece() {
    if (FPieceSize > 0) FFile.Write(std::string_view(FPiece.get(), FPieceSize));
    FPieceSize = 0;
}

void TListFileWriter::WriteLine(std::string_view line) {
    const std::string_view delimiter = FFirst ? std::string_view() : std::string_view(FDelimiter);
    FFirst = false;
    if (FPieceSize + delimiter.size() + line.size() > kPiece) {
        FlushPiece();
        // A line longer than the piece goes out as it is.
        if (delimiter.size() + line.size() > kPiece) {
            if (!delimiter.empty()) FFile.Write(delimiter);
            FFile.Write(line);
            return;
        }
    }
    if (!FPiece) FPiece.reset(new char[kPiece]);
    char* p = FPiece.get() + FPieceSize;
    if (!delimiter.empty()) std::memcpy(p, delimiter.data(), delimiter.size());
    if (!line.empty()) std::memcpy(p + delimiter.size(), line.data(), line.size());
    FPieceSize += delimiter.size() + line.size();
}

void TListFileWriter::Close() {
    FlushPiece();
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
