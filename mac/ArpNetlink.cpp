#include "mac/ArpNetlink.h"

#include "mac/ArpCheck.h"

#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace arp {

namespace {

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

size_t CopyAttr(const nlattr* attr, std::array<uint8_t, kMaxLinkAddr>& out) {
    size_t n = mnl_attr_get_payload_len(attr);
    if (n > out.size())
        return 0;
    memcpy(out.data(), mnl_attr_get_payload(attr), n);
    return n;
}

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

} // namespace

int MsUntil(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    if (ms <= 0)
        return 0;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

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

bool ParseRoute(const nlmsghdr* nlh, SRoute& route) {
    if (nlh->nlmsg_type != RTM_NEWROUTE || mnl_nlmsg_get_payload_len(nlh) < sizeof(rtmsg))
        return false;
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
        // Any next hop through a router makes the address not on-link. A multipath answer is taken the same
        // way rather than looked into: it never leads straight onto one link.
        case RTA_GATEWAY:
        case RTA_VIA:
        case RTA_MULTIPATH:
            route.bGateway = true;
            break;
        default:
            break;
        }
    });
    return true;
}

bool ParseLink(const nlmsghdr* nlh, uint32_t dwIndex, SLink& link) {
    if (nlh->nlmsg_type != RTM_NEWLINK || mnl_nlmsg_get_payload_len(nlh) < sizeof(ifinfomsg))
        return false;
    const auto* pInfo = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
    if (pInfo->ifi_index != int(dwIndex))
        return false;
    link.bFound = true;
    link.nType = pInfo->ifi_type;
    link.nFlags = pInfo->ifi_flags;
    ForEachAttr(nlh, sizeof(ifinfomsg), [&](const nlattr* attr) {
        if (mnl_attr_get_type(attr) == IFLA_ADDRESS)
            link.nAddrLen = CopyAttr(attr, link.addr);
        else if (mnl_attr_get_type(attr) == IFLA_BROADCAST)
            link.nBroadcastLen = CopyAttr(attr, link.broadcast);
    });
    return true;
}

bool ParseNeigh(const nlmsghdr* nlh, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n) {
    if ((nlh->nlmsg_type != RTM_NEWNEIGH && nlh->nlmsg_type != RTM_DELNEIGH) ||
        mnl_nlmsg_get_payload_len(nlh) < sizeof(ndmsg))
        return false;
    const auto* pNdm = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(nlh));
    if (pNdm->ndm_family != AF_INET || uint32_t(pNdm->ndm_ifindex) != dwIfIndex ||
        (pNdm->ndm_flags & NTF_PROXY))
        return false;
    // The kernel gives ages in clock ticks of the user interface (USER_HZ).
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

uint32_t RequestErrorToCode(int rc) {
    switch (rc) {
    case 0:
        return ARP_NO_ERROR;
    case ECANCELED:
        return ARP_ERROR_CANCELLED;
    case ENODEV: // the interface went away meanwhile
        return ARP_ERROR_NOT_FOUND;
    // No answer within the wait, or no usable route: the kernel answers a route request for an
    // unreachable address with ENETUNREACH or EHOSTUNREACH, for a prohibited one with EACCES and for a
    // blackhole with EINVAL.
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EACCES:
    case EINVAL:
        return ARP_ERROR_BAD_NET_NAME;
    default:
        return ARP_ERROR_GEN_FAILURE;
    }
}

bool IsNeighGetRefused(int rc) {
    return rc == EOPNOTSUPP || rc == EINVAL;
}

CRtnl::CRtnl() : m_buffer(32768) {}

CRtnl::~CRtnl() {
    if (m_pSocket)
        mnl_socket_close(m_pSocket);
}

int CRtnl::Open(unsigned groups) {
    m_pSocket = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (!m_pSocket)
        return errno;
    if (mnl_socket_bind(m_pSocket, groups, MNL_SOCKET_AUTOPID) < 0)
        return errno;
    m_nPortId = mnl_socket_get_portid(m_pSocket);
    return 0;
}

int CRtnl::Fd() const {
    return mnl_socket_get_fd(m_pSocket);
}

int CRtnl::Request(nlmsghdr* nlh, bool bDump, const MessageFn& fn, Clock::time_point deadline,
                   const CStopToken& stop) {
    // A dump ends with NLMSG_DONE; a single request with the kernel's acknowledgement.
    nlh->nlmsg_flags = NLM_F_REQUEST | (bDump ? NLM_F_DUMP : NLM_F_ACK);
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

int CRtnl::ReadPending(const MessageFn& fn) {
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

int CRtnl::RunCallbacks(size_t length, unsigned seq, unsigned portId, const MessageFn& fn) {
    return mnl_cb_run(
        m_buffer.data(), length, seq, portId,
        [](const nlmsghdr* nlh, void* data) -> int {
            (*static_cast<const MessageFn*>(data))(nlh);
            return MNL_CB_OK;
        },
        const_cast<MessageFn*>(&fn));
}

int LookUpRoute(CRtnl& nl, uint32_t dwDestIp, SRoute& route, Clock::time_point deadline,
                const CStopToken& stop, uint32_t dwOif, bool bTableEntry) {
    CRequest req(RTM_GETROUTE, sizeof(rtmsg));
    rtmsg* pRtm = req.Extra<rtmsg>();
    pRtm->rtm_family = AF_INET;
    pRtm->rtm_dst_len = 32;
    if (bTableEntry)
        pRtm->rtm_flags = RTM_F_FIB_MATCH;
    mnl_attr_put_u32(req.Nlh(), RTA_DST, dwDestIp);
    // As a socket bound to that interface would be routed: its own routes only (also those of the VRF it
    // belongs to).
    if (dwOif != 0)
        mnl_attr_put_u32(req.Nlh(), RTA_OIF, dwOif);
    route = SRoute();
    return nl.Request(
        req.Nlh(), false, [&](const nlmsghdr* nlh) { ParseRoute(nlh, route); }, deadline, stop);
}

int LookUpLink(CRtnl& nl, uint32_t dwIndex, SLink& link, Clock::time_point deadline, const CStopToken& stop) {
    CRequest req(RTM_GETLINK, sizeof(ifinfomsg));
    ifinfomsg* pIfi = req.Extra<ifinfomsg>();
    pIfi->ifi_family = AF_UNSPEC;
    pIfi->ifi_index = int(dwIndex);
    link = SLink();
    return nl.Request(
        req.Nlh(), false, [&](const nlmsghdr* nlh) { ParseLink(nlh, dwIndex, link); }, deadline, stop);
}

int LookUpNeigh(CRtnl& nl, uint32_t dwDestIp, uint32_t dwIfIndex, SNeigh& n, Clock::time_point deadline,
                const CStopToken& stop) {
    auto collect = [&](const nlmsghdr* nlh) { ParseNeigh(nlh, dwDestIp, dwIfIndex, n); };
    n = SNeigh();
    if (!nl.m_bNeighByDump) {
        CRequest req(RTM_GETNEIGH, sizeof(ndmsg));
        ndmsg* pNdm = req.Extra<ndmsg>();
        pNdm->ndm_family = AF_INET;
        pNdm->ndm_ifindex = int(dwIfIndex);
        mnl_attr_put_u32(req.Nlh(), NDA_DST, dwDestIp);
        int rc = nl.Request(req.Nlh(), false, collect, deadline, stop);
        if (!IsNeighGetRefused(rc))
            return rc == ENOENT ? 0 : rc;
        nl.m_bNeighByDump = true;
        n = SNeigh();
    }
    // The kernel filters the dump by interface where it can; ParseNeigh picks the one entry out anyway.
    CRequest req(RTM_GETNEIGH, sizeof(ndmsg));
    ndmsg* pNdm = req.Extra<ndmsg>();
    pNdm->ndm_family = AF_INET;
    mnl_attr_put_u32(req.Nlh(), NDA_IFINDEX, dwIfIndex);
    return nl.Request(req.Nlh(), true, collect, deadline, stop);
}

} // namespace arp
