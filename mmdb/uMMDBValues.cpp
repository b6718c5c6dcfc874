#include "mmdb/uMMDBValues.h"

#include <bit>
#include <charconv>

#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo {

namespace {
using T = TMMDBType;

template <class N> void AppendNumber(std::string& out, N v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendUInt128(std::string& out, unsigned __int128 v) {
    char buf[40];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    out.append(p, buf + sizeof buf);
}

// An unsigned integer of n bytes, of which the last keep count (as the record decoder
// reads them: only the last bytes survive the shifts).
unsigned __int128 ReadUnsigned(TByteCursor& in, uint32_t n, uint32_t keep) {
    keep = std::min(n, keep);
    in.Skip(n - keep);
    unsigned __int128 v = 0;
    for (uint32_t i = 0; i < keep; ++i) v = v << 8 | in.ReadU8();
    return v;
}

bool IsIndex(const std::string& step) {
    return !step.empty() && step.size() <= 9 &&
           std::all_of(step.begin(), step.end(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

TMMDBFieldPath ParseMMDBFieldPath(std::string_view text) {
    TMMDBFieldPath path{std::string(text), {}};
    for (size_t start = 0;;) {
        const size_t dot = text.find('.', start);
        const std::string_view step =
            text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (step.empty()) throw Exception(Format("the field path '%s' has an empty part", path.Text.c_str()));
        path.Steps.emplace_back(step);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return path;
}

TMMDBDecoder::TControl TMMDBValueReader::Resolve(int64_t offset, int& depth, int64_t* at) const {
    for (;;) {
        if (depth > TMMDBDecoder::kMaxDepth) throw Exception(kMMDBTooDeep);
        const TMMDBDecoder::TControl c = FDecoder.ReadControl(offset);
        if (at) *at = offset;
        if (c.Type != T::Pointer) return c;
        offset = FDecoder.PointerTarget(c.Size, c.Payload).first;
        ++depth;
    }
}

int64_t TMMDBValueReader::Step(const TMMDBDecoder::TControl& c, const std::string& step, int depth) const {
    if (c.Type == T::Array) {
        if (!IsIndex(step)) return -1;
        const uint64_t index = std::stoull(step);
        if (index >= c.Size) return -1;
        return FDecoder.SkipValues(c.Payload, index);
    }
    if (c.Type != T::Map) return -1;
    int64_t position = c.Payload;
    for (uint32_t i = 0; i < c.Size; ++i) {
        const auto [key, valuePos] = FDecoder.ReadMapKey(position, depth);
        if (key == step) return valuePos;
        position = FDecoder.SkipValues(valuePos, 1);
    }
    return -1;
}

bool TMMDBValueReader::AppendField(int64_t offset, const TMMDBFieldPath& path, std::string& out) const {
    int depth = 0;
    TMMDBDecoder::TControl c = Resolve(offset, depth);
    for (const std::string& step : path.Steps) {
        const int64_t at = Step(c, step, depth + 1);
        if (at < 0) return false;
        ++depth;
        c = Resolve(at, depth);
    }
    if (c.Type == T::Map || c.Type == T::Array || c.Type == T::Bytes) {
        AppendContainer(c, out, depth);
        return true;
    }
    AppendScalar(c, out, false);
    return true;
}

int64_t TMMDBValueReader::FieldOffset(int64_t offset, const TMMDBFieldPath& path) const {
    int depth = 0;
    int64_t place = offset;
    TMMDBDecoder::TControl c = Resolve(offset, depth, &place);
    for (const std::string& step : path.Steps) {
        const int64_t at = Step(c, step, depth + 1);
        if (at < 0) return -1;
        ++depth;
        c = Resolve(at, depth, &place);
    }
    return place;
}

int64_t TMMDBValueReader::AppendJson(int64_t offset, std::string& out, int depth) const {
    const TMMDBDecoder::TControl first = FDecoder.ReadControl(offset);
    int64_t behind = -1;
    if (first.Type == T::Pointer) behind = FDecoder.PointerTarget(first.Size, first.Payload).second;
    int at = depth;
    const TMMDBDecoder::TControl c = Resolve(offset, at);
    if (c.Type == T::Map || c.Type == T::Array || c.Type == T::Bytes) {
        const int64_t end = AppendContainer(c, out, at);
        return behind >= 0 ? behind : end;
    }
    AppendScalar(c, out, true);
    return behind >= 0 ? behind : FDecoder.SkipValues(offset, 1);
}

int64_t TMMDBValueReader::AppendContainer(const TMMDBDecoder::TControl& c, std::string& out,
                                          int depth) const {
    if (depth + 1 > TMMDBDecoder::kMaxDepth) throw Exception(kMMDBTooDeep);
    if (c.Type == T::Bytes) {
        TByteCursor in = FDecoder.PayloadAt(c.Payload);
        out += '[';
        for (uint32_t i = 0; i < c.Size; ++i) {
            if (i) out += ',';
            AppendNumber(out, in.ReadU8());
        }
        out += ']';
        return static_cast<int64_t>(in.Tell());
    }
    const bool map = c.Type == T::Map;
    // Every key and every value takes at least one byte.
    FDecoder.PayloadAt(c.Payload).Need(map ? 2ull * c.Size : c.Size);
    int64_t position = c.Payload;
    out += map ? '{' : '[';
    for (uint32_t i = 0; i < c.Size; ++i) {
        if (i) out += ',';
        if (map) {
            const auto [key, valuePos] = FDecoder.ReadMapKey(position, depth + 1);
            std::string text;
            AssignUtf8Replacing(text, key);
            out += '"';
            AppendEscaped(out, text, TEscapeStyle::Json);
            out += "\":";
            position = valuePos;
        }
        position = AppendJson(position, out, depth + 1);
    }
    out += map ? '}' : ']';
    return position;
}

void TMMDBValueReader::AppendScalar(const TMMDBDecoder::TControl& c, std::string& out, bool inJson) const {
    TByteCursor in = FDecoder.PayloadAt(c.Payload);
    switch (c.Type) {
    case T::Utf8String: {
        std::string text;
        AssignUtf8Replacing(text, in.ReadText(c.Size));
        if (inJson) out += '"';
        AppendEscaped(out, text, inJson ? TEscapeStyle::Json : TEscapeStyle::TabField);
        if (inJson) out += '"';
        return;
    }
    case T::Double:
        if (c.Size != 8) throw Exception(kMMDBBadDouble);
        return AppendNumber(out, std::bit_cast<double>(in.ReadU64()));
    case T::Float:
        if (c.Size != 4) throw Exception(kMMDBBadFloat);
        return AppendNumber(out, std::bit_cast<float>(in.ReadU32()));
    case T::UInt16:
    case T::UInt32:
    case T::UInt64:
        return AppendNumber(out, static_cast<uint64_t>(ReadUnsigned(in, c.Size, 8)));
    case T::Int32:
        return AppendNumber(out, static_cast<int32_t>(static_cast<uint32_t>(ReadUnsigned(in, c.Size, 4))));
    case T::UInt128:
        return AppendUInt128(out, ReadUnsigned(in, c.Size, 16));
    case T::Boolean:
        if (c.Size > 1) throw Exception(kMMDBBadBoolean);
        out += c.Size == 1 ? "true" : "false";
        return;
    default:
        throw Exception(Format("Unable to handle type:%d", static_cast<int>(c.Type)));
    }
}

} // namespace zarvo
