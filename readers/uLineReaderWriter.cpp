#include "readers/uLineReaderWriter.h"

#include <algorithm>

#include "readers/BufferedFileStreamUnit.h"

namespace zarvo {

TLineReader::TLineReader(TStream* stream, int32_t bufferSize, bool ownsStream) {
    InitStream(stream, bufferSize, ownsStream);
}

TLineReader::TLineReader(const std::string& filename, int32_t bufferSize) {
    auto stream = std::make_unique<TFileStream>(filename);
    // Raises the text reader's small sizes to its minimum, unlike the stream constructor.
    InitStream(stream.get(), bufferSize <= 0 ? TStreamReaderEx::kMinBufferSize : bufferSize, true);
    stream.release();
}

TLineReader::TLineReader(TStringList* lines, bool ownsLines) {
    InitLines(lines, ownsLines);
}

TLineReader::~TLineReader() {
    Close();
}

void TLineReader::InitStream(TStream* stream, int32_t bufferSize, bool ownsStream) {
    FStreamReader = std::make_unique<TStreamReaderEx>(stream, TTextEncoding::Utf8, true,
                                                      bufferSize <= 0 ? kDefaultBufferSize : bufferSize);
    FStream = stream;
    FOwnsStream = ownsStream;
    FLineIndex = 0;
}

void TLineReader::InitLines(TStringList* lines, bool ownsLines) {
    FLines = lines;
    FOwnsLines = ownsLines;
    FLineIndex = 0;
}

void TLineReader::ReadLine(std::string& line) {
    std::unique_lock<std::mutex> lock(FCS, std::defer_lock);
    if (FThreadSafe) lock.lock();
    line.clear();
    if (FStreamReader) {
        if (FStreamReader->EndOfStream()) return;
        FStreamReader->ReadLineBuffer(line);
        ++FLineIndex;
        return;
    }
    if (!FLines || FLineIndex < 0 || static_cast<uint64_t>(FLineIndex) >= FLines->Count()) return;
    line = (*FLines)[static_cast<size_t>(FLineIndex++)];
}

std::string TLineReader::ReadLine() {
    std::string line;
    ReadLine(line);
    return line;
}

void TLineReader::GotoNextLine() {
    if (EndOfLines()) return;
    if (FStreamReader) FStreamReader->GotoNextLine();
    ++FLineIndex;
}

int64_t TLineReader::SkipLines(int64_t maxLines) {
    int64_t n = 0;
    if (FStreamReader) {
        n = FStreamReader->SkipLines(maxLines);
    } else if (FLines && maxLines > 0) {
        const int64_t left = static_cast<int64_t>(FLines->Count()) - FLineIndex;
        n = std::max<int64_t>(0, std::min(maxLines, left));
    }
    FLineIndex += n;
    return n;
}

bool TLineReader::EndOfLines() {
    if (FStreamReader) return FStreamReader->EndOfStream();
    return !FLines || static_cast<uint64_t>(FLineIndex) >= FLines->Count();
}

bool TLineReader::LineCut() const {
    return FStreamReader && FStreamReader->LastLineCut();
}

bool TLineReader::SkipRest(int64_t maxBytes) {
    return !FStreamReader || FStreamReader->SkipRest(static_cast<size_t>(std::max<int64_t>(maxBytes, 0)));
}

int64_t TLineReader::StreamPosition() const {
    return FStreamReader && FStream ? FStream->Position() : 0;
}

int64_t TLineReader::StreamSize() const {
    return FStreamReader && FStream ? FStream->Size() : 0;
}

void TLineReader::Close() {
    FStreamReader.reset();
    if (FOwnsStream) delete FStream;
    FStream = nullptr;
    FOwnsStream = false;
    if (FOwnsLines) delete FLines;
    FLines = nullptr;
    FOwnsLines = false;
}

TCachedFileLineReader::TCachedFileLineReader(const std::string& filename, int32_t cacheSize,
                                             int32_t bufferSize) {
    auto stream = std::make_unique<TReadOnlyCachedFileStream>(filename, cacheSize);
    InitStream(stream.get(), bufferSize, true);
    stream.release();
}

TLineReaderClass TCachedFileLineReader::ReaderClass(int32_t cacheSize) {
    return [cacheSize](const std::string& filename, int32_t bufferSize) -> std::unique_ptr<TLineReader> {
        return std::make_unique<TCachedFileLineReader>(filename, cacheSize, bufferSize);
    };
}

} // namespace zarvo
