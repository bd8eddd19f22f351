#include "mac/ArpWireMethod.h"

#include "mac/ArpCheck.h"

#include <linux/if_ether.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace arp {

namespace {

constexpr std::chrono::milliseconds kWireRetry{1000}; // the wire is asked once a second

// hardware type, protocol type, address lengths (6, 4), operation
void PutHeader(uint8_t* p, uint16_t nOperation) {
    const uint16_t header[4] = {htons(ARPHRD_ETHER), htons(ETH_P_IP), htons(0x0604), htons(nOperation)};
    memcpy(p, header, sizeof header);
}

} // namespace

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
    PutHeader(p.data(), ARPOP_REQUEST);
    memcpy(p.data() + 8, link.addr.data(), 6);
    memcpy(p.data() + 14, &dwSourceIp, 4); // 0 when the interface has no address: an ARP probe
    memcpy(p.data() + 24, &dwDestIp, 4);   // the target hardware address (18..23) stays zero
    return p;
}

bool ParseArpReply(const uint8_t* p, size_t length, uint32_t dwDestIp, SAnswer& answer) {
    if (length < kArpPacketSize)
        return false;
    uint8_t expected[8];
    PutHeader(expected, ARPOP_REPLY);
    uint32_t dwSender;
    memcpy(&dwSender, p + 14, 4);
    if (memcmp(p, expected, sizeof expected) != 0 || dwSender != dwDestIp)
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

} // namespace arp
