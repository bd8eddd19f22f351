// scripts/station on a stand-in PC: a network namespace of the test's own with two veth cards, each leading
// to a board namespace where a board answers at 10.0.0.50. The script runs inside the PC's namespace only
// (entered without a mount namespace of its own, so that the namespaces it names are seen afterwards).
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/support/TempWorkDir.h"

#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kBoardMacs[2] = {"02:3a:7c:00:00:01", "02:3a:7c:00:00:02"};

class StationTest : public ::testing::Test {
public:
    void SetUp() override {
        if (!m_lab.SkipReason().empty())
            GTEST_SKIP() << m_lab.SkipReason();
        for (const char* szTool : {"dnsmasq", "curl", "nsenter"})
            if (RunCommand({"sh", "-c", std::string("command -v ") + szTool}).nExit != 0)
                GTEST_SKIP() << szTool << " is not installed (scripts/install-deps installs it)";
        ASSERT_TRUE(m_lab.Ok());
        ASSERT_EQ(m_lab.AddLink(), 1);
        for (size_t nLink : {0, 1})
            ASSERT_TRUE(m_lab.PlugBoard(kBoardMacs[nLink], nLink));
        // The servers drop to a user of their own: the served folder must be open to everyone.
        ASSERT_TRUE(m_tmp.isValid());
        m_strDir = m_tmp.path().toStdString();
        chmod(m_strDir.c_str(), 0755);
        WriteWholeRunFiles(m_strDir);
        m_strFile = m_strDir + "/slots";
    }
    void TearDown() override {
        if (!m_strFile.empty())
            Station({"down", m_strFile});
    }

    SCommandResult Station(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"nsenter",         "--net=/run/netns/" + m_lab.HostNs(),
                                         QAN_STATION,       "--prefix",
                                         Prefix(),          "--state-dir",
                                         m_strDir + "/run", "--tftp-root",
                                         m_strDir + "/tftp"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand(argv, 30000);
    }
    // Named like the lab's namespaces, so that the lab removes them should the test die.
    static std::string Prefix() { return "qarps" + std::to_string(getpid()) + "-"; }
    int SlotNamespaces() {
        std::string list = RunCommand({"ip", "netns", "list"}).strOut;
        int n = 0;
        for (size_t pos = 0; (pos = list.find(Prefix(), pos)) != std::string::npos; ++pos)
            ++n;
        return n;
    }
    bool CardInPc(const char* szCard) {
        return m_lab.Exec(m_lab.HostNs(), {"ip", "link", "show", "dev", szCard}, false).nExit == 0;
    }

    CNetnsLab m_lab{false};
    QTemporaryDir m_tmp;
    std::string m_strDir;
    std::string m_strFile;
};

std::string Field(const std::string& text, const std::string& key) {
    size_t pos = text.find(key + "=");
    return pos == std::string::npos
               ? ""
               : text.substr(pos + key.size() + 1, text.find('\n', pos) - pos - key.size() - 1);
}

// Every value of key, each followed by a space.
std::string Fields(const std::string& text, const std::string& key) {
    std::string strValues;
    for (size_t pos = 0; (pos = text.find(key + "=", pos)) != std::string::npos; ++pos)
        strValues += Field(text.substr(pos), key) + " ";
    return strValues;
}

} // namespace

// Each slot: a macvlan of its card in a namespace of its own with the server address, a TFTP server there
// that its board reaches, and the ARP check inside the slot reaching that board only. Down gives all back.
TEST_F(StationTest, SlotsUpServeTheirBoardsAndGoDownCleanly) {
    WriteFileBytes(m_strFile, "# two boards\n/dev/ttyQ0 qh0\n/dev/ttyQ1 qh1   # the second\n");
    SCommandResult up = Station({"up", m_strFile});
    ASSERT_EQ(up.nExit, 0) << up.strErr;
    EXPECT_NE(
        up.strOut.find("slot 2: port /dev/ttyQ1, card qh1, namespace " + Prefix() + "2: TFTP at 10.0.0.1"),
        std::string::npos)
        << up.strOut;
    EXPECT_EQ(SlotNamespaces(), 2);
    EXPECT_NE(Station({"status", m_strFile})
                  .strOut.find("slot 1: port /dev/ttyQ0, card qh0, namespace " + Prefix() + "1: up"),
              std::string::npos);

    std::string strImage = ReadFileBytes(m_strDir + "/tftp/u-boot_2_lote.ldr");
    std::vector<int> servers;
    for (size_t nLink : {0, 1}) {
        SCOPED_TRACE("slot " + std::to_string(nLink + 1));
        SCommandResult get = m_lab.Exec(
            m_lab.BoardNs(nLink), {"curl", "-s", "--max-time", "10", "tftp://10.0.0.1/u-boot_2_lote.ldr"});
        EXPECT_EQ(get.strOut, strImage);
        // The slot by its number and by its port: inside it, 10.0.0.50 is that slot's board.
        std::string strSlot = nLink == 0 ? "1" : "/dev/ttyQ1";
        SCommandResult probe = Station({"exec", m_strFile, strSlot, QAN_ARP_PROBE, "10.0.0.50"});
        EXPECT_EQ(Field(probe.strOut, "mac"), kBoardMacs[nLink]) << probe.strOut << probe.strErr;
        servers.push_back(
            atoi(ReadFileBytes(m_strDir + "/run/" + Prefix() + std::to_string(nLink + 1) + ".pid").c_str()));
        EXPECT_GT(servers.back(), 0);
        EXPECT_EQ(RunCommand({"grep", "-c", "sent .* to 10.0.0.50",
                              m_strDir + "/run/" + Prefix() + std::to_string(nLink + 1) + ".log"})
                      .strOut,
                  "1\n");
    }

    // One unprivileged process in the PC's namespace checks each board through its own card: by the wire
    // with the capability for raw packets, by the kernel's resolution without it. Naming no card, or an
    // address off the boards' subnet, reaches no board.
    for (const char* szCaps : {"+net_raw", "-all"}) {
        SCommandResult one =
            m_lab.Exec(m_lab.HostNs(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                        std::string("--inh-caps=") + szCaps,
                                        std::string("--ambient-caps=") + szCaps, QAN_ARP_PROBE, "10.0.0.50",
                                        "--interface", "qh0", "--interface", "qh1", "--interface", ""});
        std::string strMethod = szCaps[0] == '+' ? "wire" : "kernel";
        EXPECT_EQ(Fields(one.strOut, "mac"), std::string(kBoardMacs[0]) + " " + kBoardMacs[1] + "  ")
            << one.strOut << one.strErr;
        EXPECT_EQ(Fields(one.strOut, "method"), strMethod + " " + strMethod + " auto ");
    }
    EXPECT_EQ(Field(m_lab.Exec(m_lab.HostNs(), {QAN_ARP_PROBE, "192.168.77.50", "--interface", "qh0"}).strOut,
                    "log"),
              "Error: network interface qh0 has no address on the board's subnet");

    // A run of the tool drives the slot's board and checks the slot's card, whatever its command line says.
    const std::string strTool = m_strDir + "/bin/qan640-provision";
    mkdir((m_strDir + "/bin").c_str(), 0755);
    WriteFileBytes(strTool, "#!/bin/sh\necho \"$*\"\n");
    chmod(strTool.c_str(), 0755);
    struct SPinCase {
        std::vector<std::string> args;
        int nExit;
        std::string strSaid; // what the tool got, or why the station refused
    };
    const SPinCase pins[] = {
        {{"--mac", "next"}, 0, "--mac next --port /dev/ttyQ1 --interface qh1\n"},
        {{"--port=/dev/ttyQ1", "--interface", "qh1"}, 0, "--port=/dev/ttyQ1 --interface qh1\n"},
        {{"--port", "ttyQ1"}, 0, "--port ttyQ1 --interface qh1\n"},
        {{"--report"}, 0, "--report\n"},
        {{"--port", "/dev/ttyQ0"}, 1, "station: slot 2 is port /dev/ttyQ1, not /dev/ttyQ0\n"},
        {{"--port", "/dev/ttyQ1", "--interface=qh0"}, 1, "station: slot 2 is card qh1, not qh0\n"},
    };
    for (const SPinCase& c : pins) {
        std::vector<std::string> args = {"exec", m_strFile, "2", strTool};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCommandResult pinned = Station(args);
        EXPECT_EQ(pinned.nExit, c.nExit) << c.args[0];
        EXPECT_EQ(c.nExit == 0 ? pinned.strOut : pinned.strErr, c.strSaid) << c.args[0];
    }

    SCommandResult down = Station({"down", m_strFile});
    EXPECT_EQ(down.nExit, 0) << down.strErr;
    EXPECT_EQ(SlotNamespaces(), 0);
    EXPECT_TRUE(CardInPc("qh0"));
    EXPECT_TRUE(CardInPc("qh1"));
    for (int pid : servers)
        EXPECT_NE(kill(pid, 0), 0) << "server " << pid << " still running";
}

// A file the station cannot be made from leaves nothing behind: no namespace, every card where it was.
TEST_F(StationTest, RefusedFileLeavesNothingBehind) {
    struct SCase {
        const char* pszFile;
        const char* pszError;
    };
    const SCase cases[] = {
        {"/dev/ttyQ0 qh0\n/dev/ttyQ1 qh7\n", "slot 2: no card qh7 here"},
        {"/dev/ttyQ0 qh0\n/dev/ttyQ1 qh0\n", "card qh0 is in slot 1 already"},
        {"/dev/ttyQ0 qh0 extra\n", "expected a port and a card"},
        {"# nothing\n", "lists no slot"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszFile);
        WriteFileBytes(m_strFile, c.pszFile);
        SCommandResult up = Station({"up", m_strFile});
        EXPECT_EQ(up.nExit, 1);
        EXPECT_NE(up.strErr.find(c.pszError), std::string::npos) << up.strErr;
        EXPECT_EQ(SlotNamespaces(), 0);
        EXPECT_TRUE(CardInPc("qh0"));
        EXPECT_TRUE(CardInPc("qh1"));
    }
    m_strFile.clear();
}
