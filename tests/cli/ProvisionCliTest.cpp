// qan640-provision as a bench script runs it, against the virtual board and the stand-in loader: the exit
// status, the record's row and the run log of each way a run ends. The one run that reaches the ARP check
// runs inside network namespaces of the test's own.

#include "tests/cli/CliFixture.h"

// A bad address, or none where none may be asked for, is refused before anything runs.
TEST_F(ProvisionCliTest, RefusedAddresses) {
    struct SCase {
        std::vector<std::string> args;
        const char* pszMessage;
    };
    std::vector<SCase> cases = {
        {{"--mac", "02:3A:7C:12:34"}, "Erro: Faltam dígitos"},
        {{"--mac", "02:3A:7C:12:34:5G"}, "Erro: Caracteres inválidos"},
        {{"--mac", "02:3a:7c:12:34:56:78"}, "Erro: Muitos dígitos"},
        {{"--mac", "0E:91:C9:12:34:56"}, "Erro: Prefixo não oferecido"},
        {{"--mac", "12:34:56"}, "Erro: Prefixo não oferecido"},
        {{"--non-interactive"}, "--non-interactive exige --mac"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszMessage);
        std::vector<std::string> args = {"--port", m_strDir + "/no-port", "--non-interactive"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCliRun run = Run(args);
        EXPECT_EQ(run.nExit, kExitUsage);
        EXPECT_NE(run.strErr.find(c.pszMessage), std::string::npos) << run.strErr;
        EXPECT_EQ(run.strErr.find("[1/17]"), std::string::npos) << "nothing ran";
        EXPECT_FALSE(QFile::exists(m_tmp.path() + "/" + kRunRecordFileName));
    }
}

// Each failure has its own status, its row and the run's log, whatever working directory the script is in.
TEST_F(ProvisionCliTest, FailureStatusAndRow) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> board;
        const char* pszLoaderMode;
        int nExit;
        int nStage;
        ERunEnd eEnd;
        const char* pszDetail; // the box's last line: why it failed
    };
    std::vector<SCase> cases = {
        {"loader",
         {},
         "fail",
         10,
         RUN_STAGE_LOADER,
         ERunEnd::LoaderFailed,
         "bfin-uclinux-ldr terminou com o código 1"},
        {"tftp", {"--fault", "tftp-error"}, "", 13, RUN_STAGE_TFTP, ERunEnd::TftpFailed, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        const SRunResult expected{c.eEnd, c.nStage, "", "", c.pszDetail, ""};
        const std::string strMessage = expected.Message();
        const char* pszMessage = strMessage.c_str();
        StartBoard(c.board);
        SCliOptions options;
        options.env = {{"QAN640_LDR_MODE", c.pszLoaderMode}};
        SCliRun run = Run({"--port", m_pBoard->Port(), "--mac", "02:3A:7C:00:00:01", "--non-interactive",
                           "--workdir", m_strDir},
                          options);
        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        std::string strStage = "[" + std::to_string(c.nStage) + "/17] ";
        EXPECT_NE(run.strErr.find(strStage + RunStageTitle(c.nStage) + " ("), std::string::npos)
            << run.strErr;
        EXPECT_NE(run.strErr.find(strStage + OneLine(pszMessage).substr(0, 20)), std::string::npos);

        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        const std::vector<std::string>& row = rows[0];
        ASSERT_EQ(row.size(), kRunRecordFieldCount);
        EXPECT_EQ(row[kPort], m_pBoard->Port());
        EXPECT_EQ(row[kOutcome], "failed");
        EXPECT_EQ(row[kStage], std::to_string(c.nStage));
        EXPECT_EQ(row[kMessage], OneLine(pszMessage));
        EXPECT_EQ(row[kMacSent], "") << "the address was never sent";
        std::string strLog = ReadFileBytes(m_strDir + "/" + row[kLogFile]);
        EXPECT_EQ(strLog.rfind("qan640-provision ", 0), 0u) << "the header line first";
        EXPECT_NE(strLog.find("\r\nExecutando BfinUcLinux \r\n"), std::string::npos);
        EXPECT_TRUE(strLog.ends_with(EncodeCp1252(RunOutcomeLine(expected)) + "\r\n")) << strLog;

        m_pBoard.reset();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}

// An interrupt ends the run the way closing the window does, whatever it was waiting for.
TEST_F(ProvisionCliTest, InterruptedRunIsRecordedAsStopped) {
    struct SCase {
        const char* pszName;
        const char* pszLoaderMode;
        const char* pszSignalAt;
        int nSignal;
        int nStage;
        int nExit; // 128 + the signal's number, as shells and schedulers expect
    };
    std::vector<SCase> cases = {
        {"loader running", "hang", "[2/17]", SIGINT, RUN_STAGE_LOADER, 130},
        {"waiting for Enter", "", "Pressione Enter", SIGTERM, RUN_STAGE_POWER_CYCLE, 143},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        StartBoard({});
        SCliOptions options;
        options.env = {{"QAN640_LDR_MODE", c.pszLoaderMode}};
        options.bStdinOpen = true;
        options.pszSignalAt = c.pszSignalAt;
        options.nSignal = c.nSignal;
        SCliRun run = Run({"--port", m_pBoard->Port(), "--mac", "02:3A:7C:00:00:01"}, options);

        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][kOutcome], "stopped");
        EXPECT_EQ(rows[0][kStage], std::to_string(c.nStage));
        EXPECT_TRUE(QFile::exists(m_tmp.path() + "/" + QString::fromStdString(rows[0][kLogFile])));
        EXPECT_EQ(LoadersOnPort(m_pBoard->Port()), std::vector<int>());
        CUart uart(100);
        EXPECT_EQ(uart.Open(m_pBoard->Port(), 57600), 1) << "port not released";

        m_pBoard.reset();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}

// The whole job inside the test's own namespaces: the board's end of the veth pair takes the address the
// board stored, and the program finds it by ARP. The address comes from --mac, or from the terminal, where
// the stage-8 box waits for Enter and a refused address is asked for again.
TEST_F(ProvisionCliTest, FullRunThroughTheNetwork) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> args;
        std::string strStdin;
    };
    std::vector<SCase> cases = {
        {"--mac", {"--mac", "02:3a:7c:1a:2B:3c", "--non-interactive"}, ""},
        {"asked", {}, "\n02:3A:7C:1a:2B\n\n02:3a:7c:1a:2B:3c\n"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        StartBoardInLab(lab);
        SCliOptions options;
        options.strNs = lab.HostNs();
        options.strStdin = c.strStdin;
        std::vector<std::string> args = {"--port", m_pBoard->Port(), "--echo"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCliRun run = Run(args, options);

        EXPECT_EQ(run.nExit, 0) << run.strErr;
        EXPECT_NE(run.strErr.find("[16/17] Verificando o MAC por ARP ("), std::string::npos) << run.strErr;
        EXPECT_NE(run.strErr.find(RunEndRow(ERunEnd::Verified).pszBox), std::string::npos);
        EXPECT_EQ(run.strErr.find("Erro: Faltam dígitos") != std::string::npos, !c.strStdin.empty());
        EXPECT_NE(run.strOut.find("QAN640> "), std::string::npos) << "the board's output on standard output";
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][kOutcome], "ok");
        EXPECT_EQ(rows[0][kStage], "17");
        EXPECT_EQ(rows[0][kMacSent], "02:3A:7C:1A:2B:3C") << "one form of a MAC in the record";
        EXPECT_EQ(rows[0][kMacRead], "02:3A:7C:1A:2B:3C");
        std::string strLog = ReadFileBytes(m_strDir + "/" + rows[0][kLogFile]);
        EXPECT_NE(strLog.find("\r\nMAC address lido:02:3a:7c:1a:2b:3c"), std::string::npos);
        EXPECT_NE(strLog.find(EncodeCp1252("EEPROM conferida: igual à imagem transferida")),
                  std::string::npos)
            << "the log is Windows-1252 throughout";
        EXPECT_NE(strLog.find("ethaddr=02:3A:7C:1a:2B:3c"), std::string::npos)
            << "the board gets the dialog's form";
        m_pBoard.reset();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}

namespace {

// A signal at a stage of a run. SIGHUP and SIGTERM stop the run, which records itself as stopped; SIGKILL
// leaves its journal, which the next start of the program turns into an interrupted row.
struct SSignalCase {
    std::string strName;
    int nSignal;
    int nStage;
    const char* pszLoaderMode;
    std::vector<std::string> board;
    const char* pszLogHas; // what the run's log holds by the time the stage began
};

std::vector<SSignalCase> SignalCases() {
    struct SStage {
        const char* pszName;
        int nStage;
        const char* pszLoaderMode;
        std::vector<std::string> board;
        const char* pszLogHas;
    };
    // Each stage is one the board or the loader keeps the run in until the signal comes.
    std::vector<SStage> stages = {
        {"Loader", RUN_STAGE_LOADER, "hang", {}, "Executando BfinUcLinux \r\n"},
        {"Transfer", RUN_STAGE_TFTP, "", {"--tftp-ms", "60000"}, "\r\nQAN640>"},
        {"AfterBootargs", RUN_STAGE_SAVEENV, "", {"--fault", "saveenv-no-done"}, "ethaddr=02:3A:7C:00:00:01"},
        {"ArpCheck", RUN_STAGE_VERIFY, "", {}, "Verificando o mac address\r\n"},
    };
    std::vector<SSignalCase> cases;
    auto add = [&](const char* pszSignal, int nSignal, const SStage& stage) {
        cases.push_back({std::string(pszSignal) + stage.pszName, nSignal, stage.nStage, stage.pszLoaderMode,
                         stage.board, stage.pszLogHas});
    };
    for (auto [pszSignal, nSignal] : {std::pair{"Kill", SIGKILL}, {"Hup", SIGHUP}, {"Term", SIGTERM}}) {
        for (const SStage& stage : stages)
            add(pszSignal, nSignal, stage);
    }
    add("Quit", SIGQUIT, stages[0]);
    return cases;
}

void PrintTo(const SSignalCase& c, std::ostream* pOut) {
    *pOut << c.strName;
}

class ProvisionCliSignalTest : public ProvisionCliTest, public ::testing::WithParamInterface<SSignalCase> {};

} // namespace

// Whatever ends the program at whatever stage, the record gets the run with its stage, the MAC once sent,
// and the run's log up to that point with its outcome line. Every run is inside the test's namespaces: an
// ignored signal would go on to the ARP check.
TEST_P(ProvisionCliSignalTest, RecordedWithItsStage) {
    const SSignalCase& c = GetParam();
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    StartBoard(c.board);
    SCliOptions options;
    options.strNs = lab.HostNs();
    options.env = {{"QAN640_LDR_MODE", c.pszLoaderMode}};
    std::string strAt = "[" + std::to_string(c.nStage) + "/17] ";
    options.pszSignalAt = strAt.c_str();
    options.nSignal = c.nSignal;
    SCliRun run =
        Run({"--port", m_pBoard->Port(), "--mac", "02:3a:7c:00:00:01", "--non-interactive"}, options);
    // A stopped program ends its loader; a killed one takes it along within a second.
    std::vector<int> loaders = LoadersOnPort(m_pBoard->Port());
    for (QDeadlineTimer gone(1000); !loaders.empty() && c.nSignal == SIGKILL && !gone.hasExpired();) {
        usleep(10000);
        loaders = LoadersOnPort(m_pBoard->Port());
    }

    if (c.nSignal == SIGKILL) {
        EXPECT_EQ(run.nExit, -1);
        EXPECT_TRUE(Rows().empty()) << "no row before the next start";
        options.pszSignalAt = nullptr;
        options.env = {{"QAN640_LDR_MODE", "fail"}};
        SCliRun next = Run(
            {"--port", m_strDir + "/no-port", "--mac", "02:3A:7C:00:00:02", "--non-interactive"}, options);
        EXPECT_EQ(next.nExit, 10) << next.strErr;
    } else {
        EXPECT_EQ(run.nExit, ExitStatusForSignal(c.nSignal)) << run.strErr;
    }
    EXPECT_EQ(loaders, std::vector<int>());
    std::vector<std::vector<std::string>> rows = Rows();
    ASSERT_EQ(rows.size(), c.nSignal == SIGKILL ? 2u : 1u);
    const std::vector<std::string>& row = rows[0];
    ASSERT_EQ(row.size(), kRunRecordFieldCount);
    EXPECT_EQ(row[kOutcome], c.nSignal == SIGKILL ? "interrupted" : "stopped");
    EXPECT_EQ(row[kStage], std::to_string(c.nStage));
    EXPECT_EQ(row[kMacSent], c.nStage >= RUN_STAGE_BOOTARGS ? "02:3A:7C:00:00:01" : "");
    std::string strLog = ReadFileBytes(m_strDir + "/" + row[kLogFile]);
    EXPECT_EQ(strLog.rfind("qan640-provision ", 0), 0u) << strLog;
    EXPECT_NE(strLog.find(c.pszLogHas), std::string::npos) << strLog;
    std::string strEnd = "Resultado: interrompido na etapa " + std::to_string(c.nStage) + " (";
    EXPECT_NE(strLog.rfind(strEnd), std::string::npos) << strLog;
    EXPECT_TRUE(strLog.ends_with("\r\n"));
    EXPECT_FALSE(
        QDir(m_tmp.path() + "/" + kRunJournalFolderName).entryList(QDir::Files | QDir::Hidden).size())
        << "no journal left";
}

INSTANTIATE_TEST_SUITE_P(SignalsAtStages, ProvisionCliSignalTest, ::testing::ValuesIn(SignalCases()),
                         [](const auto& info) { return info.param.strName; });

// What the loader started (a wrapper's real loader) keeps the port's claim for as long as it lives, even
// after the program was killed: a second run is refused until it is gone.
TEST_F(ProvisionCliTest, ClaimLastsWhileTheKilledProgramsLoaderLives) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    StartBoard({});
    const std::string strPort = m_pBoard->Port(), strPidFile = m_strDir + "/copy.pid";
    SCliOptions options;
    options.strNs = lab.HostNs();
    options.env = {{"QAN640_LDR_MODE", "hang"},
                   {"QAN640_LDR_WRAPPER", "wait"},
                   {"QAN640_LDR_PID_FILE", QString::fromStdString(strPidFile)}};
    const std::vector<std::string> args = {"--port", strPort, "--mac", "02:3a:7c:00:00:01",
                                           "--non-interactive"};
    {
        CCli killed(m_tmp.path(), args, options);
        for (QDeadlineTimer started(10000); ReadFileBytes(strPidFile).empty() && !started.hasExpired();)
            killed.Poll(20);
        ASSERT_FALSE(ReadFileBytes(strPidFile).empty()) << killed.SoFar().strErr;
        killed.Signal(SIGKILL);
        EXPECT_EQ(killed.Finish().nExit, -1);
    }
    const int copyPid = atoi(ReadFileBytes(strPidFile).c_str());
    std::vector<int> loaders = LoadersOnPort(strPort);
    for (QDeadlineTimer gone(1000); loaders.size() > 1 && !gone.hasExpired();) {
        usleep(10000);
        loaders = LoadersOnPort(strPort);
    }
    EXPECT_EQ(loaders, std::vector<int>{copyPid}) << "the program's own loader went with it";

    options.env = {{"QAN640_LDR_MODE", "fail"}};
    SCliRun refused = Run(args, options);
    EXPECT_EQ(refused.nExit, RunEndRow(ERunEnd::PortInUse).nExitStatus) << refused.strErr;
    kill(copyPid, SIGKILL);
    for (QDeadlineTimer gone(5000); !LoadersOnPort(strPort).empty() && !gone.hasExpired();)
        usleep(10000);
    SCliRun next = Run(args, options);
    EXPECT_EQ(next.nExit, 10) << "claimed, and the loader started: " << next.strErr;
}
