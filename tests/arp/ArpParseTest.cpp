// What the Linux query reads from the kernel and from the wire, fed with hand-made messages: no socket,
// no root.
#include "mac/ArpCheck.h"
#include "mac/ArpWireMethod.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <optional>

using namespace arp;
using namespace std::chrono_literals;

namespace {

const uint32_t kBoardIp = inet_addr("10.0.0.50");
constexpr uint32_t kIfIndex = 7;
const uint8_t kBoardMac[6] = {0x02, 0x3a, 0x7c, 0x12, 0x34, 0x56};

// One netlink message built in place: header, family header, attributes.
class CMessage {
public:
    template <class T>
    CMessage(uint16_t type, const T& familyHeader) {
        m_pNlh = mnl_nlmsg_put_header(m_buffer);
        m_pNlh->nlmsg_type = type;
        memcpy(mnl_nlmsg_put_extra_header(m_pNlh, sizeof(T)), &familyHeader, sizeof(T));
    }
    CMessage& U32(uint16_t type, uint32_t value) {
        mnl_attr_put_u32(m_pNlh, type, value);
        return *this;
    }
    CMessage& Bytes(uint16_t type, const void* data, size_t length) {
        mnl_attr_put(m_pNlh, type, length, data);
        return *this;
    }
    const nlmsghdr* Nlh() const { return m_pNlh; }

private:
    alignas(nlmsghdr) char m_buffer[512] = {};
    nlmsghdr* m_pNlh;
};

struct SNeighFields {
    uint16_t nType = RTM_NEWNEIGH;
    uint8_t nFamily = AF_INET;
    int nIfIndex = kIfIndex;
    uint8_t nFlags = 0;
    uint16_t nState = NUD_REACHABLE;
    std::optional<uint32_t> dst = kBoardIp;
    bool bLladdr = true;
    std::optional<uint32_t> confirmedTicks = 0; // USER_HZ ticks (100 per second)
};

CMessage NeighMessage(const SNeighFields& fields) {
    ndmsg ndm{};
    ndm.ndm_family = fields.nFamily;
    ndm.ndm_ifindex = fields.nIfIndex;
    ndm.ndm_flags = fields.nFlags;
    ndm.ndm_state = fields.nState;
    CMessage msg(fields.nType, ndm);
    if (fields.dst)
        msg.U32(NDA_DST, *fields.dst);
    if (fields.bLladdr)
        msg.Bytes(NDA_LLADDR, kBoardMac, sizeof kBoardMac);
    if (fields.confirmedTicks) {
        nda_cacheinfo info{};
        info.ndm_confirmed = *fields.confirmedTicks;
        msg.Bytes(NDA_CACHEINFO, &info, sizeof info);
    }
    return msg;
}

std::optional<SNeigh> Parse(const SNeighFields& fields) {
    SNeigh n;
    if (!ParseNeigh(NeighMessage(fields).Nlh(), kBoardIp, kIfIndex, n))
        return std::nullopt;
    return n;
}

} // namespace

TEST(ArpParse, NeighbourMessageIsTakenOnlyForTheAddressOnTheInterface) {
    std::optional<SNeigh> n = Parse({.confirmedTicks = 150});
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->bFound);
    EXPECT_EQ(n->nState, NUD_REACHABLE);
    ASSERT_EQ(n->nLladdrLen, 6u);
    EXPECT_EQ(memcmp(n->lladdr.data(), kBoardMac, 6), 0);
    EXPECT_TRUE(n->bHasAge);
    EXPECT_EQ(n->nConfirmedAgeMs, 1500);

    // A deleted entry is ours but no longer found.
    n = Parse({.nType = RTM_DELNEIGH});
    ASSERT_TRUE(n);
    EXPECT_FALSE(n->bFound);

    struct {
        const char* szWhat;
        SNeighFields fields;
    } const others[] = {
        {"another address", {.dst = inet_addr("10.0.0.51")}},
        {"no address", {.dst = std::nullopt}},
        {"another interface", {.nIfIndex = kIfIndex + 1}},
        {"IPv6", {.nFamily = AF_INET6}},
        {"proxy entry", {.nFlags = NTF_PROXY}},
        {"not a neighbour message", {.nType = RTM_NEWROUTE}},
    };
    for (const auto& other : others)
        EXPECT_FALSE(Parse(other.fields)) << other.szWhat;
}

TEST(ArpParse, OnlyAConfirmationDuringTheQueryIsFresh) {
    const auto start = Clock::now();
    const CFreshness freshness(start);
    struct {
        const char* szWhat;
        SNeighFields fields;
        bool bEvent;    // fresh as an event
        bool bReadAt2s; // fresh as a table read sent 2 s after the start
    } const cases[] = {
        {"confirmed just now", {.confirmedTicks = 0}, true, true},
        {"confirmed one step ago", {.confirmedTicks = 1}, true, true},
        {"confirmed 1.5 s ago", {.confirmedTicks = 150}, false, true},
        {"confirmed before the start", {.confirmedTicks = 201}, false, false},
        {"stale", {.nState = NUD_STALE}, false, false},
        {"delay", {.nState = NUD_DELAY}, false, false},
        {"set by hand", {.nState = NUD_PERMANENT}, false, false},
        {"no age", {.confirmedTicks = std::nullopt}, false, false},
        {"no hardware address", {.bLladdr = false}, false, false},
        {"deleted", {.nType = RTM_DELNEIGH}, false, false},
    };
    for (const auto& c : cases) {
        std::optional<SNeigh> n = Parse(c.fields);
        ASSERT_TRUE(n) << c.szWhat;
        EXPECT_EQ(CFreshness::FromEvent(*n), c.bEvent) << c.szWhat;
        EXPECT_EQ(freshness.FromTableRead(*n, start + 2s), c.bReadAt2s) << c.szWhat;
    }
    // Read at the very start, only a confirmation at the start itself counts.
    EXPECT_FALSE(freshness.FromTableRead(*Parse({.confirmedTicks = 1}), start));
}

TEST(ArpParse, RouteThroughARouterIsNotOnLink) {
    rtmsg rtm{};
    rtm.rtm_family = AF_INET;
    rtm.rtm_type = RTN_UNICAST;
    SRoute direct;
    ASSERT_TRUE(ParseRoute(
        CMessage(RTM_NEWROUTE, rtm).U32(RTA_OIF, kIfIndex).U32(RTA_PREFSRC, inet_addr("10.0.0.1")).Nlh(),
        direct));
    EXPECT_EQ(direct.nType, RTN_UNICAST);
    EXPECT_EQ(direct.dwOif, kIfIndex);
    EXPECT_EQ(direct.dwPrefSrc, inet_addr("10.0.0.1"));
    EXPECT_FALSE(direct.bGateway);

    const uint8_t nexthops[16] = {};
    for (uint16_t attr : {uint16_t(RTA_GATEWAY), uint16_t(RTA_VIA), uint16_t(RTA_MULTIPATH)}) {
        SRoute route;
        CMessage msg(RTM_NEWROUTE, rtm);
        msg.U32(RTA_OIF, kIfIndex);
        if (attr == RTA_GATEWAY)
            msg.U32(attr, inet_addr("10.0.0.254"));
        else
            msg.Bytes(attr, nexthops, sizeof nexthops);
        ASSERT_TRUE(ParseRoute(msg.Nlh(), route)) << attr;
        EXPECT_TRUE(route.bGateway) << attr;
    }
}

TEST(ArpParse, RequestFailuresMapToOneCodeEach) {
    struct {
        int rc;
        uint32_t dwCode;
    } const cases[] = {
        {0, ARP_NO_ERROR},
        {ETIMEDOUT, ARP_ERROR_BAD_NET_NAME},
        {ENETUNREACH, ARP_ERROR_BAD_NET_NAME},
        {EACCES, ARP_ERROR_BAD_NET_NAME},
        {EINVAL, ARP_ERROR_BAD_NET_NAME},
        {ECANCELED, ARP_ERROR_CANCELLED},
        {ENODEV, ARP_ERROR_NOT_FOUND},
        {ENOBUFS, ARP_ERROR_GEN_FAILURE},
        {EPROTO, ARP_ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RequestErrorToCode(c.rc), c.dwCode) << strerror(c.rc);
    EXPECT_TRUE(IsNeighGetRefused(EOPNOTSUPP));
    EXPECT_FALSE(IsNeighGetRefused(ENOENT)) << "no entry is an answer, not a refusal";
    EXPECT_FALSE(IsNeighGetRefused(ETIMEDOUT));
}

TEST(ArpParse, ReplyFromTheAddressGivesItsSenderMac) {
    SLink link;
    memcpy(link.addr.data(), "\x02\x00\x00\x00\x00\x01", 6);
    auto request = BuildArpRequest(link, inet_addr("10.0.0.1"), kBoardIp);
    const uint8_t kRequestStart[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    EXPECT_EQ(memcmp(request.data(), kRequestStart, 8), 0);
    EXPECT_EQ(memcmp(request.data() + 8, link.addr.data(), 6), 0);
    EXPECT_EQ(memcmp(request.data() + 24, &kBoardIp, 4), 0);

    // The board's reply: operation 2, sender = the board.
    auto reply = request;
    reply[7] = ARPOP_REPLY;
    memcpy(reply.data() + 8, kBoardMac, 6);
    memcpy(reply.data() + 14, &kBoardIp, 4);
    SAnswer answer;
    ASSERT_TRUE(ParseArpReply(reply.data(), reply.size(), kBoardIp, answer));
    ASSERT_EQ(answer.nLength, 6u);
    EXPECT_EQ(memcmp(answer.addr.data(), kBoardMac, 6), 0);

    struct {
        const char* szWhat;
        size_t nOffset;
        uint8_t nValue;
        size_t nLength;
    } const refused[] = {
        {"a request", 7, ARPOP_REQUEST, kArpPacketSize}, {"another sender", 17, 51, kArpPacketSize},
        {"not Ethernet", 1, 6, kArpPacketSize},          {"not IPv4", 2, 0x86, kArpPacketSize},
        {"cut short", 0, 0, kArpPacketSize - 1},
    };
    for (const auto& r : refused) {
        auto bad = reply;
        if (r.nLength == kArpPacketSize)
            bad[r.nOffset] = r.nValue;
        SAnswer none;
        EXPECT_FALSE(ParseArpReply(bad.data(), r.nLength, kBoardIp, none)) << r.szWhat;
        EXPECT_EQ(none.nLength, 0u) << r.szWhat;
    }
}
