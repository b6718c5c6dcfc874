// The UDP side shared by the one-query resolver and the batch lookup: a server's
// socket address, a connected socket to it, and the verdict on each datagram that
// arrives there.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dns/DnsMessage.h"

namespace zarvo::dns::detail {

struct TServerAddress {
    sockaddr_storage Addr{};
    socklen_t Length = 0;
};

// An address literal (IPv4, IPv6, with or without brackets) or a host name through
// the system's resolver, preferring family (AF_INET, AF_INET6 or AF_UNSPEC) for
// names. False with the reason in error.
bool ResolveServerAddress(std::string_view host, uint16_t port, int family, TServerAddress& out,
                          std::string& error);

// A UDP socket connected to the server (so the kernel drops datagrams from any
// other source), close-on-exec, optionally non-blocking; -1 with error set, and
// socketErrno (when given) the reason when no socket could be made at all (0 when
// the socket was made but could not be connected).
int OpenConnectedSocket(const TServerAddress& server, bool nonBlocking, std::string& error,
                        int* socketErrno = nullptr);

// One datagram read into a buffer of this size: one byte over the largest reply, so
// that an oversized datagram shows (MSG_TRUNC gives its real length too).
inline constexpr size_t kReceiveBuffer = kMaxReplySize + 1;

enum class TDatagramVerdict {
    Ignore, // not a reply to the query (a stray or spoofed datagram): keep waiting
    Done,   // the reply: result holds its records
};

// Judges a datagram of realSize bytes (data holds its first bytes) received for
// query: too short or too long, or failing the reply checks, raises the resolver's
// failure; not the reply to query gives Ignore.
TDatagramVerdict TakeDatagram(std::span<const uint8_t> data, size_t realSize, std::span<const uint8_t> query,
                              uint16_t id, TQueryResult& result);

std::string SocketErrorText(int err);

} // namespace zarvo::dns::detail
