#include "mac/ArpQuery_linux.h"

#include "app/UniqueFd.h"

#include <libmnl/libmnl.h>
#include <linux/if_ether.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

// How the query's failures map onto the system error codes that the check logs:
//
//   67   ERROR_BAD_NET_NAME       no answer within the wait; the address is not on-link (its route leads
//                                 through a gateway, or there is no usable route: unreachable, prohibited,
//                                 blackhole); the kernel gave up resolving it; the interface is down.
//   87   ERROR_INVALID_PARAMETER  the address is no host to ask: 0.0.0.0, an address of this host, a
//                                 broadcast or multicast address; or null buffer pointers.
//   111  ERROR_BUFFER_OVERFLOW    the answer is longer than the room the caller offered.
//   1784 ERROR_INVALID_USER_BUFFER the caller offered no room at all.
//   1168 ERROR_NOT_FOUND          the route names no interface, or the interface went away meanwhile.
//   50   ERROR_NOT_SUPPORTED      the interface does not use ARP (loopback, NOARP), or the wire was asked
//                                 for explicitly on an interface that is not Ethernet.
//   5    ERROR_ACCESS_DENIED      the wire was asked for explicitly without the capability for raw packets.
//   1223 ERROR_CANCELLED          a stop request ended the wait.
//   31   ERROR_GEN_FAILURE        the system failed otherwise (netlink or socket errors).

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint16_t kDiscardPort = 9;
constexpr milliseconds kWireRetry{1000};   // the wire is asked once a second
constexpr milliseconds kLookInterval{100}; // the neighbour table is read this often besides its events
constexpr size_t kMaxLinkAddr = 32;
constexpr size_t kArpPacketSize = 28;

int MsUntil(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<milliseconds>(t - Clock::now()).count();
    if (ms <= 0)
        return 0;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

enum class EWait { Readable, TimedOut, Stopped, Failed };

// Waits until fd is readable, the stop is raised or timeoutMs passed. An interrupted wait counts as timed
// out: every caller loops against its own deadline.
EWait WaitReadable(int fd, int timeoutMs, const CStopToken& stop) {
    if (stop.StopRequested())
        return EWait::Stopped;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop.WakeFd(), POLLIN, 0}};
    int rc = poll(fds, stop.WakeFd() >= 0 ? 2 : 1, timeoutMs);
    if (stop.StopRequested())
        return EWait::Stopped;
    if (rc < 0)
        return errno == EINTR ? EWait::TimedOut : EWait::Failed;
    if (rc > 0 && fds[0].revents != 0)
        return EWait::Readable;
    return EWait::TimedOut;
}

template <class F>
void ForEachAttr(const nlmsghdr* nlh, size_t headerSize, F&& fn) {
    if (mnl_nlmsg_get_payload_len(nlh) < headerSize)
        return;
    mnl_attr_parse(
        nlh, unsigned(headerSize),
        [](const nlattr* attr, void* data) -> int {
            (*static_cast<F*>(data))(attr);
            return MNL_CB_OK;
        },
        &fn);
}

bool IsU32(const nlattr* attr) {
    return mnl_attr_validate(attr, MNL_TYPE_U32) >= 0;
}

// A NETLINK_ROUTE socket: requests and their answers, or the events of the groups it joined.
class CRtnl {
public:
    CRtnl() : m_buffer(32768) {}
    ~CRtnl() {
        if (m_pSocket)
            mnl_socket_close(m_pSocket);
    }
    CRtnl(const CRtnl&) = delete;
    CRtnl& operator=(const CRtnl&) = delete;

    // 0 or an errno value.
    int Open(unsigned groups) {
        m_pSocket = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (!m_pSocket)
            return errno;
        if (mnl_socket_bind(m_pSocket, groups, MNL_SOCKET_AUTOPID) < 0)
            return errno;
        m_nPortId = mnl_socket_get_portid(m_pSocket);
        return 0;
    }

    int Fd() const { return mnl_socket_get_fd(m_pSocket); }

    // Sends one request and hands every message of its answer to fn. 0 once the kernel acknowledged it,
    // else the kernel's errno value (ENOENT, ENETUNREACH, ...), ETIMEDOUT past the deadline, ECANCELED on a
    // stop.
    template <class F>
    int Request(nlmsghdr* nlh, F&& fn, Clock::time_point deadline, const CStopToken& stop) {
        nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
        nlh->nlmsg_seq = ++m_nSeq;
        if (mnl_socket_sendto(m_pSocket, nlh, nlh->nlmsg_len) < 0)
            return errno;
        for (;;) {
            switch (WaitReadable(Fd(), MsUntil(deadline), stop)) {
            case EWait::Stopped:
                return ECANCELED;
            case EWait::Failed:
                return errno;
            case EWait::TimedOut:
                if (Clock::now() >= deadline)
                    return ETIMEDOUT;
                continue;
            case EWait::Readable:
                break;
            }
            ssize_t n = mnl_socket_recvfrom(m_pSocket, m_buffer.data(), m_buffer.size());
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                return errno;
            }
            errno = 0;
            int rc = RunCallbacks(size_t(n), m_nSeq, m_nPortId, fn);
            if (rc == MNL_CB_ERROR)
                return errno != 0 ? errno : EPROTO;
            if (rc == MNL_CB_STOP)
                return 0;
        }
    }

    // Hands every message already waiting on the socket to fn, without waiting. 0 when all were read;
    // ENOBUFS when the kernel dropped some because the socket was full; another errno value on failure.
    template <class F>
    int ReadPending(F&& fn) {
        for (;;) {
            ssize_t n = mnl_socket_recvfrom(m_pSocket, m_buffer.data(), m_buffer.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN ? 0 : errno;
            }
            RunCallbacks(size_t(n), 0, 0, fn);
        }
    }

private:
    template <class F>
    int RunCallbacks(size_t length, unsigned seq, unsigned portId, F& fn) {
        return mnl_cb_run(
            m_buffer.data(), length, seq, portId,
            [](const nlmsghdr* nlh, void* data) -> int {
                (*static_cast<F*>(data))(nlh);
                return MNL_CB_OK;
            },
            &fn);
    }

    mnl_socket* m_pSocket = nullptr;
    unsigned m_nPortId = 0;
    unsigned m_nSeq = 0;
    std::vector<char> m_buffer;
};

// A request under construction: the header, the family header, then attributes.
class CRequest {
public:
    CRequest(uint16_t type, size_t extraSize) {
        m_pNlh = mnl_nlmsg_put_header(m_buffer.data());
        m_pNlh->nlmsg_type = type;
        m_pExtra = mnl_nlmsg_put_extra_header(m_pNlh, extraSize);
    }
    nlmsghdr* Nlh() { return m_pNlh; }
    template <class T>
    T* Extra() {
        return static_cast<T*>(m_pExtra);
    }

private:
    alignas(nlmsghdr) std::array<char, 512> m_buffer{};
    nlmsghdr* m_pNlh;
    void* m_pExtra;
};

struct SRoute {
    int nType = -1;
    uint32_t dwOif = 0;
    bool bGateway = false;
    uint32_t dwPrefSrc = 0; // network byte order; 0 when the kernel named none
};

// The route the kernel would use to send to dwDestIp.
int LookUpRoute(CRtnl& nl, uint32_t dwDestIp, SRoute& route, Clock::time_point deadline,
                const CStopToken& stop) {
    CRequest req(RTM_GETROUTE, sizeof(rtmsg));
    rtmsg* pRtm = req.Extra<rtmsg>();
    pRtm->rtm_family = AF_INET;
    pRtm->rtm_dst_len = 32;
    mnl_attr_put_u32(req.Nlh(), RTA_DST, dwDestIp);
    return nl.Request(
        req.Nlh(),
        [&](const nlmsghdr* nlh) {
            if (nlh->nlmsg_type != RTM_NEWROUTE || mnl_nlmsg_get_payload_len(nlh) < sizeof(rtmsg))
                return;
            route.nType = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh))->rtm_type;
            ForEachAttr(nlh, sizeof(rtmsg), [&](const nlattr* attr) {
                switch (mnl_attr_get_type(attr)) {
                case RTA_OIF:
                    if (IsU32(attr))
                        route.dwOif = mnl_attr_get_u32(attr);
                    break;
                case RTA_PREFSRC:
                    if (IsU32(attr))
                        route.dwPrefSrc = mnl_attr_get_u32(attr);
                    break;
                // Any next hop through a router makes the address not on-link. A multipath answer is taken
                // the same way rather than looked into: it never leads straight onto one link.
                case RTA_GATEWAY:
                case RTA_VIA:
                case RTA_MULTIPATH:
                    route.bGateway = true;
                    break;
                default:
                    break;
                }
            });
        },
        deadline, stop);
}

struct SLink {
    bool bFound = false;
    uint16_t nType = 0;
    unsigned nFlags = 0;
    std::array<uint8_t, kMaxLinkAddr> addr{};
    size_t nAddrLen = 0;
    std::array<uint8_t, kMaxLinkAddr> broadcast{};
    size_t nBroadcastLen = 0;
};

size_t CopyAttr(const nlattr* attr, std::array<uint8_t, kMaxLinkAddr>& out) {
    size_t n = mnl_attr_get_payload_len(attr);
    if (n > out.size())
        return 0;
    memcpy(out.data(), mnl_attr_get_payload(attr), n);
    return n;
}

int LookUpLink(CRtnl& nl, uint32_t dwIndex, SLink& link, Clock::time_point deadline, const CStopToken& stop) {
    CRequest req(RTM_GETLINK, sizeof(ifinfomsg));
    ifinfomsg* pIfi = req.Extra<ifinfomsg>();
    pIfi->ifi_family = AF_UNSPEC;
    pIfi->ifi_index = int(dwIndex);
    return nl.Request(
        req.Nlh(),
        [&](const nlmsghdr* nlh) {
            if (nlh->nlmsg_type != RTM_NEWLINK || mnl_nlmsg_get_payload_len(nlh) < sizeof(ifinfomsg))
                return;
            const auto* pInfo = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
            if (pInfo->ifi_index != int(dwIndex))
                return;
            link.bFound = true;
            link.nType = pInfo->ifi_type;
            link.nFlags = pInfo->ifi_flags;
            ForEachAttr(nlh, sizeof(ifinfomsg), [&](const nlattr* attr) {
                if (mnl_attr_get_type(attr) == IFLA_ADDRESS)
                    link.nAddrLen = CopyAttr(attr, link.addr);
                else if (mnl_attr_get_type(attr) == IFLA_BROADCAST)
                    link.nBroadcastLen = CopyAttr(attr, link.broadcast);
            });
        },
        deadline, stop);
}

struct SNeigh {
    bool bFound = false;
    uint16_t nState = 0;
    std::array<uint8_t, kMaxLinkAddr> lladdr{};
    size_t nLladdrLen = 0;
    bool bHasAge = false;
    int64_t nConfirmedAgeMs =
        0; // how long ago the kernel last confirmed the entry, when the message was made
};

// Reads a neighbour message about dwDestIp on dwIfIndex into n. False when it is about another entry.
bool ParseNeigh(const nlmsghdr* nlh, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n) {
    if ((nlh->nlmsg_type != RTM_NEWNEIGH && nlh->nlmsg_type != RTM_DELNEIGH) ||
        mnl_nlmsg_get_payload_len(nlh) < sizeof(ndmsg))
        return false;
    const auto* pNdm = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(nlh));
    if (pNdm->ndm_family != AF_INET || uint32_t(pNdm->ndm_ifindex) != dwIfIndex ||
        (pNdm->ndm_flags & NTF_PROXY))
        return false;
    static const long nTicksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    bool bOurs = false;
    SNeigh found;
    found.bFound = nlh->nlmsg_type == RTM_NEWNEIGH;
    found.nState = pNdm->ndm_state;
    ForEachAttr(nlh, sizeof(ndmsg), [&](const nlattr* attr) {
        switch (mnl_attr_get_type(attr)) {
        case NDA_DST:
            bOurs = IsU32(attr) && mnl_attr_get_u32(attr) == dwDestIp;
            break;
        case NDA_LLADDR:
            found.nLladdrLen = CopyAttr(attr, found.lladdr);
            break;
        case NDA_CACHEINFO:
            if (mnl_attr_get_payload_len(attr) >= sizeof(nda_cacheinfo)) {
                nda_cacheinfo info;
                memcpy(&info, mnl_attr_get_payload(attr), sizeof info);
                found.bHasAge = true;
                found.nConfirmedAgeMs = int64_t(info.ndm_confirmed) * 1000 / nTicksPerSecond;
            }
            break;
        default:
            break;
        }
    });
    if (!bOurs)
        return false;
    n = found;
    return true;
}

// The kernel's current entry for dwDestIp on dwIfIndex (bFound false when there is none).
int LookUpNeigh(CRtnl& nl, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n, Clock::time_point deadline,
                const CStopToken& stop) {
    CRequest req(RTM_GETNEIGH, sizeof(ndmsg));
    ndmsg* pNdm = req.Extra<ndmsg>();
    pNdm->ndm_family = AF_INET;
    pNdm->ndm_ifindex = int(dwIfIndex);
    mnl_attr_put_u32(req.Nlh(), NDA_DST, dwDestIp);
    n = SNeigh();
    int rc = nl.Request(
        req.Nlh(), [&](const nlmsghdr* nlh) { ParseNeigh(nlh, dwDestIp, dwIfIndex, n); }, deadline, stop);
    return rc == ENOENT ? 0 : rc;
}

uint32_t RequestErrorToCode(int rc) {
    switch (rc) {
    case ECANCELED:
        return ARP_ERROR_CANCELLED;
    case ENODEV:
        return ARP_ERROR_NOT_FOUND;
    default:
        return ARP_ERROR_GEN_FAILURE;
    }
}

struct SAnswer {
    std::array<uint8_t, kMaxLinkAddr> addr{};
    size_t nLength = 0;
};

// Decides whether what the neighbour table shows was confirmed during this query.
//
// The kernel reports how long ago it last confirmed an entry (in 10 ms steps of its own clock). An entry
// counts only when it is REACHABLE and that confirmation lies after the start of the query, judged at the
// latest moment the message can have been made: for a table read, when the request went out; for an
// event, the event itself is the confirmation (a change into REACHABLE happens with a confirmation), so
// its age must be about zero. Because ages come in whole steps, a confirmation up to one step (10 ms)
// before the start may still pass; one for the previous board, seconds or minutes old, never does, whatever
// the entry's state now. PERMANENT and NOARP entries are set by hand, never confirmed, and never taken.
class CFreshness {
public:
    explicit CFreshness(Clock::time_point start) : m_start(start) {}

    bool FromTableRead(const SNeigh& n, Clock::time_point requestSent) const {
        auto sinceStartMs = std::chrono::duration_cast<milliseconds>(requestSent - m_start).count();
        return IsConfirmed(n) && n.nConfirmedAgeMs <= sinceStartMs;
    }
    static bool FromEvent(const SNeigh& n) { return IsConfirmed(n) && n.nConfirmedAgeMs <= kEventAgeMs; }

private:
    static constexpr int64_t kEventAgeMs = 10; // one step of the reported age
    static bool IsConfirmed(const SNeigh& n) {
        return n.bFound && (n.nState & NUD_REACHABLE) && n.bHasAge && n.nLladdrLen > 0;
    }
    Clock::time_point m_start;
};

// Makes the kernel resolve dwDestIp: one empty UDP datagram to the discard port. MSG_DONTROUTE keeps it
// on the link: the kernel refuses to send it when the address is not on-link, so it never goes to a
// gateway even if the routes changed since they were looked at. The kernel holds it until the neighbour
// answers and then delivers it (nobody listens on that port).
uint32_t TriggerResolution(uint32_t dwDestIp) {
    CUniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0)
        return ARP_ERROR_GEN_FAILURE;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDiscardPort);
    to.sin_addr.s_addr = dwDestIp;
    if (sendto(sock.Get(), nullptr, 0, MSG_DONTROUTE | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
               sizeof to) >= 0)
        return ARP_NO_ERROR;
    switch (errno) {
    case EAGAIN:
    case ENOBUFS:
        return ARP_NO_ERROR; // the kernel is busy resolving already; its answer still counts
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
        return ARP_ERROR_BAD_NET_NAME;
    default:
        return ARP_ERROR_GEN_FAILURE;
    }
}

uint32_t QueryByKernel(CRtnl& nl, uint32_t dwDestIp, uint32_t dwIfIndex, SAnswer& answer,
                       Clock::time_point start, Clock::time_point deadline, const CStopToken& stop) {
    // Subscribed before the first read of the table, so no change after that read is missed; and after the
    // start of the query, so every event is one of this query.
    CRtnl events;
    if (events.Open(RTMGRP_NEIGH) != 0)
        return ARP_ERROR_GEN_FAILURE;
    CFreshness freshness(start);

    SNeigh n;
    auto lookSent = Clock::now();
    int rc = LookUpNeigh(nl, dwDestIp, dwIfIndex, n, deadline, stop);
    if (rc != 0)
        return rc == ETIMEDOUT ? ARP_ERROR_BAD_NET_NAME : RequestErrorToCode(rc);
    if (freshness.FromTableRead(n, lookSent)) {
        answer.addr = n.lladdr;
        answer.nLength = n.nLladdrLen;
        return ARP_NO_ERROR;
    }

    uint32_t dwTrigger = TriggerResolution(dwDestIp);
    if (dwTrigger != ARP_NO_ERROR)
        return dwTrigger;

    bool bLookNow = false;
    auto nextLook = Clock::now() + kLookInterval;
    for (;;) {
        auto wakeAt = std::min(nextLook, deadline);
        switch (WaitReadable(events.Fd(), bLookNow ? 0 : MsUntil(wakeAt), stop)) {
        case EWait::Stopped:
            return ARP_ERROR_CANCELLED;
        case EWait::Failed:
            return ARP_ERROR_GEN_FAILURE;
        case EWait::Readable: {
            bool bAnswered = false;
            int rcEvents = events.ReadPending([&](const nlmsghdr* nlh) {
                SNeigh event;
                if (bAnswered || !ParseNeigh(nlh, dwDestIp, dwIfIndex, event))
                    return;
                if (CFreshness::FromEvent(event)) {
                    answer.addr = event.lladdr;
                    answer.nLength = event.nLladdrLen;
                    bAnswered = true;
                } else if (event.bFound && (event.nState & NUD_FAILED)) {
                    bLookNow = true; // possibly from before the trigger: the table decides
                }
            });
            if (bAnswered)
                return ARP_NO_ERROR;
            if (rcEvents == ENOBUFS)
                bLookNow = true; // events were lost: read the table instead
            else if (rcEvents != 0)
                return ARP_ERROR_GEN_FAILURE;
            break;
        }
        case EWait::TimedOut:
            break;
        }
        auto now = Clock::now();
        if (now >= deadline)
            return ARP_ERROR_BAD_NET_NAME;
        if (!bLookNow && now < nextLook)
            continue;

        bLookNow = false;
        lookSent = Clock::now();
        nextLook = lookSent + kLookInterval;
        rc = LookUpNeigh(nl, dwDestIp, dwIfIndex, n, deadline, stop);
        if (rc == ETIMEDOUT)
            return ARP_ERROR_BAD_NET_NAME;
        if (rc != 0)
            return RequestErrorToCode(rc);
        if (freshness.FromTableRead(n, lookSent)) {
            answer.addr = n.lladdr;
            answer.nLength = n.nLladdrLen;
            return ARP_NO_ERROR;
        }
        // Read after the trigger: the resolution that includes this query's request has failed.
        if (n.bFound && (n.nState & NUD_FAILED))
            return ARP_ERROR_BAD_NET_NAME;
    }
}

// 0 with a packet socket bound to the interface for ARP, else the errno value.
int OpenArpSocket(uint32_t dwIfIndex, int& fdOut) {
    // Opened for no protocol and then bound, so that nothing from other interfaces gets queued meanwhile.
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ARP);
    addr.sll_ifindex = int(dwIfIndex);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        int err = errno;
        close(fd);
        return err;
    }
    fdOut = fd;
    return 0;
}

std::array<uint8_t, kArpPacketSize> BuildArpRequest(const SLink& link, uint32_t dwSourceIp,
                                                    uint32_t dwDestIp) {
    std::array<uint8_t, kArpPacketSize> p{};
    const uint16_t header[4] = {htons(ARPHRD_ETHER), htons(ETH_P_IP), htons(0x0604), htons(ARPOP_REQUEST)};
    memcpy(p.data(), header, sizeof header);
    memcpy(p.data() + 8, link.addr.data(), 6);
    memcpy(p.data() + 14, &dwSourceIp, 4); // 0 when the interface has no address: an ARP probe
    memcpy(p.data() + 24, &dwDestIp, 4);   // the target hardware address (18..23) stays zero
    return p;
}

// An ARP reply from dwDestIp: its sender hardware address.
bool ParseArpReply(const uint8_t* p, size_t length, uint32_t dwDestIp, SAnswer& answer) {
    if (length < kArpPacketSize)
        return false;
    uint16_t header[4];
    memcpy(header, p, sizeof header);
    uint32_t dwSender;
    memcpy(&dwSender, p + 14, 4);
    if (header[0] != htons(ARPHRD_ETHER) || header[1] != htons(ETH_P_IP) || header[2] != htons(0x0604) ||
        header[3] != htons(ARPOP_REPLY) || dwSender != dwDestIp)
        return false;
    memcpy(answer.addr.data(), p + 8, 6);
    answer.nLength = 6;
    return true;
}

uint32_t QueryByWire(int fd, const SLink& link, uint32_t dwIfIndex, uint32_t dwSourceIp, uint32_t dwDestIp,
                     SAnswer& answer, Clock::time_point deadline, const CStopToken& stop) {
    auto request = BuildArpRequest(link, dwSourceIp, dwDestIp);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = int(dwIfIndex);
    to.sll_halen = 6;
    memcpy(to.sll_addr, link.broadcast.data(), 6);

    auto nextSend = Clock::now();
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline)
            return ARP_ERROR_BAD_NET_NAME;
        if (now >= nextSend) {
            nextSend = now + kWireRetry;
            if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
                0) {
                switch (errno) {
                case EAGAIN:
                case ENOBUFS:
                case EINTR:
                    break; // the next round asks again
                case ENETDOWN:
                case ENXIO:
                    return ARP_ERROR_BAD_NET_NAME;
                case ENODEV:
                    return ARP_ERROR_NOT_FOUND;
                default:
                    return ARP_ERROR_GEN_FAILURE;
                }
            }
        }
        switch (WaitReadable(fd, MsUntil(std::min(nextSend, deadline)), stop)) {
        case EWait::Stopped:
            return ARP_ERROR_CANCELLED;
        case EWait::Failed:
            return ARP_ERROR_GEN_FAILURE;
        case EWait::TimedOut:
            continue;
        case EWait::Readable:
            break;
        }
        for (;;) {
            uint8_t buffer[256];
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN)
                    break;
                return errno == ENETDOWN ? ARP_ERROR_BAD_NET_NAME : ARP_ERROR_GEN_FAILURE;
            }
            if (from.sll_pkttype != PACKET_OUTGOING && ParseArpReply(buffer, size_t(n), dwDestIp, answer))
                return ARP_NO_ERROR;
        }
    }
}

bool IsMulticastOrBroadcast(uint32_t dwDestIp) {
    uint32_t host = ntohl(dwDestIp);
    return (host >> 28) == 0xE || host == 0xFFFFFFFF;
}

} // namespace

CLinuxArpQuery::CLinuxArpQuery(EMethod method, uint32_t dwWaitMs) : m_method(method), m_dwWaitMs(dwWaitMs) {}

uint32_t CLinuxArpQuery::SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen,
                                 const CStopToken& stop) {
    m_lastMethod = EMethod::Auto;
    if (!pMacAddr || !pPhyAddrLen)
        return ARP_ERROR_INVALID_PARAMETER;
    if (*pPhyAddrLen == 0)
        return ARP_ERROR_INVALID_USER_BUFFER;
    if (dwDestIp == 0 || IsMulticastOrBroadcast(dwDestIp))
        return ARP_ERROR_INVALID_PARAMETER;
    if (stop.StopRequested())
        return ARP_ERROR_CANCELLED;

    const auto start = Clock::now();
    const auto deadline = start + milliseconds(m_dwWaitMs);
    CRtnl nl;
    if (nl.Open(0) != 0)
        return ARP_ERROR_GEN_FAILURE;

    // On-link or nothing: decided before anything is sent.
    SRoute route;
    switch (int rc = LookUpRoute(nl, dwDestIp, route, deadline, stop)) {
    case 0:
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EACCES: // prohibited
    case EINVAL: // blackhole
    case ETIMEDOUT:
        return ARP_ERROR_BAD_NET_NAME;
    default:
        return RequestErrorToCode(rc);
    }
    switch (route.nType) {
    case RTN_UNICAST:
        break;
    case RTN_LOCAL:
    case RTN_BROADCAST:
    case RTN_MULTICAST:
    case RTN_ANYCAST:
        return ARP_ERROR_INVALID_PARAMETER;
    default:
        return ARP_ERROR_BAD_NET_NAME;
    }
    if (route.bGateway)
        return ARP_ERROR_BAD_NET_NAME;
    if (route.dwOif == 0)
        return ARP_ERROR_NOT_FOUND;

    SLink link;
    if (int rc = LookUpLink(nl, route.dwOif, link, deadline, stop); rc != 0)
        return rc == ETIMEDOUT ? ARP_ERROR_GEN_FAILURE : RequestErrorToCode(rc);
    if (!link.bFound)
        return ARP_ERROR_NOT_FOUND;
    if (link.nFlags & (IFF_LOOPBACK | IFF_NOARP))
        return ARP_ERROR_NOT_SUPPORTED;
    if (!(link.nFlags & IFF_UP))
        return ARP_ERROR_BAD_NET_NAME;

    const bool bEthernet = link.nType == ARPHRD_ETHER && link.nAddrLen == 6 && link.nBroadcastLen == 6;
    if (m_method == EMethod::Wire && !bEthernet)
        return ARP_ERROR_NOT_SUPPORTED;
    int fdPacket = -1;
    int rcPacket = EPERM;
    if (m_method != EMethod::Kernel && bEthernet)
        rcPacket = OpenArpSocket(route.dwOif, fdPacket);
    CUniqueFd packet(fdPacket);
    if (m_method == EMethod::Wire && rcPacket != 0)
        return rcPacket == EPERM || rcPacket == EACCES ? kErrorAccessDenied : ARP_ERROR_GEN_FAILURE;

    // Without raw packets (no capability, or no packet sockets at all) the kernel resolves.
    SAnswer answer;
    uint32_t dwResult;
    if (rcPacket == 0) {
        m_lastMethod = EMethod::Wire;
        dwResult =
            QueryByWire(packet.Get(), link, route.dwOif, route.dwPrefSrc, dwDestIp, answer, deadline, stop);
    } else {
        m_lastMethod = EMethod::Kernel;
        dwResult = QueryByKernel(nl, dwDestIp, route.dwOif, answer, start, deadline, stop);
    }
    if (dwResult != ARP_NO_ERROR)
        return dwResult;

    if (answer.nLength > *pPhyAddrLen || answer.nLength > 8)
        return ARP_ERROR_BUFFER_OVERFLOW;
    memcpy(pMacAddr, answer.addr.data(), answer.nLength);
    *pPhyAddrLen = uint32_t(answer.nLength);
    return ARP_NO_ERROR;
}

std::unique_ptr<IArpQuery> CreateArpQuery() {
    return std::make_unique<CLinuxArpQuery>();
}
