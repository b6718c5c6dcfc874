#include "support/ListFile.h"

#include <cerrno>
#include <cstring>

#include "support/ZarvoText.h"

namespace zarvo {

namespace {
constexpr size_t kChunk = 1 << 20; // one write call per megabyte, not per line
}

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
    : FFileName(fileName), FDelimiter(delimiter), FFile(std::fopen(fileName.c_str(), "wb"), &std::fclose) {
    if (!FFile) Fail(errno);
    FBuffer.reserve(kChunk + 4096);
}

void TListFileWriter::Fail(int err) const {
    throw Exception(Format("Cannot create file \"%s\". %s", FFileName.c_str(), std::strerror(err)));
}

void TListFileWriter::Flush() {
    if (!FBuffer.empty() && std::fwrite(FBuffer.data(), 1, FBuffer.size(), FFile.get()) != FBuffer.size())
        Fail(errno);
    FBuffer.clear();
}

void TListFileWriter::Write(const TStringList& lines) {
    for (size_t i = 0; i < lines.Count(); ++i) {
        if (!FFirst) FBuffer.append(FDelimiter);
        FFirst = false;
        FBuffer.append(lines[i]);
        if (FBuffer.size() >= kChunk) Flush();
    }
}

void TListFileWriter::Close() {
    Flush();
    if (std::fclose(FFile.release()) != 0) Fail(errno);
}

void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter) {
    TListFileWriter writer(fileName, delimiter);
    writer.Write(lines);
    writer.Close();
}

} // namespace zarvo
