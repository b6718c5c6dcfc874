#include "mmdb/uMMDBReader.h"

#include "support/ZarvoText.h"

namespace zarvo {

namespace {
const char* const kTreeCorrupt =
    "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.";
const char* const kTreeTooLarge =
    "The MaxMind Db file's search tree is corrupt: the search tree is larger than the database.";
} // namespace

TMMDBReader::TMMDBReader(const std::string& Filename) : _fileName(Filename) {
    FDatabase = std::make_shared<const TMMDBArrayBuffer>(Filename);
    Open();
}

TMMDBReader::TMMDBReader(std::vector<uint8_t> image, const std::string& name) : _fileName(name) {
    FDatabase = std::make_shared<const TMMDBArrayBuffer>(std::move(image));
    Open();
}

TMMDBReader::TMMDBReader(std::shared_ptr<const TMMDBArrayBuffer> image, const std::string& name)
    : FDatabase(std::move(image)), _fileName(name) {
    Open();
}

std::unique_ptr<TMMDBReader> TMMDBReader::Twin() const {
    return std::unique_ptr<TMMDBReader>(new TMMDBReader(FDatabase, _fileName));
}

TMMDBReader::~TMMDBReader() {
    FDecoder.reset();
    FMetadata.reset();
    FMetaOwnerObjects.clear();
    FFindOwnerObjects.clear();
    FDatabase.reset();
}

void TMMDBReader::Open() {
    const int64_t metaStart = LocateMMDBMetadata(*FDatabase, _fileName);
    FMetadata = std::make_unique<TMMDBMetadata>();
    {
        TMMDBDecoder metaDecoder(&FMetaOwnerObjects, FDatabase.get(), metaStart, true);
        metaDecoder.DecodeInto(*FMetadata, metaStart);
    }
    const TMMDBMetadata& m = *FMetadata;
    // The tree must lie before the data section's marker; node numbers then stay
    // within the image, and the walk never reads outside it.
    if (m.NodeCount() < 0 || m.NodeByteSize() < 0 || m.NodeCount() > INT32_MAX ||
        m.SearchTreeSize() + 16 > metaStart - 14)
        throw Exception(kTreeTooLarge);
    FNodeCount = m.NodeCount();
    FTree.Attach(*FDatabase,
                 FDatabase->Image(kTreeTooLarge).ReadBytes(static_cast<size_t>(m.SearchTreeSize())).data(),
                 m.NodeCount(), m.RecordSize(), m.IPVersion());
    FDecoder =
        std::make_unique<TMMDBDecoder>(&FFindOwnerObjects, FDatabase.get(), m.SearchTreeSize() + 16, true);
}

int64_t TMMDBReader::RecordOffset(int64_t r) const {
    const int64_t offset = FMetadata->SearchTreeSize() + r - FNodeCount;
    // NodeCount + 16 is the first byte of the data section; the values below it
    // would take the tree or the 16-byte separator for a record.
    if (r - FNodeCount < 16 || offset >= FDatabase->Length()) throw Exception(kTreeCorrupt);
    return offset;
}

void TMMDBReader::LoadRecordInto(int64_t r, TMMDBRecord& result) {
    const int64_t offset = RecordOffset(r);
    // A refilled record must not keep fields of an earlier record that this one lacks.
    result.Clear();
    FDecoder->DecodeInto(result, offset);
}

bool TMMDBReader::Lookup(const TMMDBIPAddress& address, int32_t& prefixLength, TMMDBRecord& result) {
    const int64_t r = WalkTree(address, prefixLength);
    if (r == 0) return false;
    LoadRecordInto(r, result);
    return true;
}

} // namespace zarvo
