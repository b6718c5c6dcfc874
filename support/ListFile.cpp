#include "support/ListFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "support/ZarvoText.h"

namespace zarvo {

std::string ListDelimiter(int itemIndex) {
    switch (itemIndex) {
    case 1:
        return ",";
    case 2:
        return ";";
    default:
        return "\r\n";
    }
}

void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter) {
    auto fail = [&](int err) {
        throw Exception(Format("Cannot create file \"%s\". %s", fileName.c_str(), std::strerror(err)));
    };
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(fileName.c_str(), "wb"), &std::fclose);
    if (!f) fail(errno);
    // Large chunks: one write call per few hundred kilobytes, not per line.
    std::string buf;
    buf.reserve(1 << 20);
    for (size_t i = 0; i < lines.Count(); ++i) {
        if (i) buf.append(delimiter);
        buf.append(lines[i]);
        if (buf.size() >= (1 << 20) - 4096) {
            if (std::fwrite(buf.data(), 1, buf.size(), f.get()) != buf.size()) fail(errno);
            buf.clear();
        }
    }
    if (!buf.empty() && std::fwrite(buf.data(), 1, buf.size(), f.get()) != buf.size()) fail(errno);
    FILE* raw = f.release();
    if (std::fclose(raw) != 0) fail(errno);
}

} // namespace zarvo
