#pragma once

// The rtnetlink side of the Linux ARP query: one socket, requests with their answers, and the look-ups of
// the route, the link and the neighbour entry that belong to an address. Each answer is read by a plain
// function, so tests hand them messages of their own making, without a socket.

#include "core/StopToken.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

namespace arp {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLinkAddr = 32;

// Milliseconds left until t, 0 when it has passed.
int MsUntil(Clock::time_point t);

enum class EWait { Readable, TimedOut, Stopped, Failed };

// Waits until fd is readable, the stop is raised or timeoutMs passed. An interrupted wait counts as timed
// out: every caller loops against its own deadline.
EWait WaitReadable(int fd, int timeoutMs, const CStopToken& stop);

struct SRoute {
    int nType = -1;
    uint32_t dwOif = 0;
    bool bGateway = false;  // any next hop through a router
    uint32_t dwPrefSrc = 0; // network byte order; 0 when the kernel named none
};

struct SLink {
    bool bFound = false;
    uint16_t nType = 0;
    unsigned nFlags = 0;
    std::array<uint8_t, kMaxLinkAddr> addr{};
    size_t nAddrLen = 0;
    std::array<uint8_t, kMaxLinkAddr> broadcast{};
    size_t nBroadcastLen = 0;
};

struct SNeigh {
    bool bFound = false; // false: no entry, or the entry was deleted
    uint16_t nState = 0;
    std::array<uint8_t, kMaxLinkAddr> lladdr{};
    size_t nLladdrLen = 0;
    bool bHasAge = false;
    int64_t nConfirmedAgeMs = 0; // how long before the message the kernel last confirmed the entry
};

// An RTM_NEWROUTE answer into route. False for any other message.
bool ParseRoute(const nlmsghdr* nlh, SRoute& route);
// An RTM_NEWLINK message about interface dwIndex into link. False for any other message.
bool ParseLink(const nlmsghdr* nlh, uint32_t dwIndex, SLink& link);
// A neighbour message (new or deleted entry) about dwDestIp on dwIfIndex into n. False when it is about
// another entry, another family, or a proxy entry.
bool ParseNeigh(const nlmsghdr* nlh, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n);

// The one mapping of failed requests (an errno value, as Request returns it) onto the query's result codes.
uint32_t RequestErrorToCode(int rc);

// Whether a single-entry neighbour request was refused as such (older kernels know only the dump), so that
// the table is to be read by a dump instead.
bool IsNeighGetRefused(int rc);

// A NETLINK_ROUTE socket: requests and their answers, or the events of the groups it joined.
class CRtnl {
public:
    using MessageFn = std::function<void(const nlmsghdr*)>;

    CRtnl();
    ~CRtnl();
    CRtnl(const CRtnl&) = delete;
    CRtnl& operator=(const CRtnl&) = delete;

    // 0 or an errno value.
    int Open(unsigned groups);
    int Fd() const;

    // Sends one request (bDump: a dump request) and hands every message of its answer to fn. 0 once the
    // kernel acknowledged it or ended the dump, else the kernel's errno value (ENOENT, ENETUNREACH, ...),
    // ETIMEDOUT past the deadline, ECANCELED on a stop.
    int Request(nlmsghdr* nlh, bool bDump, const MessageFn& fn, Clock::time_point deadline,
                const CStopToken& stop);

    // Hands every message already waiting on the socket to fn, without waiting. 0 when all were read;
    // ENOBUFS when the kernel dropped some because the socket was full; another errno value on failure.
    int ReadPending(const MessageFn& fn);

    // Set once the kernel refused a single-entry neighbour request: later look-ups read the table by dump
    // at once.
    bool m_bNeighByDump = false;

private:
    int RunCallbacks(size_t length, unsigned seq, unsigned portId, const MessageFn& fn);

    mnl_socket* m_pSocket = nullptr;
    unsigned m_nPortId = 0;
    unsigned m_nSeq = 0;
    std::vector<char> m_buffer;
};

// The route the kernel would use to send to dwDestIp; through interface dwOif only, when it is not 0.
// Pinned to an interface, the kernel takes any address it has no route for as on that interface's link;
// bTableEntry asks for the routing table's own entry instead, and fails (EHOSTUNREACH) where none matched.
int LookUpRoute(CRtnl& nl, uint32_t dwDestIp, SRoute& route, Clock::time_point deadline,
                const CStopToken& stop, uint32_t dwOif = 0, bool bTableEntry = false);
// Interface dwIndex (link.bFound false when the kernel did not describe it).
int LookUpLink(CRtnl& nl, uint32_t dwIndex, SLink& link, Clock::time_point deadline, const CStopToken& stop);
// The kernel's current entry for dwDestIp on dwIfIndex (n.bFound false when there is none). Asks for the
// single entry; when the kernel refuses that kind of request, reads the interface's table by dump and picks
// the entry out.
int LookUpNeigh(CRtnl& nl, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n, Clock::time_point deadline,
                const CStopToken& stop);

} // namespace arp
