#include "mac/ArpCheck.h"
#include "core/LogConsole.h"
#include "mac/ArpQuery_linux.h"
#include "mac/NetCardFile.h"
#include "tests/support/TempWorkDir.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <tuple>
#include <vector>

namespace {

// Tests that hand real queries to the system move this thread into a network namespace of its own first:
// it holds nothing but a loopback interface that is down, so a fault cannot put a packet on any wire.
bool EnterEmptyNetworkNamespace(std::string& strReason) {
    static int s_nError = unshare(CLONE_NEWNET) == 0 ? 0 : errno;
    if (s_nError != 0)
        strReason = std::string("cannot create a network namespace (needs root): ") + strerror(s_nError);
    return s_nError == 0;
}

#define ENTER_EMPTY_NETWORK_NAMESPACE()                                                                      \
    do {                                                                                                     \
        std::string strReason;                                                                               \
        if (!EnterEmptyNetworkNamespace(strReason))                                                          \
            GTEST_SKIP() << strReason;                                                                       \
    } while (0)

// A scripted ARP service: answers every query with the configured code and bytes, and records the calls.
class CFakeArpQuery : public IArpQuery {
public:
    bool Load(CLogConsole& log) override {
        ++m_nLoads;
        if (!m_strLoadError.empty()) {
            log.AppendLogText(m_strLoadError.c_str(), false);
            return false;
        }
        return true;
    }
    uint32_t SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen,
                     const CStopToken& stop) override {
        ++m_nQueries;
        m_dwDestIp = dwDestIp;
        m_dwOfferedLength = *pPhyAddrLen;
        m_bStopSeen = stop.StopRequested();
        if (m_dwResult == 0) {
            memcpy(pMacAddr, m_answer.data(), m_answer.size());
            *pPhyAddrLen = m_dwAnswerLength;
        }
        return m_dwResult;
    }
    void Unload() override { ++m_nUnloads; }
    SBoardLink FindBoardLink(uint32_t) override { return m_link; }

    std::string m_strLoadError;
    SBoardLink m_link;
    uint32_t m_dwResult = 0;
    std::vector<uint8_t> m_answer = {0x02, 0x3A, 0x7C, 0x12, 0x34, 0x56, 0xEE, 0xEE};
    uint32_t m_dwAnswerLength = 6;

    int m_nLoads = 0;
    int m_nQueries = 0;
    int m_nUnloads = 0;
    uint32_t m_dwDestIp = 0;
    uint32_t m_dwOfferedLength = 0;
    bool m_bStopSeen = false;
};

TEST(ReadMacByArp, AnswerBecomesLowerCaseHexPairs) {
    CLogConsole log;
    CFakeArpQuery query;
    std::string strMac = "left over";
    EXPECT_TRUE(ReadMacByArp(log, strMac, "10.0.0.50", {}, &query));
    EXPECT_EQ(strMac, "02:3a:7c:12:34:56");
    EXPECT_EQ(log.m_strLog, "");
    EXPECT_EQ(query.m_dwOfferedLength, 6u);
    const auto* pIp = reinterpret_cast<const uint8_t*>(&query.m_dwDestIp);
    EXPECT_EQ(std::vector<uint8_t>(pIp, pIp + 4), (std::vector<uint8_t>{10, 0, 0, 50}));
    EXPECT_EQ(query.m_nLoads, 1);
    EXPECT_EQ(query.m_nUnloads, 1);
}

TEST(ReadMacByArp, AnswerOfAnotherLengthIsNoAnswerAndLogsNothing) {
    for (uint32_t dwLength : {0u, 4u, 8u}) {
        CLogConsole log;
        CFakeArpQuery query;
        query.m_dwAnswerLength = dwLength;
        std::string strMac = "left over";
        EXPECT_TRUE(ReadMacByArp(log, strMac, "10.0.0.50", {}, &query)) << dwLength;
        EXPECT_EQ(strMac, "") << dwLength;
        EXPECT_EQ(log.m_strLog, "") << dwLength;
        EXPECT_EQ(query.m_nUnloads, 1);
    }
}

struct SErrorCase {
    uint32_t dwCode;
    const char* szLine; // as stored in the log (CR LF)
};

void PrintTo(const SErrorCase& c, std::ostream* pOut) {
    *pOut << c.dwCode;
}

class ReadMacByArpError : public ::testing::TestWithParam<SErrorCase> {};

TEST_P(ReadMacByArpError, LogsOneLineWithItsSuffixAndStillSucceeds) {
    CLogConsole log;
    CFakeArpQuery query;
    query.m_dwResult = GetParam().dwCode;
    std::string strMac = "left over";
    EXPECT_TRUE(ReadMacByArp(log, strMac, "10.0.0.50", {}, &query));
    EXPECT_EQ(strMac, "");
    EXPECT_EQ(log.m_strLog, GetParam().szLine);
    EXPECT_EQ(query.m_nUnloads, 1);
}

INSTANTIATE_TEST_SUITE_P(
    SuffixTable, ReadMacByArpError,
    ::testing::Values(SErrorCase{31, "Error: SendArp failed with error: 31 (ERROR_GEN_FAILURE)\r\n"},
                      SErrorCase{67, "Error: SendArp failed with error: 67 (ERROR_GEN_FAILURE)\r\n"},
                      SErrorCase{87, "Error: SendArp failed with error: 87 (ERROR_INVALID_PARAMETER)\r\n"},
                      SErrorCase{111, "Error: SendArp failed with error: 111 (ERROR_BUFFER_OVERFLOW)\r\n"},
                      SErrorCase{1168, "Error: SendArp failed with error: 1168 (ERROR_NOT_FOUND)\r\n"},
                      SErrorCase{1784,
                                 "Error: SendArp failed with error: 1784 (ERROR_INVALID_USER_BUFFER)\r\n"},
                      SErrorCase{5, "Error: SendArp failed with error: 5\r\n"},
                      SErrorCase{50, "Error: SendArp failed with error: 50\r\n"},
                      SErrorCase{1223, "Error: SendArp failed with error: 1223\r\n"},
                      SErrorCase{0x80000000u, "Error: SendArp failed with error: -2147483648\r\n"}),
    [](const auto& info) { return "Code" + std::to_string(info.param.dwCode); });

TEST(ReadMacByArp, TextsThatAreNoAddressFailWithoutAsking) {
    // 255.255.255.255 converts to the failure value itself and is refused like the others.
    for (const char* szIp :
         {"", "abc", "10.0.0.256", "10.0.0.50.1", "1.2.3.4x", " 10.0.0.50", "255.255.255.255"}) {
        CLogConsole log;
        CFakeArpQuery query;
        std::string strMac = "left over";
        EXPECT_FALSE(ReadMacByArp(log, strMac, szIp, {}, &query)) << szIp;
        EXPECT_EQ(strMac, "") << szIp;
        EXPECT_EQ(log.m_strLog, "Error in gethostbyname : 22") << szIp;
        EXPECT_EQ(query.m_nLoads, 0) << szIp;
        EXPECT_EQ(query.m_nQueries, 0) << szIp;
    }
}

TEST(ReadMacByArp, RefusedTextWithThePlatformServiceSendsNothing) {
    ENTER_EMPTY_NETWORK_NAMESPACE();
    CLogConsole log;
    std::string strMac = "left over";
    EXPECT_FALSE(ReadMacByArp(log, strMac, "255.255.255.255"));
    EXPECT_EQ(strMac, "");
    // No line end: whatever comes next continues the line.
    EXPECT_EQ(log.m_strLog, "Error in gethostbyname : 22");
}

// A service that does not load, or a card that cannot be told: false with one line, nothing asked.
TEST(ReadMacByArp, UnusableServiceOrCardFailsWithItsOwnLineOnly) {
    struct SCase {
        const char* pszLoadError;
        SBoardLink link;
        const char* pszLog;
        int nUnloads; // what did not load is not released
    };
    const SCase cases[] = {
        {"Error in LoadLibrary iphlpapi.dll : 126", {}, "Error in LoadLibrary iphlpapi.dll : 126", 0},
        {"",
         {EBoardLink::Several, "", {"eth1", "eth2"}},
         "Error: the board's address is on-link through several interfaces: eth1, eth2",
         1},
    };
    for (const SCase& c : cases) {
        CLogConsole log;
        CFakeArpQuery query;
        query.m_strLoadError = c.pszLoadError;
        query.m_link = c.link;
        std::string strMac = "left over";
        EXPECT_FALSE(ReadMacByArp(log, strMac, "10.0.0.50", {}, &query));
        EXPECT_EQ(strMac, "");
        EXPECT_EQ(log.m_strLog, c.pszLog);
        EXPECT_EQ(query.m_nQueries, 0);
        EXPECT_EQ(query.m_nUnloads, c.nUnloads);
    }
}

// Which card leads to the board, from what the system lists.
TEST(BoardLink, Judgement) {
    auto card = [](const char* szName, bool bUp, const char* szAddr, const char* szMask) {
        SNetInterface i;
        i.strName = szName;
        i.bUp = bUp;
        i.bLoopback = std::string(szName) == "lo";
        i.bHasAddress = szAddr != nullptr;
        i.dwAddress = szAddr ? inet_addr(szAddr) : 0;
        i.dwNetmask = szMask ? inet_addr(szMask) : 0;
        return i;
    };
    const std::vector<SNetInterface> station = {
        card("lo", true, nullptr, nullptr),
        card("lo", true, "127.0.0.1", "255.0.0.0"),
        card("eth0", true, nullptr, nullptr),
        card("eth0", true, "192.168.1.5", "255.255.255.0"),
        card("eth1", true, nullptr, nullptr),
        card("eth1", true, "10.0.0.1", "255.255.255.0"),
        card("eth2", true, nullptr, nullptr),
        card("eth2", true, "192.168.9.1", "255.255.255.0"),
        card("eth2", true, "10.0.0.1", "255.255.255.0"), // a second address on the board's subnet
        card("eth3", false, nullptr, nullptr),
        card("eth3", false, "10.0.0.1", "255.255.255.0"),
        card("eth4", true, nullptr, nullptr),
        card("eth4", true, "10.0.0.50", "255.255.255.0"),
        card("wide", true, "10.1.0.1", "255.0.0.0"),
    };
    struct SCase {
        std::vector<SNetInterface> interfaces;
        const char* pszInterface;
        EBoardLink eState;
        std::vector<std::string> cards;
        const char* pszProblem;
    };
    const SCase cases[] = {
        // A card down, or the board's own address on the PC, does not lead to the board.
        {station,
         "",
         EBoardLink::Several,
         {"eth1", "eth2", "wide"},
         "10.0.0.50 é alcançável por mais de uma placa de rede: eth1, eth2, wide.\nIndique a placa da QAN640 "
         "(--interface ou QAN640net.conf)."},
        {{station[4], station[5], station[0]}, "", EBoardLink::Ok, {"eth1"}, ""},
        {{station[2], station[3]}, "", EBoardLink::Ok, {}, ""},
        {station, "eth1", EBoardLink::Ok, {}, ""},
        {station, "eth2", EBoardLink::Ok, {}, ""},
        {station, "eth9", EBoardLink::NoSuchInterface, {}, "A placa de rede eth9 não existe neste PC."},
        {station, "eth3", EBoardLink::InterfaceDown, {}, "A placa de rede eth3 está desativada."},
        {station,
         "eth0",
         EBoardLink::NoAddress,
         {},
         "A placa de rede eth0 não tem endereço na rede de 10.0.0.50."},
        {station,
         "eth4",
         EBoardLink::NoAddress,
         {},
         "A placa de rede eth4 não tem endereço na rede de 10.0.0.50."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(std::string("interface '") + c.pszInterface + "'");
        SBoardLink link = JudgeBoardLink(inet_addr("10.0.0.50"), c.pszInterface, c.interfaces);
        EXPECT_EQ(link.eState, c.eState);
        if (c.eState == EBoardLink::Several) {
            EXPECT_EQ(link.cards, c.cards);
        }
        EXPECT_EQ(BoardLinkProblemText(link, "10.0.0.50"), c.pszProblem);
        EXPECT_EQ(BoardLinkLogText(link).empty(), c.eState == EBoardLink::Ok);
    }
}

TEST(NetCardFile, CardOfAPort) {
    const std::string station = "# station\n"
                                "/dev/ttyUSB0 eth1\r\n"
                                "  ttyUSB1\teth2  # second slot\n"
                                "ttyUSB1 eth9\n"
                                "ttyS0 eth3 extra\n"
                                "eth0\n"
                                "eth8\n";
    struct SCase {
        std::string text;
        const char* pszPort;
        const char* pszCard;
    };
    const SCase cases[] = {
        {station, "ttyUSB0", "eth1"},
        {station, "/dev/ttyusb1", "eth2"}, // any spelling, first line
        {station, "ttyS0", "eth0"},
        {station, "./ttyUSB0", "eth0"}, // other ports: the one-word line
        {"/dev/ttyUSB0 eth1\n", "ttyUSB1", ""},
        {"", "ttyUSB0", ""},
        {"eth1", "ttyUSB0", "eth1"}, // no line end
    };
    for (const SCase& c : cases)
        EXPECT_EQ(NetCardFromText(c.text, c.pszPort), c.pszCard) << c.pszPort << " in " << c.text;
    // A station's stationPorts: its port-and-card lines, a port listed again counting once (its first line),
    // and each with the card a run on that port alone would use.
    std::vector<SStationPort> stationPorts = StationPortsFromText(station);
    ASSERT_EQ(stationPorts.size(), 2u);
    for (const auto& [slot, pszPort, pszCard] : {std::tuple{stationPorts[0], "/dev/ttyUSB0", "eth1"},
                                                 std::tuple{stationPorts[1], "ttyUSB1", "eth2"}}) {
        EXPECT_EQ(slot.strPort, pszPort);
        EXPECT_EQ(slot.strCard, NetCardFromText(station, slot.strPort));
        EXPECT_EQ(slot.strCard, pszCard);
    }

    CTempWorkDir work;
    EXPECT_EQ(ReadNetCard("ttyUSB0"), "");
    WriteFileBytes(kNetCardFileName, station);
    EXPECT_EQ(ReadNetCard("ttyUSB1"), "eth2");
}

TEST(ReadMacByArp, HandsTheStopRequestToTheQuery) {
    CStopSource source;
    source.RequestStop();
    CLogConsole log;
    CFakeArpQuery query;
    std::string strMac;
    ReadMacByArp(log, strMac, "10.0.0.50", source.Token(), &query);
    EXPECT_TRUE(query.m_bStopSeen);
}

// Arguments that are refused before anything is opened or sent.
TEST(LinuxArpQuery, RefusesBadArgumentsBeforeAsking) {
    ENTER_EMPTY_NETWORK_NAMESPACE();
    CLinuxArpQuery query;
    uint32_t mac[2] = {};
    uint32_t dwLength = 6;
    uint32_t dwIp = inet_addr("10.0.0.50");
    EXPECT_EQ(query.SendArp(dwIp, nullptr, &dwLength, {}), ARP_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(query.SendArp(dwIp, mac, nullptr, {}), ARP_ERROR_INVALID_PARAMETER);
    dwLength = 0;
    EXPECT_EQ(query.SendArp(dwIp, mac, &dwLength, {}), ARP_ERROR_INVALID_USER_BUFFER);
    for (const char* szIp : {"0.0.0.0", "224.0.0.1", "239.255.255.250"}) {
        dwLength = 6;
        EXPECT_EQ(query.SendArp(inet_addr(szIp), mac, &dwLength, {}), ARP_ERROR_INVALID_PARAMETER) << szIp;
    }
    CStopSource source;
    source.RequestStop();
    dwLength = 6;
    EXPECT_EQ(query.SendArp(dwIp, mac, &dwLength, source.Token()), ARP_ERROR_CANCELLED);
    EXPECT_EQ(query.LastMethod(), CLinuxArpQuery::EMethod::Auto);
}

TEST(LinuxArpQuery, AddressWithoutRouteIsNoAnswerAtOnce) {
    ENTER_EMPTY_NETWORK_NAMESPACE();
    CLogConsole log;
    std::string strMac = "left over";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(ReadMacByArp(log, strMac, "10.0.0.50"));
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(strMac, "");
    EXPECT_EQ(log.m_strLog, "Error: SendArp failed with error: 67 (ERROR_GEN_FAILURE)\r\n");
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
}

} // namespace
