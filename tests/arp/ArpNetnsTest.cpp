// The ARP query against a board in a network namespace of the test's own. Nothing here runs a query in the
// root namespace: the probe program is started inside the lab's host namespace.
#include "tests/arp/NetnsLab.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr const char* kBoardMac = "02:3A:7C:12:34:56";
constexpr const char* kBoardMacRead = "02:3a:7c:12:34:56";
constexpr const char* kOldBoardMac = "02:00:00:0b:0b:01";
constexpr const char* kNoAnswerLine = "Error: SendArp failed with error: 67 (ERROR_GEN_FAILURE)\r\n";
constexpr long kWaitBoundMs = 3000;
constexpr long kSlackMs = 700; // process start-up and a loaded machine

void Report(const char* what, const SProbeResult& probe) {
    printf("%s: %s query, %ld ms\n", what, probe.strMethod.c_str(), probe.nElapsedMs);
}

TEST(ArpNamespace, BoardAnswersWithItsMacInLowerCase) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    // The kernel's resolution also where the table is read by dump (kernels that refuse a single entry).
    for (const char* szDump : {"0", "1"}) {
        for (const char* szMethod : {"wire", "kernel", "auto"}) {
            SCOPED_TRACE(std::string(szMethod) + ", dump " + szDump);
            SProbeResult probe = lab.Probe("10.0.0.50", {"--method", szMethod, "--neigh-dump", szDump});
            ASSERT_TRUE(probe.bRan) << probe.strRaw;
            EXPECT_EQ(probe.nResult, 1);
            EXPECT_EQ(probe.strMac, kBoardMacRead);
            EXPECT_EQ(probe.strLog, "");
            EXPECT_LT(probe.nElapsedMs, kWaitBoundMs);
            // Root holds the capability for raw packets, so the automatic choice asks the wire.
            EXPECT_EQ(probe.strMethod, std::string(szMethod) == "kernel" ? "kernel" : "wire");
            Report("answered", probe);
            // The kernel's entry is confirmed now; it must not be what the next kernel query reports.
            lab.Ip(lab.HostNs(), {"neigh", "flush", "dev", "qh0"});
        }
    }
}

TEST(ArpNamespace, UnprivilegedUserGetsTheAnswerThroughTheKernel) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    SProbeResult probe = lab.Probe("10.0.0.50", {}, true);
    ASSERT_TRUE(probe.bRan) << probe.strRaw;
    EXPECT_EQ(probe.nResult, 1);
    EXPECT_EQ(probe.strMac, kBoardMacRead);
    EXPECT_EQ(probe.strMethod, "kernel");
    EXPECT_EQ(probe.strLog, "");
    Report("answered, unprivileged", probe);

    // The capabilities really are gone: the wire cannot be asked.
    probe = lab.Probe("10.0.0.50", {"--method", "wire"}, true);
    ASSERT_TRUE(probe.bRan) << probe.strRaw;
    EXPECT_EQ(probe.nResult, 1);
    EXPECT_EQ(probe.strMac, "");
    EXPECT_EQ(probe.strLog, "Error: SendArp failed with error: 5\r\n");
}

TEST(ArpNamespace, NoHostAtTheAddressIsNoAnswerWithinTheWait) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    for (const char* szMethod : {"wire", "kernel"}) {
        SProbeResult probe = lab.Probe("10.0.0.50", {"--method", szMethod});
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 1) << szMethod;
        EXPECT_EQ(probe.strMac, "") << szMethod;
        EXPECT_EQ(probe.strLog, kNoAnswerLine) << szMethod;
        EXPECT_LE(probe.nElapsedMs, kWaitBoundMs + kSlackMs) << szMethod;
        // It did wait for an answer rather than give up at the first silence.
        EXPECT_GE(probe.nElapsedMs, 1500) << szMethod;
        Report("unanswered", probe);
    }
}

TEST(ArpNamespace, StopEndsTheWaitAtOnce) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    for (const char* szMethod : {"wire", "kernel"}) {
        SProbeResult probe = lab.Probe("10.0.0.50", {"--method", szMethod, "--stop-after", "200"});
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 1) << szMethod;
        EXPECT_EQ(probe.strMac, "") << szMethod;
        EXPECT_EQ(probe.strLog, "Error: SendArp failed with error: 1223\r\n") << szMethod;
        EXPECT_LT(probe.nElapsedMs, 200 + 500) << szMethod;
    }
}

// The previous board at the same address left an entry with its MAC in the host's neighbour table.
TEST(ArpNamespace, EntryOfThePreviousBoardIsNeverReported) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    // The dump reads the same table: one state is enough to show that it applies the same rule.
    const std::pair<const char*, const char*> cases[] = {
        {"stale", "0"}, {"reachable", "0"}, {"delay", "0"}, {"reachable", "1"}};
    for (const auto& [szState, szDump] : cases) {
        SCOPED_TRACE(std::string(szState) + ", dump " + szDump);
        ASSERT_TRUE(lab.Ip(lab.HostNs(), {"neigh", "replace", "10.0.0.50", "lladdr", kOldBoardMac, "dev",
                                          "qh0", "nud", szState}));
        // An entry set as reachable counts as confirmed when it was set: let that lie clearly in the past.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        SProbeResult kernel = lab.Probe("10.0.0.50", {"--method", "kernel", "--neigh-dump", szDump});
        ASSERT_TRUE(kernel.bRan) << kernel.strRaw;
        EXPECT_EQ(kernel.nResult, 1);
        EXPECT_NE(kernel.strMac, kOldBoardMac);
        // The kernel re-probes the old MAC first, longer than one query waits.
        EXPECT_EQ(kernel.strMac, "");
        EXPECT_EQ(kernel.strLog, kNoAnswerLine);

        // The wire does not care what the table says.
        SProbeResult wire = lab.Probe("10.0.0.50", {"--method", "wire"});
        ASSERT_TRUE(wire.bRan) << wire.strRaw;
        EXPECT_EQ(wire.strMac, kBoardMacRead);
        EXPECT_EQ(wire.strLog, "");
    }
}

// What the production line does without the capability: the check is repeated until the board answers.
// With the kernel's neighbour timers shortened, the new board's MAC comes through within a few queries,
// and the old one never does.
TEST(ArpNamespace, RepeatedKernelQueriesReachTheNewBoardAndNeverTheOldOne) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    lab.SetSysctl(lab.HostNs(), "net.ipv4.neigh.qh0.delay_first_probe_time=1");
    lab.SetSysctl(lab.HostNs(), "net.ipv4.neigh.qh0.ucast_solicit=1");
    lab.SetSysctl(lab.HostNs(), "net.ipv4.neigh.qh0.retrans_time_ms=300");
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"neigh", "replace", "10.0.0.50", "lladdr", kOldBoardMac, "dev", "qh0",
                                      "nud", "stale"}));
    std::string strAnswer;
    int nQueries = 0;
    while (strAnswer.empty() && nQueries < 6) {
        SProbeResult probe = lab.Probe("10.0.0.50", {}, true);
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        ++nQueries;
        EXPECT_NE(probe.strMac, kOldBoardMac) << "query " << nQueries;
        strAnswer = probe.strMac;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(strAnswer, kBoardMacRead) << "after " << nQueries << " queries";
    printf("new board reached after %d queries\n", nQueries);
}

// A second interface on the same subnet, and a policy rule that sends exactly the resolution's datagram
// (UDP to the discard port) through it: the check refuses to guess between the two; with the card named,
// the resolution happens on that card, and nothing leaves through the other one.
TEST(ArpNamespace, ResolutionLeavesThroughTheCheckedInterface) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"link", "add", "qh1", "type", "veth", "peer", "name", "qh1p"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"addr", "add", "10.0.0.2/24", "dev", "qh1"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"link", "set", "qh1p", "up"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"link", "set", "qh1", "up"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"route", "add", "10.0.0.0/24", "dev", "qh1", "table", "100"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"rule", "add", "ipproto", "udp", "dport", "9", "table", "100"}));
    // The route the query checks is still the one through qh0.
    EXPECT_NE(lab.Exec(lab.HostNs(), {"ip", "route", "get", "10.0.0.50"}).strOut.find("dev qh0"),
              std::string::npos);

    int64_t nTxBefore = lab.Counter(lab.HostNs(), "qh1", "tx_packets");
    ASSERT_GE(nTxBefore, 0);
    SProbeResult refused = lab.Probe("10.0.0.50", {}, true);
    EXPECT_EQ(refused.nResult, 0);
    EXPECT_EQ(refused.strLog, "Error: the board's address is on-link through several interfaces: qh0, qh1");
    SProbeResult probe = lab.Probe("10.0.0.50", {"--interface", "qh0"}, true);
    ASSERT_TRUE(probe.bRan) << probe.strRaw;
    EXPECT_EQ(probe.strMethod, "kernel");
    EXPECT_EQ(probe.strMac, kBoardMacRead);
    EXPECT_EQ(probe.strLog, "");
    EXPECT_EQ(lab.Counter(lab.HostNs(), "qh1", "tx_packets"), nTxBefore);
}

// A PC with a card per board, every card with the same address and every board at 10.0.0.50: each card
// reaches its own board only, whichever way it asks, and nothing leaves through the other card.
TEST(ArpNamespace, EachCardReachesItsOwnBoardOnly) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_EQ(lab.AddLink(), 1);
    const char* const boardMacs[2] = {kBoardMacRead, "02:3a:7c:00:00:02"};
    ASSERT_TRUE(lab.PlugBoard(boardMacs[0], 0));
    ASSERT_TRUE(lab.PlugBoard(boardMacs[1], 1));
    for (int nCard : {0, 1}) {
        std::string card = "qh" + std::to_string(nCard), other = "qh" + std::to_string(1 - nCard);
        for (const char* szMethod : {"wire", "kernel", "unprivileged"}) {
            SCOPED_TRACE(card + ", " + szMethod);
            bool bUnprivileged = std::string(szMethod) == "unprivileged";
            std::vector<std::string> options = {"--interface", card};
            if (!bUnprivileged)
                options.insert(options.end(), {"--method", szMethod});
            // No neighbour entries anywhere: none from an earlier query passes for this one's answer, and no
            // side re-probes an old entry (which would put a packet on the other link).
            for (size_t nLink : {0, 1}) {
                lab.Ip(lab.HostNs(), {"neigh", "flush", "dev", "qh" + std::to_string(nLink)});
                lab.Ip(lab.BoardNs(nLink), {"neigh", "flush", "dev", "qb0"});
            }
            int64_t nOtherTx = lab.Counter(lab.HostNs(), other, "tx_packets");
            SProbeResult probe = lab.Probe("10.0.0.50", options, bUnprivileged);
            ASSERT_TRUE(probe.bRan) << probe.strRaw;
            EXPECT_EQ(probe.nResult, 1);
            EXPECT_EQ(probe.strMac, boardMacs[nCard]);
            EXPECT_EQ(probe.strLog, "");
            EXPECT_EQ(probe.strMethod, std::string(szMethod) == "wire" ? "wire" : "kernel");
            EXPECT_EQ(lab.Counter(lab.HostNs(), other, "tx_packets"), nOtherTx);
        }
    }
}

// A card that cannot lead to the board, named or not, is refused before anything is sent anywhere.
TEST(ArpNamespace, CardThatCannotLeadToTheBoardIsRefusedSilently) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_EQ(lab.AddLink(), 1);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac, 0));
    ASSERT_TRUE(lab.PlugBoard(kOldBoardMac, 1));
    struct SCase {
        const char* pszInterface;
        std::vector<std::string> change, undo; // ip commands in the host namespace
        const char* pszLog;
    };
    const SCase cases[] = {
        {"", {}, {}, "Error: the board's address is on-link through several interfaces: qh0, qh1"},
        {"qh9", {}, {}, "Error: network interface qh9 does not exist"},
        {"qh1",
         {"link", "set", "qh1", "down"},
         {"link", "set", "qh1", "up"},
         "Error: network interface qh1 is down"},
        {"qh1",
         {"addr", "del", "10.0.0.1/24", "dev", "qh1"},
         {"addr", "add", "10.0.0.1/24", "dev", "qh1"},
         "Error: network interface qh1 has no address on the board's subnet"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszLog);
        if (!c.change.empty()) {
            ASSERT_TRUE(lab.Ip(lab.HostNs(), c.change));
        }
        int64_t nTx0 = lab.Counter(lab.HostNs(), "qh0", "tx_packets");
        int64_t nTx1 = lab.Counter(lab.HostNs(), "qh1", "tx_packets");
        for (const char* szMethod : {"wire", "kernel"}) {
            std::vector<std::string> options = {"--method", szMethod};
            if (*c.pszInterface)
                options.insert(options.end(), {"--interface", c.pszInterface});
            SProbeResult probe = lab.Probe("10.0.0.50", options);
            ASSERT_TRUE(probe.bRan) << probe.strRaw;
            EXPECT_EQ(probe.nResult, 0) << szMethod;
            EXPECT_EQ(probe.strMac, "") << szMethod;
            EXPECT_EQ(probe.strLog, c.pszLog) << szMethod;
        }
        EXPECT_EQ(lab.Counter(lab.HostNs(), "qh0", "tx_packets"), nTx0);
        EXPECT_EQ(lab.Counter(lab.HostNs(), "qh1", "tx_packets"), nTx1);
        if (!c.undo.empty()) {
            ASSERT_TRUE(lab.Ip(lab.HostNs(), c.undo));
        }
    }
}

// The board's address lies behind a router: nothing may leave the host, neither towards the address nor
// towards the router, and the answer is "no answer" at once.
TEST(ArpNamespace, AddressNotOnLinkSendsNothingAndFailsAtOnce) {
    CNetnsLab lab(false);
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"addr", "add", "192.168.77.1/24", "dev", "qh0"}));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"route", "add", "10.0.0.0/24", "via", "192.168.77.254"}));
    ASSERT_TRUE(lab.Ip(lab.BoardNs(), {"addr", "add", "192.168.77.254/24", "dev", "qb0"}));

    auto CheckSilent = [&](const std::vector<std::string>& options, bool bUnprivileged) {
        int64_t nTxBefore = lab.Counter(lab.HostNs(), "qh0", "tx_packets");
        int64_t nRxBefore = lab.Counter(lab.BoardNs(), "qb0", "rx_packets");
        ASSERT_GE(nTxBefore, 0);
        SProbeResult probe = lab.Probe("10.0.0.50", options, bUnprivileged);
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 1);
        EXPECT_EQ(probe.strMac, "");
        EXPECT_EQ(probe.strLog, kNoAnswerLine);
        EXPECT_LT(probe.nElapsedMs, 500);
        EXPECT_EQ(probe.strMethod, "auto"); // it ended before asking anyone
        EXPECT_EQ(lab.Counter(lab.HostNs(), "qh0", "tx_packets"), nTxBefore);
        EXPECT_EQ(lab.Counter(lab.BoardNs(), "qb0", "rx_packets"), nRxBefore);
    };
    for (const char* szMethod : {"wire", "kernel"}) {
        SCOPED_TRACE(szMethod);
        CheckSilent({"--method", szMethod}, false);
    }
    {
        SCOPED_TRACE("unprivileged");
        CheckSilent({}, true);
    }
    // Not even the router was asked for.
    EXPECT_EQ(lab.Exec(lab.HostNs(), {"ip", "neigh", "show", "dev", "qh0"}).strOut, "");

    // No route at all: the same.
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"route", "del", "10.0.0.0/24"}));
    SCOPED_TRACE("no route");
    CheckSilent({"--method", "wire"}, false);
}

TEST(ArpNamespace, InterfaceWithoutArpIsUnsupportedAndSendsNothing) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard(kBoardMac));
    ASSERT_TRUE(lab.Ip(lab.HostNs(), {"link", "set", "qh0", "arp", "off"}));
    for (bool bUnprivileged : {false, true}) {
        int64_t nTxBefore = lab.Counter(lab.HostNs(), "qh0", "tx_packets");
        SProbeResult probe = lab.Probe("10.0.0.50", {}, bUnprivileged);
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 1);
        EXPECT_EQ(probe.strMac, "");
        EXPECT_EQ(probe.strLog, "Error: SendArp failed with error: 50\r\n");
        EXPECT_EQ(lab.Counter(lab.HostNs(), "qh0", "tx_packets"), nTxBefore);
    }
}

TEST(ArpNamespace, OwnAndBroadcastAddressesAreRefused) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    int64_t nTxBefore = lab.Counter(lab.HostNs(), "qh0", "tx_packets");
    for (const char* szIp : {"10.0.0.1", "10.0.0.255", "0.0.0.0", "224.0.0.1"}) {
        SProbeResult probe = lab.Probe(szIp, {});
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 1) << szIp;
        EXPECT_EQ(probe.strMac, "") << szIp;
        EXPECT_EQ(probe.strLog, "Error: SendArp failed with error: 87 (ERROR_INVALID_PARAMETER)\r\n") << szIp;
    }
    EXPECT_EQ(lab.Counter(lab.HostNs(), "qh0", "tx_packets"), nTxBefore);
}

TEST(ArpNamespace, TextsThatAreNoAddressFailWithTheirLine) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    for (const char* szIp : {"255.255.255.255", "10.0.0.999", "board"}) {
        SProbeResult probe = lab.Probe(szIp, {}, true);
        ASSERT_TRUE(probe.bRan) << probe.strRaw;
        EXPECT_EQ(probe.nResult, 0) << szIp;
        EXPECT_EQ(probe.strMac, "") << szIp;
        EXPECT_EQ(probe.strLog, "Error in gethostbyname : 22") << szIp;
    }
}

} // namespace
