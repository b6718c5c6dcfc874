#include "viewer/uLineReaderWriter.h"

namespace zarvo {

TLineReader::TLineReader(TStringList* lines, bool ownsLines) {
    InitLines(lines, ownsLines);
}

TLineReader::~TLineReader() {
    Close();
}

void TLineReader::InitLines(TStringList* lines, bool ownsLines) {
    FLines = lines;
    FOwnsLines = ownsLines;
    FLineIndex = 0;
}

std::string TLineReader::ReadLine() {
    std::unique_lock<std::mutex> lock(FCS, std::defer_lock);
    if (FThreadSafe) lock.lock();
    if (!FLines || FLineIndex < 0 || static_cast<size_t>(FLineIndex) >= FLines->Count()) return std::string();
    return std::string((*FLines)[static_cast<size_t>(FLineIndex++)]);
}

void TLineReader::GotoNextLine() {
    if (!EndOfLines()) ++FLineIndex;
}

bool TLineReader::EndOfLines() const {
    return !FLines || static_cast<size_t>(FLineIndex) >= FLines->Count();
}

int64_t TLineReader::StreamPosition() const {
    return 0;
}

int64_t TLineReader::StreamSize() const {
    return 0;
}

void TLineReader::Close() {
    if (FOwnsLines) delete FLines;
    FLines = nullptr;
    FOwnsLines = false;
}

} // namespace zarvo
