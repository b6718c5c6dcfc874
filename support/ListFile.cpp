#include "support/ListFile.h"

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
    for (size_t i = 0; i < lines.Count(); ++i) {
        if (!FFirst) FFile.Write(FDelimiter);
        FFirst = false;
        FFile.Write(lines[i]);
    }
}

void TListFileWriter::Close() {
    FFile.Commit();
}

void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter) {
    TListFileWriter writer(fileName, delimiter);
    writer.Write(lines);
    writer.Close();
}

} // namespace zarvo
