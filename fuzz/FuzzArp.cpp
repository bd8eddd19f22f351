// Any rtnetlink answer through the route, link and neighbour parsers, and any packet through the ARP reply
// parser: the plain functions only, no socket is ever opened.
//
// Input: the first byte picks netlink (even) or ARP (odd); the rest is a stream of netlink messages as a
// receive buffer holds them, or one packet. Each message and the packet sit in a buffer of their own size,
// so that a read past their end is caught by AddressSanitizer.
//
// Holds for every input: an answer only for a message of the right type and size about the asked-for
// interface and address; addresses never longer than their arrays; a refused packet leaves the answer as it
// was.
#include "fuzz/FuzzCheck.h"
#include "mac/ArpKernelMethod.h"
#include "mac/ArpNetlink.h"
#include "mac/ArpWireMethod.h"

#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kIfIndex = 2;
constexpr uint32_t kDestIp = 0x3200000A; // network byte order, as the parsers compare it

void ParseMessage(const nlmsghdr* nlh) {
    size_t nPayload = mnl_nlmsg_get_payload_len(nlh);

    arp::SRoute route;
    if (arp::ParseRoute(nlh, route))
        FUZZ_CHECK(nlh->nlmsg_type == RTM_NEWROUTE && nPayload >= sizeof(rtmsg));

    arp::SLink link;
    if (arp::ParseLink(nlh, kIfIndex, link)) {
        FUZZ_CHECK(nlh->nlmsg_type == RTM_NEWLINK && nPayload >= sizeof(ifinfomsg));
        FUZZ_CHECK(link.bFound && link.nAddrLen <= link.addr.size() &&
                   link.nBroadcastLen <= link.broadcast.size());
    }

    arp::SNeigh neigh;
    neigh.nState = 0xBEEF;
    if (arp::ParseNeigh(nlh, kDestIp, kIfIndex, neigh)) {
        FUZZ_CHECK(nlh->nlmsg_type == RTM_NEWNEIGH || nlh->nlmsg_type == RTM_DELNEIGH);
        FUZZ_CHECK(nPayload >= sizeof(ndmsg));
        ndmsg ndm;
        std::memcpy(&ndm, mnl_nlmsg_get_payload(nlh), sizeof ndm);
        FUZZ_CHECK(ndm.ndm_family == AF_INET && uint32_t(ndm.ndm_ifindex) == kIfIndex &&
                   !(ndm.ndm_flags & NTF_PROXY));
        FUZZ_CHECK(neigh.bFound == (nlh->nlmsg_type == RTM_NEWNEIGH));
        FUZZ_CHECK(neigh.nLladdrLen <= neigh.lladdr.size());
        // An answer taken from an event must have been confirmed just now.
        if (arp::CFreshness::FromEvent(neigh))
            FUZZ_CHECK(neigh.bHasAge && neigh.nConfirmedAgeMs <= arp::CFreshness::kEventAgeMs &&
                       neigh.nLladdrLen > 0);
    } else {
        FUZZ_CHECK(neigh.nState == 0xBEEF);
    }
}

void FuzzNetlink(const uint8_t* data, size_t size) {
    // Walked as the receive loop walks it: a message is taken only when its length fits what is left.
    while (size >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size)
            return;
        // The receive buffer holds the padding up to the next message's alignment.
        size_t nCopy = std::min<size_t>(MNL_ALIGN(header.nlmsg_len), size);
        std::unique_ptr<uint8_t[]> message(new uint8_t[MNL_ALIGN(header.nlmsg_len)]());
        std::memcpy(message.get(), data, nCopy);
        ParseMessage(reinterpret_cast<const nlmsghdr*>(message.get()));
        data += nCopy;
        size -= nCopy;
    }
}

void FuzzArpReply(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> packet(new uint8_t[size]);
    if (size > 0)
        std::memcpy(packet.get(), data, size);
    arp::SAnswer answer;
    answer.nLength = 99;
    if (!arp::ParseArpReply(packet.get(), size, kDestIp, answer)) {
        FUZZ_CHECK(answer.nLength == 99);
        return;
    }
    // An Ethernet/IPv4 reply (operation 2) sent by the asked-for address; the answer is its sender.
    static const uint8_t kHeader[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x02};
    FUZZ_CHECK(size >= arp::kArpPacketSize && std::memcmp(data, kHeader, 8) == 0);
    FUZZ_CHECK(std::memcmp(data + 14, &kDestIp, 4) == 0);
    FUZZ_CHECK(answer.nLength == 6 && std::memcmp(answer.addr.data(), data + 8, 6) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        FuzzNetlink(data + 1, size - 1);
    else
        FuzzArpReply(data + 1, size - 1);
    return 0;
}
