#include "dns/IdDNSResolver.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "dns/DnsSocket.h"

namespace zarvo::dns {

namespace {

// Closes the socket however the query ends.
class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0) close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

} // namespace

void TIdDNSResolver::Resolve(std::string_view ADomain, std::string_view /*SOARR*/, uint16_t QClass) {
    FQueryResult.Clear();
    const uint16_t id = NewQueryId();
    const std::vector<uint8_t> query = CreateQuery(id, ADomain, QueryType, QClass, AllowRecursiveQueries);

    detail::TServerAddress server;
    std::string error;
    if (!detail::ResolveServerAddress(Host, Port, IPVersion == Id_IPv6 ? AF_INET6 : AF_INET, server, error))
        throw EIdDnsResolverError(error);
    const TFd fd(detail::OpenConnectedSocket(server, false, error));
    if (fd.Get() < 0) throw EIdDnsResolverError(error);

    if (send(fd.Get(), query.data(), query.size(), MSG_NOSIGNAL) < 0)
        throw EIdDnsResolverError(detail::SocketErrorText(errno));

    // One send, then datagrams until the reply or the end of the waiting time; a
    // datagram that is not the reply to this query does not end the wait.
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(std::max<int32_t>(WaitingTime, 0));
    std::array<uint8_t, detail::kReceiveBuffer> buf;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
        if (left <= 0) throw EIdDnsResolverError("TimedOut");
        pollfd p{fd.Get(), POLLIN, 0};
        const int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)));
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw EIdDnsResolverError(detail::SocketErrorText(errno));
        }
        if (rc == 0) continue; // the next round sees the deadline
        const ssize_t n = recv(fd.Get(), buf.data(), buf.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            // ECONNREFUSED: the server's host answered "port unreachable" (ICMP).
            throw EIdDnsResolverError(detail::SocketErrorText(errno));
        }
        const auto size = static_cast<size_t>(n);
        const std::span<const uint8_t> data(buf.data(), std::min(size, buf.size()));
        if (detail::TakeDatagram(data, size, query, id, FQueryResult) == detail::TDatagramVerdict::Done)
            return;
    }
}

} // namespace zarvo::dns
