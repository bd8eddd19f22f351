#include "mac/ArpKernelMethod.h"

#include "core/UniqueFd.h"
#include "mac/ArpCheck.h"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace arp {

namespace {

using std::chrono::milliseconds;

constexpr uint16_t kDiscardPort = 9;
constexpr milliseconds kLookInterval{100}; // the neighbour table is read this often besides its events

bool IsConfirmed(const SNeigh& n) {
    return n.bFound && (n.nState & NUD_REACHABLE) && n.bHasAge && n.nLladdrLen > 0;
}

void Take(const SNeigh& n, SAnswer& answer) {
    answer.addr = n.lladdr;
    answer.nLength = n.nLladdrLen;
}

} // namespace

bool CFreshness::FromTableRead(const SNeigh& n, Clock::time_point requestSent) const {
    auto sinceStartMs = std::chrono::duration_cast<milliseconds>(requestSent - m_start).count();
    return IsConfirmed(n) && n.nConfirmedAgeMs <= sinceStartMs;
}

bool CFreshness::FromEvent(const SNeigh& n) {
    return IsConfirmed(n) && n.nConfirmedAgeMs <= kEventAgeMs;
}

// MSG_DONTROUTE keeps the datagram on the link: the kernel refuses to send it when the address is not
// on-link, so it never goes to a gateway even if the routes changed since they were looked at. IP_PKTINFO
// names the interface, so that a second interface on the same subnet (or a policy rule that matches only
// this datagram) cannot take the resolution elsewhere. The kernel holds the datagram until the neighbour
// answers and then delivers it (nobody listens on that port).
uint32_t TriggerResolution(uint32_t dwDestIp, uint32_t dwIfIndex) {
    CUniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0)
        return ARP_ERROR_GEN_FAILURE;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDiscardPort);
    to.sin_addr.s_addr = dwDestIp;

    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
    pCmsg->cmsg_level = IPPROTO_IP;
    pCmsg->cmsg_type = IP_PKTINFO;
    pCmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = int(dwIfIndex);
    memcpy(CMSG_DATA(pCmsg), &info, sizeof info);

    if (sendmsg(sock.Get(), &msg, MSG_DONTROUTE | MSG_DONTWAIT) >= 0)
        return ARP_NO_ERROR;
    switch (errno) {
    case EAGAIN:
    case ENOBUFS:
        return ARP_NO_ERROR; // the kernel is busy resolving already; its answer still counts
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
        return ARP_ERROR_BAD_NET_NAME;
    case ENODEV:
    case ENXIO:
        return ARP_ERROR_NOT_FOUND;
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
    if (int rc = LookUpNeigh(nl, dwDestIp, dwIfIndex, n, deadline, stop); rc != 0)
        return RequestErrorToCode(rc);
    if (freshness.FromTableRead(n, lookSent)) {
        Take(n, answer);
        return ARP_NO_ERROR;
    }

    if (uint32_t dwTrigger = TriggerResolution(dwDestIp, dwIfIndex); dwTrigger != ARP_NO_ERROR)
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
                    Take(event, answer);
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
        if (int rc = LookUpNeigh(nl, dwDestIp, dwIfIndex, n, deadline, stop); rc != 0)
            return RequestErrorToCode(rc);
        if (freshness.FromTableRead(n, lookSent)) {
            Take(n, answer);
            return ARP_NO_ERROR;
        }
        // Read after the trigger: the resolution that includes this query's request has failed.
        if (n.bFound && (n.nState & NUD_FAILED))
            return ARP_ERROR_BAD_NET_NAME;
    }
}

} // namespace arp
