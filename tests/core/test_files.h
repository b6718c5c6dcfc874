// Files for the tests: a scratch folder that goes away with the test, and the
// bytes of a UTF-16 text with its byte-order mark.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zarvo::test {

class TTempDir {
public:
    explicit TTempDir(const std::string& name) {
        std::string tmpl = (std::filesystem::temp_directory_path() / ("zarvo-" + name + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        FPath = tmpl;
    }
    ~TTempDir() {
        // A test may have made the folder read-only.
        std::error_code ec;
        std::filesystem::permissions(FPath, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

// While it lives, files this process writes stop at bytes bytes: a write past that
// fails with EFBIG, as a full disk would fail it part way.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        if (::getrlimit(RLIMIT_FSIZE, &FSaved) != 0) throw std::runtime_error("getrlimit failed");
        struct rlimit small = FSaved;
        small.rlim_cur = bytes;
        FOldHandler = ::signal(SIGXFSZ, SIG_IGN);
        if (::setrlimit(RLIMIT_FSIZE, &small) != 0) throw std::runtime_error("setrlimit failed");
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &FSaved);
        ::signal(SIGXFSZ, FOldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    struct rlimit FSaved {};
    void (*FOldHandler)(int) = nullptr;
};

inline std::string Utf16Bytes(std::u16string_view s, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

} // namespace zarvo::test
