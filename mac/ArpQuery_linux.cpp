// The query that chooses how to ask: the route and the link decide whether anything may be sent at all,
// then the wire (with the capability for raw packets) or the kernel's resolution answers.
#include "mac/ArpQuery_linux.h"

#include "core/UniqueFd.h"
#include "mac/ArpNetlink.h"
#include "mac/ArpWireMethod.h"

#include <ifaddrs.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

// How the query's failures map onto the system error codes that the check logs:
//
//   67   ERROR_BAD_NET_NAME       no answer within the wait (also a netlink request that did not finish in
//                                 it); the address is not on-link (its route leads through a gateway, or
//                                 there is no usable route: unreachable, prohibited, blackhole; or it is
//                                 on-link only through another card than the one named); the kernel
//                                 gave up resolving it; the interface is down.
//   87   ERROR_INVALID_PARAMETER  the address is no host to ask: 0.0.0.0, an address of this host, a
//                                 broadcast or multicast address; or null buffer pointers.
//   111  ERROR_BUFFER_OVERFLOW    the answer is longer than the room the caller offered.
//   1784 ERROR_INVALID_USER_BUFFER the caller offered no room at all.
//   1168 ERROR_NOT_FOUND          the route names no interface, or the interface went away meanwhile (also
//                                 the card named for the query).
//   50   ERROR_NOT_SUPPORTED      the interface does not use ARP (loopback, NOARP), or the wire was asked
//                                 for explicitly on an interface that is not Ethernet.
//   5    ERROR_ACCESS_DENIED      the wire was asked for explicitly without the capability for raw packets.
//   1223 ERROR_CANCELLED          a stop request ended the wait.
//   31   ERROR_GEN_FAILURE        the system failed otherwise (netlink or socket errors).
//
// Failed netlink requests are mapped in one place, arp::RequestErrorToCode.

namespace {

constexpr uint32_t kErrorAccessDenied = 5;

bool IsMulticastOrBroadcast(uint32_t dwDestIp) {
    uint32_t host = ntohl(dwDestIp);
    return (host >> 28) == 0xE || host == 0xFFFFFFFF;
}

// Whether a route answer allows asking at all: 0 when it leads straight onto a link, else the result code.
uint32_t CheckOnLink(const arp::SRoute& route) {
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
    return ARP_NO_ERROR;
}

uint32_t CheckLink(const arp::SLink& link) {
    if (!link.bFound)
        return ARP_ERROR_NOT_FOUND;
    if (link.nFlags & (IFF_LOOPBACK | IFF_NOARP))
        return ARP_ERROR_NOT_SUPPORTED;
    if (!(link.nFlags & IFF_UP))
        return ARP_ERROR_BAD_NET_NAME;
    return ARP_NO_ERROR;
}

// Whether a route of this PC (not merely the kernel's assumption for a look-up pinned to a card) puts
// dwDestIp on dwCard's link.
bool RoutedOnLink(arp::CRtnl& nl, uint32_t dwDestIp, uint32_t dwCard, arp::Clock::time_point deadline,
                  const CStopToken& stop) {
    arp::SRoute route;
    return arp::LookUpRoute(nl, dwDestIp, route, deadline, stop, dwCard, true) == 0 &&
           CheckOnLink(route) == ARP_NO_ERROR && route.dwOif == dwCard;
}

} // namespace

bool ListNetInterfaces(std::vector<SNetInterface>& interfaces) {
    interfaces.clear();
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return false;
    // Every interface comes once as a link (AF_PACKET) and once per IPv4 address.
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_name || !p->ifa_addr ||
            (p->ifa_addr->sa_family != AF_PACKET && p->ifa_addr->sa_family != AF_INET))
            continue;
        SNetInterface i;
        i.strName = p->ifa_name;
        i.bUp = p->ifa_flags & IFF_UP;
        i.bLoopback = p->ifa_flags & IFF_LOOPBACK;
        if (p->ifa_addr->sa_family == AF_INET && p->ifa_netmask) {
            i.bHasAddress = true;
            i.dwAddress = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
            i.dwNetmask = reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr;
        }
        interfaces.push_back(i);
    }
    freeifaddrs(pList);
    return true;
}

CLinuxArpQuery::CLinuxArpQuery(EMethod method, uint32_t dwWaitMs, std::string strInterface)
    : m_method(method), m_dwWaitMs(dwWaitMs), m_strInterface(std::move(strInterface)) {}

SBoardLink CLinuxArpQuery::FindBoardLink(uint32_t dwDestIp) {
    std::vector<SNetInterface> interfaces;
    // Unlisted, nothing is known to be wrong: the query itself still checks the route and the card.
    if (!ListNetInterfaces(interfaces)) {
        SBoardLink link;
        link.strInterface = m_strInterface;
        return link;
    }
    SBoardLink link = JudgeBoardLink(dwDestIp, m_strInterface, interfaces);
    // A card without an address of its own leads to the board as well when a route puts the board's
    // address on that card's link: a station's cards, whose TFTP servers are in namespaces of their own.
    uint32_t dwCard = if_nametoindex(m_strInterface.c_str());
    arp::CRtnl nl;
    if (link.eState == EBoardLink::NoAddress && dwCard != 0 && nl.Open(0) == 0 &&
        RoutedOnLink(nl, dwDestIp, dwCard, arp::Clock::now() + std::chrono::milliseconds(m_dwWaitMs), {}))
        link.eState = EBoardLink::Ok;
    return link;
}

uint32_t CLinuxArpQuery::SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen,
                                 const CStopToken& stop) {
    using namespace arp;
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
    const auto deadline = start + std::chrono::milliseconds(m_dwWaitMs);
    CRtnl nl;
    if (nl.Open(0) != 0)
        return ARP_ERROR_GEN_FAILURE;
    nl.m_bNeighByDump = m_bNeighByDump;

    uint32_t dwCard = 0;
    if (!m_strInterface.empty()) {
        dwCard = if_nametoindex(m_strInterface.c_str());
        if (dwCard == 0)
            return ARP_ERROR_NOT_FOUND;
    }

    // On-link or nothing: decided before anything is sent.
    SRoute route;
    if (int rc = LookUpRoute(nl, dwDestIp, route, deadline, stop, dwCard); rc != 0)
        return RequestErrorToCode(rc);
    if (uint32_t dwCode = CheckOnLink(route); dwCode != ARP_NO_ERROR)
        return dwCode;
    if (dwCard != 0 && route.dwOif != dwCard)
        return ARP_ERROR_BAD_NET_NAME;
    // Pinned to a card, the kernel takes an address it has no route for as on that card's link: a route of
    // this PC's own must say so as well.
    if (dwCard != 0 && !RoutedOnLink(nl, dwDestIp, dwCard, deadline, stop))
        return ARP_ERROR_BAD_NET_NAME;
    SLink link;
    if (int rc = LookUpLink(nl, route.dwOif, link, deadline, stop); rc != 0)
        return RequestErrorToCode(rc);
    if (uint32_t dwCode = CheckLink(link); dwCode != ARP_NO_ERROR)
        return dwCode;

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

std::unique_ptr<IArpQuery> CreateArpQuery(const std::string& strInterface) {
    return std::make_unique<CLinuxArpQuery>(CLinuxArpQuery::EMethod::Auto, CLinuxArpQuery::kDefaultWaitMs,
                                            strInterface);
}
