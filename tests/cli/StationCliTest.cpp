// Several boards from one PC through qan640-provision: one run per port, each run's MAC check on its own
// board's card, a card that cannot be used refused before anything is sent, and the check's time limit.
// Everything that may reach 10.0.0.50 runs inside network namespaces of the test's own.

#include "tests/cli/CliFixture.h"

#include "mac/NetCardFile.h"

namespace {

std::string SlotMac(int nSlot) {
    return "02:3A:7C:00:00:0" + std::to_string(nSlot + 1);
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = char(toupper(static_cast<unsigned char>(c)));
    return s;
}

const std::vector<std::string>* RowOfPort(const std::vector<std::vector<std::string>>& rows,
                                          const std::string& strPort) {
    for (const auto& row : rows)
        if (row.size() == kRunRecordFieldCount && row[kPort] == strPort)
            return &row;
    return nullptr;
}

// How many times the board received a first-stage image, and the commands it received.
std::pair<int, size_t> BoardInput(const std::string& strTranscript) {
    int nImages = 0;
    size_t nCommands = 0;
    for (const STranscriptEntry& e : ReadTranscript(strTranscript)) {
        nImages += e.strKind == "EVENT" && e.strText == "first-stage image received";
        nCommands += e.strKind == "CMD";
    }
    return {nImages, nCommands};
}

} // namespace

// Two boards at 10.0.0.50 on two cards of one PC, both cards 10.0.0.1/24, two runs at once: each verifies its
// own board, and a wrong board on one link fails that slot only.
TEST_F(ProvisionCliTest, TwoBoardsOnTwoLinksAtOnce) {
    struct SCase {
        const char* pszName;
        const char* pszSecondBoardMac; // what the second board stores instead of the address it was sent
        int nSecondExit;
    };
    const SCase cases[] = {
        {"both right", nullptr, 0},
        {"wrong board on the second link", "02:3a:7c:99:99:99", RunEndRow(ERunEnd::MacDiffers).nExitStatus},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        ASSERT_EQ(lab.AddLink(), 1);
        std::vector<std::unique_ptr<CSimProcess>> boards;
        std::vector<std::pair<std::vector<std::string>, SCliOptions>> jobs;
        for (int k : {0, 1}) {
            ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff", size_t(k)));
            std::string strHook = k == 1 && c.pszSecondBoardMac
                                      ? MacHookFor(lab.BoardNs(1), c.pszSecondBoardMac)
                                      : MacHookFor(lab.BoardNs(size_t(k)));
            boards.push_back(std::make_unique<CSimProcess>(WholeRunBoardArgs({"--hook", strHook}), m_strDir));
            ASSERT_FALSE(boards.back()->Port().empty());
            SCliOptions options;
            options.strNs = lab.HostNs();
            jobs.push_back({{"--port", boards.back()->Port(), "--interface", "qh" + std::to_string(k),
                             "--mac", SlotMac(k), "--non-interactive"},
                            options});
        }
        std::vector<SCliRun> runs = RunTogether(jobs);

        std::vector<std::vector<std::string>> rows = Rows();
        for (int k : {0, 1}) {
            SCOPED_TRACE("slot " + std::to_string(k + 1));
            bool bWrong = k == 1 && c.pszSecondBoardMac;
            EXPECT_EQ(runs[size_t(k)].nExit, bWrong ? c.nSecondExit : 0) << runs[size_t(k)].strErr;
            const std::vector<std::string>* pRow = RowOfPort(rows, boards[size_t(k)]->Port());
            ASSERT_NE(pRow, nullptr);
            EXPECT_EQ((*pRow)[kMacSent], SlotMac(k));
            EXPECT_EQ((*pRow)[kMacRead], bWrong ? Upper(c.pszSecondBoardMac) : SlotMac(k)) << "its own board";
        }
        boards.clear();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}

// The board's card must be one card that leads to 10.0.0.50: named by --interface or QAN640net.conf, or the
// only one there. Otherwise the run ends at its first stage and the board hears nothing.
TEST_F(ProvisionCliTest, BoardCardRefusedBeforeAnythingIsSent) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_EQ(lab.AddLink(), 1);
    struct SCase {
        const char* pszName;
        std::vector<std::string> args;
        const char* pszNetCardFile; // "%PORT" stands for the board's port
        const char* pszDetail;
    };
    const SCase cases[] = {
        {"no such card", {"--interface", "qh9"}, "", "A placa de rede qh9 não existe neste PC."},
        {"card of the file", {}, "%PORT qh7\nqh0\n", "A placa de rede qh7 não existe neste PC."},
        {"two cards, none named",
         {},
         "",
         "10.0.0.50 é alcançável por mais de uma placa de rede: qh0, qh1.\nIndique a placa da QAN640 "
         "(--interface ou QAN640net.conf)."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        StartBoard({"--transcript", "transcript"});
        std::string strFile = c.pszNetCardFile;
        if (size_t pos = strFile.find("%PORT"); pos != std::string::npos)
            strFile.replace(pos, 5, m_pBoard->Port());
        WriteFileBytes(m_strDir + "/" + kNetCardFileName, strFile);
        SCliOptions options;
        options.strNs = lab.HostNs();
        std::vector<std::string> args = {"--port", m_pBoard->Port(), "--mac", SlotMac(0),
                                         "--non-interactive"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCliRun run = Run(args, options);

        std::string strMessage = RunEndRow(ERunEnd::NoBoardCard).pszBox + std::string("\n") + c.pszDetail;
        EXPECT_EQ(run.nExit, RunEndRow(ERunEnd::NoBoardCard).nExitStatus) << run.strErr;
        // Every line of the box after its stage.
        std::string strShown = "[1/17] " + strMessage;
        for (size_t pos = 0; (pos = strShown.find('\n', pos)) != std::string::npos; pos += 8)
            strShown.insert(pos + 1, "[1/17] ");
        EXPECT_NE(run.strErr.find(strShown + "\n"), std::string::npos) << run.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][kStage], "1");
        EXPECT_EQ(rows[0][kMessage], OneLine(strMessage));
        EXPECT_EQ(BoardInput(m_strDir + "/transcript"), std::make_pair(0, size_t(0)));
        EXPECT_EQ(ReadFileBytes(m_strDir + "/" + rows[0][kLogFile]).find("Executando BfinUcLinux"),
                  std::string::npos);
        m_pBoard.reset();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}

// A second run on a port that a run holds (here waiting for the power cycle, its loader long done) is refused
// at once, and the board hears nothing from it.
TEST_F(ProvisionCliTest, SecondRunOnAPortInUseIsRefused) {
    StartBoard({"--transcript", "transcript"});
    SCliOptions holding;
    holding.bStdinOpen = true;
    CCli first(m_tmp.path(), {"--port", m_pBoard->Port(), "--mac", SlotMac(0)}, holding);
    QDeadlineTimer deadline(60000);
    while (first.Poll(50) && first.SoFar().strErr.find("Pressione Enter") == std::string::npos &&
           !deadline.hasExpired()) {
    }
    ASSERT_NE(first.SoFar().strErr.find("Pressione Enter"), std::string::npos) << first.SoFar().strErr;
    std::pair<int, size_t> before = BoardInput(m_strDir + "/transcript");
    EXPECT_EQ(before.first, 1);

    // Under another name of the same device, too.
    std::string strLink = m_strDir + "/the-same-port";
    ASSERT_EQ(symlink(m_pBoard->Port().c_str(), strLink.c_str()), 0);
    for (const std::string& strPort : {m_pBoard->Port(), strLink}) {
        SCliRun second = Run({"--port", strPort, "--mac", SlotMac(1), "--non-interactive"});
        EXPECT_EQ(second.nExit, RunEndRow(ERunEnd::PortInUse).nExitStatus) << second.strErr;
        std::string strBox = RunEndRow(ERunEnd::PortInUse).pszBox;
        EXPECT_NE(second.strErr.find("[1/17] " + strBox.substr(0, strBox.find('\r'))), std::string::npos)
            << second.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        const std::vector<std::string>* pRow = RowOfPort(rows, strPort);
        ASSERT_NE(pRow, nullptr);
        EXPECT_EQ((*pRow)[kOutcome], "failed");
        EXPECT_EQ((*pRow)[kStage], "1");
    }
    EXPECT_EQ(BoardInput(m_strDir + "/transcript"), before) << "nothing reached the board";

    first.Signal(SIGINT);
    EXPECT_EQ(first.Finish().nExit, kExitInterrupted);
}

// --arp-timeout: a line every 10 s while the board does not answer, then the run ends with its own status and
// row. Values that are no number of seconds are refused before anything runs.
TEST_F(ProvisionCliTest, ArpTimeLimit) {
    for (const char* szValue : {"0", "-1", "ten", "10s", ""}) {
        SCliRun refused = Run({"--port", m_strDir + "/no-port", "--mac", SlotMac(0), "--non-interactive",
                               "--arp-timeout", szValue});
        EXPECT_EQ(refused.nExit, kExitUsage) << szValue;
        EXPECT_EQ(refused.strErr.find("[1/17]"), std::string::npos) << "nothing ran";
    }

    CNetnsLab lab; // nothing at 10.0.0.50
    REQUIRE_LAB(lab);
    StartBoard({});
    SCliOptions options;
    options.strNs = lab.HostNs();
    SCliRun run =
        Run({"--port", m_pBoard->Port(), "--mac", SlotMac(0), "--non-interactive", "--arp-timeout", "12"},
            options);
    EXPECT_EQ(run.nExit, RunEndRow(ERunEnd::ArpTimedOut).nExitStatus) << run.strErr;
    EXPECT_NE(run.strErr.find("[16/17] Sem resposta de 10.0.0.50 há 10 s\n"), std::string::npos)
        << run.strErr;
    EXPECT_EQ(run.strErr.find("há 20 s"), std::string::npos);
    std::vector<std::vector<std::string>> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][kOutcome], "failed");
    EXPECT_EQ(rows[0][kMessage], OneLine(RunEndRow(ERunEnd::ArpTimedOut).pszBox));
}
