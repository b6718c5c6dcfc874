#include "dns/DnsSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "support/ZarvoText.h"

namespace zarvo::dns::detail {

bool ResolveServerAddress(std::string_view host, uint16_t port, int family, TServerAddress& out,
                          std::string& error) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string h(host);
    out = TServerAddress();
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.Addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.Addr);
    if (inet_pton(AF_INET, h.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out.Length = sizeof(sockaddr_in);
        return true;
    }
    if (inet_pton(AF_INET6, h.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out.Length = sizeof(sockaddr_in6);
        return true;
    }
    if (h.empty()) {
        error = "No DNS server given";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    // An IPv6 address with its zone ("fe80::1%eth0") is read here, never looked up.
    if (h.find(':') != std::string::npos) hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(h.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        error = Format("%s: %s", h.c_str(), gai_strerror(rc));
        return false;
    }
    std::memcpy(&out.Addr, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof out.Addr));
    out.Length = static_cast<socklen_t>(std::min<size_t>(res->ai_addrlen, sizeof out.Addr));
    freeaddrinfo(res);
    if (out.Addr.ss_family == AF_INET)
        v4->sin_port = htons(port);
    else if (out.Addr.ss_family == AF_INET6)
        v6->sin6_port = htons(port);
    return true;
}

int OpenConnectedSocket(const TServerAddress& server, bool nonBlocking, std::string& error,
                        int* socketErrno) {
    if (socketErrno) *socketErrno = 0;
    const int fd = socket(server.Addr.ss_family,
                          SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
    if (fd < 0) {
        if (socketErrno) *socketErrno = errno;
        error = SocketErrorText(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server.Addr), server.Length) != 0) {
        error = SocketErrorText(errno);
        close(fd);
        return -1;
    }
    return fd;
}

TDatagramVerdict TakeDatagram(std::span<const uint8_t> data, size_t realSize, std::span<const uint8_t> query,
                              uint16_t id, TQueryResult& result) {
    if (realSize > kMaxReplySize)
        throw EIdDnsResolverError(
            Format("Invalid Packet Size %d", static_cast<int>(std::min<size_t>(realSize, 0x7FFFFFFF))));
    if (realSize < 12) FillResult(data.first(realSize), id, result); // raises the size failures
    if (!IsReplyTo(data.first(realSize), query)) return TDatagramVerdict::Ignore;
    FillResult(data.first(realSize), id, result);
    return TDatagramVerdict::Done;
}

std::string SocketErrorText(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return Format("Socket Error # %d %s", err, text);
}

} // namespace zarvo::dns::detail
