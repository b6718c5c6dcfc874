#include "dns/ResolvConf.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "dns/DnsAddress.h"

namespace zarvo::dns {

namespace {

// An address of a nameserver line: never a name (resolving one would need the very
// servers being read), and a zone only where the system knows it.
bool UsableAddress(const std::string& text) {
    if (text.find(':') == std::string::npos) return detail::IsDottedDecimal(text);
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    freeaddrinfo(res);
    return true;
}

// The address of a "nameserver" line; empty for any other line.
std::string_view NameserverAddress(std::string_view line) {
    constexpr std::string_view kKeyword = "nameserver";
    if (line.substr(0, kKeyword.size()) != kKeyword) return {};
    line.remove_prefix(kKeyword.size());
    if (line.empty() || (line.front() != ' ' && line.front() != '\t')) return {};
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    return line.substr(0, line.find_first_of(" \t\r#;"));
}

// The file's bytes; a file that cannot be opened or read raises.
std::string ReadWhole(const std::string& path) {
    const auto fail = [&path](int err) {
        throw EReverseLookupError("cannot read " + path + ": " + std::strerror(err));
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(errno);
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            const int err = errno;
            ::close(fd);
            fail(err);
        }
    }
    ::close(fd);
    return text;
}

} // namespace

std::vector<TDnsServer> ReadResolvConf(const std::string& path) {
    const std::string text = ReadWhole(path);
    std::vector<TDnsServer> servers;
    for (size_t pos = 0; pos < text.size() && servers.size() < kMaxSystemServers;) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        const std::string address(NameserverAddress(std::string_view(text).substr(pos, end - pos)));
        pos = end + 1;
        if (address.empty() || !UsableAddress(address)) continue;
        servers.push_back(TDnsServer{address, address, 53});
    }
    return servers;
}

} // namespace zarvo::dns
