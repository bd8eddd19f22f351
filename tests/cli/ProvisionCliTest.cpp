// qan640-provision as a bench script runs it, against the virtual board and the stand-in loader: the exit
// status, the record's row and the run log of each way a run ends. The one run that reaches the ARP check
// runs inside network namespaces of the test's own.

#include "tests/cli/CliFixture.h"

#include "tests/support/Locale.h"

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
        const SRunResult expected{c.eEnd, c.nStage, "", "", c.pszDetail};
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
        ASSERT_EQ(row.size(), 10u);
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
    // A killed program leaves its loader behind; a stopped one ends it.
    std::vector<int> loaders = LoadersOnPort(m_pBoard->Port());
    for (int pid : loaders)
        kill(pid, SIGKILL);

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
        EXPECT_EQ(loaders, std::vector<int>());
    }
    std::vector<std::vector<std::string>> rows = Rows();
    ASSERT_EQ(rows.size(), c.nSignal == SIGKILL ? 2u : 1u);
    const std::vector<std::string>& row = rows[0];
    ASSERT_EQ(row.size(), 10u);
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

// Two operators of the bench's group, umask 002, in a setgid folder as the package makes it: the second one's
// run lands in the record the first one created, and both logs in the one folder.
TEST_F(ProvisionCliTest, TwoOperatorsShareTheRecord) {
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as two users needs root (setpriv)";
    constexpr gid_t kGroup = 46420;
    std::string strBench = m_strDir + "/bench";
    ASSERT_EQ(chmod(m_strDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(strBench.c_str(), 0755), 0);
    ASSERT_EQ(chown(strBench.c_str(), 0, kGroup), 0);
    ASSERT_EQ(chmod(strBench.c_str(), 02775), 0);
    for (int nUser : {46421, 46422}) {
        SCliOptions options;
        options.wrapper = {"setpriv",
                           "--reuid",
                           std::to_string(nUser),
                           "--regid",
                           std::to_string(kGroup),
                           "--clear-groups",
                           "sh",
                           "-c",
                           "umask 002 && exec \"$@\"",
                           "sh"};
        SCliRun run = Run({"--workdir", strBench, "--port", strBench + "/no-port", "--mac",
                           "02:3A:7C:00:00:01", "--non-interactive"},
                          options);
        // The folder holds no image: the run ends at its first stage, recorded.
        EXPECT_EQ(run.nExit, RunEndRow(ERunEnd::SetupFailed).nExitStatus)
            << "user " << nUser << ": " << run.strErr;
    }
    std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(strBench + "/" + kRunRecordFileName));
    ASSERT_EQ(rows.size(), 3u) << "both users' rows";
    EXPECT_NE(rows[1][kLogFile], rows[2][kLogFile]);
    for (const std::string& strPath : {std::string(kRunRecordFileName), std::string(kRunLogFolderName),
                                       rows[1][kLogFile], rows[2][kLogFile]}) {
        struct stat st = {};
        ASSERT_EQ(stat((strBench + "/" + strPath).c_str(), &st), 0) << strPath;
        EXPECT_EQ(st.st_gid, kGroup) << strPath;
        EXPECT_TRUE(st.st_mode & S_IWGRP) << strPath;
    }
}

// A full disk or a read-only folder: the board's outcome is still reported, the status says that the record
// is missing the run, and what the record held stays as it was.
TEST_F(ProvisionCliTest, UnwritableFolderHasAStatusOfItsOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting in a private mount namespace needs root";
    struct SCase {
        const char* pszName;
        const char* pszMount; // run in the working directory $W, the program after it
        bool bVerified;
        int nExit;
        const char* pszOutcome;
    };
    std::vector<SCase> cases = {
        {"disk full",
         "cp -a \"$W\" \"$OUT/keep\" && mount -t tmpfs -o size=128k qan640 \"$W\" && "
         "cp -a \"$OUT/keep\"/. \"$W\"/ && { cat /dev/zero >\"$W/filler\" 2>/dev/null || true; }",
         false, kExitNotRecorded, "Resultado: falha na etapa 2 ("},
        {"read-only", "mount --bind \"$W\" \"$W\" && mount -o remount,bind,ro \"$W\"", true,
         kExitVerifiedNotRecorded, "Resultado: MAC 02:3A:7C:1a:2B:3c verificado"},
    };
    // Whole pages: a full tmpfs has no room left in the record's last page either.
    const std::string strEarlier =
        "earlier," + std::string(4096 - strlen("\xEF\xBB\xBF") - RunRecordHeader().size() - 10, 'x') + "\r\n";
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        StartBoardInLab(lab);
        std::string strWork = m_strDir + "/work";
        ASSERT_EQ(RunCommand({"rm", "-rf", strWork, m_strDir + "/keep", m_strDir + "/after.csv"}).nExit, 0);
        mkdir(strWork.c_str(), 0755);
        WriteWholeRunFiles(strWork);
        ASSERT_EQ(AppendRunRecord(strWork + "/" + kRunRecordFileName, strEarlier), "");
        std::string strBefore = ReadFileBytes(strWork + "/" + kRunRecordFileName);

        SCliOptions options;
        options.env = {{"QAN640_LDR_MODE", c.bVerified ? "" : "fail"},
                       {"W", QString::fromStdString(strWork)},
                       {"OUT", QString::fromStdString(m_strDir)}};
        std::string strScript =
            std::string("set -e; ") + c.pszMount +
            "; cd \"$W\"; set +e; \"$@\"; s=$?; cp \"$W/QAN640runs.csv\" \"$OUT/after.csv\"; "
            "exit $s";
        options.wrapper = {"ip", "netns", "exec", lab.HostNs(), "unshare", "-m", "sh", "-c", strScript, "sh"};
        SCliRun run =
            Run({"--port", m_pBoard->Port(), "--mac", "02:3A:7C:1a:2B:3c", "--non-interactive"}, options);

        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        EXPECT_NE(run.strErr.find(c.pszOutcome), std::string::npos) << run.strErr;
        for (const char* pszLost :
             {"Registro da execução não salvo: QAN640runs.csv: ", "Log da execução não salvo: "})
            EXPECT_NE(run.strErr.find(pszLost), std::string::npos) << run.strErr;
        EXPECT_TRUE(ReadFileBytes(m_strDir + "/after.csv") == strBefore) << "the record as it was";
        m_pBoard.reset();
    }
}

// Whatever the locale and whatever a port's name holds, the record stays one valid UTF-8 table with plain
// numbers that spreadsheets show as text where it is text.
TEST_F(ProvisionCliTest, PortNamesAndLocaleInTheRecord) {
    CTestLocale locale;
    if (!locale.Ready())
        GTEST_SKIP() << "cannot build the pt_BR.UTF-8 locale (localedef and the locales package needed)";
    struct SCase {
        const char* pszPort; // octal escapes (\0nnn) give any byte
        const char* pszField;
    };
    std::vector<SCase> cases = {
        {"=1+1", "'=1+1"},
        {"-2+3", "'-2+3"},
        {"/x\\0351", "/x\xEF\xBF\xBD"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszPort);
        SCliOptions options;
        options.env = {{"QAN640_LDR_MODE", "fail"},
                       {"LOCPATH", QString::fromStdString(locale.Folder())},
                       {"LC_ALL", QString::fromStdString(locale.Name())},
                       {"PORT", c.pszPort}};
        options.wrapper = {"sh", "-c", "p=$(printf %b \"$PORT\"); exec \"$0\" --port \"$p\" \"$@\""};
        SCliRun run = Run({"--mac", "02:3A:7C:00:00:01", "--non-interactive"}, options);
        EXPECT_EQ(run.nExit, 10) << run.strErr;
        EXPECT_NE(run.strErr.find(",0 s)"), std::string::npos)
            << "progress lines follow the locale: " << run.strErr;
    }
    std::string text = ReadFileBytes(m_strDir + "/" + kRunRecordFileName);
    QByteArray bytes(text.data(), qsizetype(text.size()));
    EXPECT_TRUE(QString::fromUtf8(bytes).toUtf8() == bytes.mid(3)) << "valid UTF-8 after the byte-order mark";
    std::vector<std::vector<std::string>> rows = Rows();
    ASSERT_EQ(rows.size(), cases.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 10u);
        EXPECT_EQ(rows[i][kPort], cases[i].pszField);
        const std::string& strDuration = rows[i][kDuration];
        EXPECT_TRUE(strDuration.size() >= 3 && strDuration[strDuration.size() - 2] == '.') << strDuration;
    }
}

// --mac next takes the range's lowest free address before anything runs; a range used up, malformed or
// outside the offered prefixes has a status of its own and sends nothing. A run that never reached the board
// leaves its address free for the next one.
TEST_F(ProvisionCliTest, AddressesFromTheRange) {
    struct SCase {
        const char* pszName;
        const char* pszRange; // null: no range file
        int nExit;
        const char* pszErr;
        const char* pszLoaderMode = "fail"; // "hang": the run is interrupted at the loader
    };
    std::vector<SCase> cases = {
        {"no range file", nullptr, kExitUsage, "--mac next: não há QAN640macrange.conf"},
        {"used up", "02:3A:7C:00:10:00\n02:3A:7C:00:10:01\n", 31,
         "esgotada: 02:3A:7C:00:10:00 a 02:3A:7C:00:10:01"},
        {"malformed", "# lote\n02:3A:7C:00:10:00\n02:3A:7C:00:10\n", 32, "QAN640macrange.conf, linha 3:"},
        {"outside the prefixes", "02:3A:7D:00:10:00\n02:3A:7D:00:10:09\n", 32,
         "não está dentro de um prefixo"},
        {"next free", "02:3A:7C:00:10:00\n02:3A:7C:00:10:09\n", 10, "MAC da faixa: 02:3A:7C:00:10:02"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
        for (const char* pszMac : {"02:3A:7C:00:10:00", "02-3a-7c-00-10-01"})
            ASSERT_EQ(AppendRunRecord(m_strDir + "/" + kRunRecordFileName,
                                      std::string("s,e,ttyUSB0,") + pszMac + ",,ok,17,x,1.0,\r\n"),
                      "");
        if (c.pszRange)
            WriteFileBytes(m_strDir + "/" + kMacRangeFileName, c.pszRange);
        SCliOptions options;
        options.env = {{"QAN640_LDR_MODE", c.pszLoaderMode}};
        options.bStdinOpen = true;
        options.pszSignalAt = c.nExit == kExitInterrupted ? "[2/17]" : nullptr;
        // A run that never reached the board leaves its address to the next one.
        bool bRuns = c.nExit == 10 || c.nExit == kExitInterrupted;
        for (int nRun = 0; nRun < (bRuns ? 2 : 1); ++nRun) {
            SCliRun run =
                Run({"--port", m_strDir + "/no-port", "--mac", "next", "--non-interactive"}, options);
            EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
            EXPECT_NE(run.strErr.find(c.pszErr), std::string::npos) << "run " << nRun << ": " << run.strErr;
            EXPECT_EQ(run.strErr.find("[1/17]") != std::string::npos, bRuns) << run.strErr;
        }
        EXPECT_EQ(Rows().size(), bRuns ? 4u : 2u);
        QFile::remove(m_tmp.path() + "/" + kMacRangeFileName);
    }
}

// An address the record shows in a board: another board is refused before the address is sent, the same
// board again goes on with --reuse-mac and its row says so. Letter case and separators do not matter.
TEST_F(ProvisionCliTest, RecordedAddressIsRefusedUnlessReused) {
    struct SCase {
        const char* pszName;
        bool bReuse;
        int nExit;
    };
    std::vector<SCase> cases = {{"another board", false, 30}, {"the same board again", true, 0}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CNetnsLab lab;
        if (c.bReuse && !lab.SkipReason().empty())
            GTEST_SKIP() << lab.SkipReason();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
        ASSERT_EQ(
            AppendRunRecord(m_strDir + "/" + kRunRecordFileName,
                            "2026-01-02T10:00:00-03:00,e,/dev/ttyOld,02-3a-7c-1a-2b-3c,,ok,17,x,1.0,\r\n"),
            "");
        SCliOptions options;
        if (c.bReuse) {
            ASSERT_TRUE(lab.Ok());
            StartBoardInLab(lab);
            options.strNs = lab.HostNs();
        } else {
            StartBoard({});
        }
        std::vector<std::string> args = {"--port", m_pBoard->Port(), "--mac", "02:3A:7C:1a:2b:3C",
                                         "--non-interactive"};
        if (c.bReuse)
            args.push_back("--reuse-mac");
        SCliRun run = Run(args, options);
        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        EXPECT_NE(run.strErr.find(
                      "já foi gravado em uma placa (em 2026-01-02T10:00:00-03:00, na porta /dev/ttyOld)"),
                  std::string::npos)
            << run.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 2u);
        std::string strLog = ReadFileBytes(m_strDir + "/" + rows[1][kLogFile]);
        if (c.bReuse) {
            EXPECT_EQ(rows[1][kOutcome], "ok");
            EXPECT_NE(rows[1][kMessage].find("o operador confirmou que é a mesma placa"), std::string::npos);
            EXPECT_NE(strLog.find("ethaddr=02:3A:7C:1a:2b:3C"), std::string::npos);
        } else {
            EXPECT_EQ(rows[1][kOutcome], "failed");
            EXPECT_EQ(rows[1][kStage], "11");
            EXPECT_EQ(rows[1][kMacSent], "") << "nothing sent";
            EXPECT_NE(rows[1][kMessage].find("gravado em 2026-01-02T10:00:00-03:00, na porta /dev/ttyOld"),
                      std::string::npos)
                << rows[1][kMessage];
            EXPECT_EQ(strLog.find("ethaddr="), std::string::npos)
                << "nothing carrying the MAC reached the board";
        }
        m_pBoard.reset();
    }
}
