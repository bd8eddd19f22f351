// qan640-provision and the files it shares with the bench: the record in a shared folder, a folder it cannot
// write, port names that are formulas or not UTF-8, and the addresses of the line's range and of the record.

#include "tests/cli/CliFixture.h"

#include "tests/support/Locale.h"

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
    // Users without a name in the password database are named by their number.
    EXPECT_EQ(rows[1][kOperator], "46421");
    EXPECT_EQ(rows[2][kOperator], "46422");
    for (const std::string& strPath : {std::string(kRunRecordFileName), std::string(kRunLogFolderName),
                                       rows[1][kLogFile], rows[2][kLogFile]}) {
        struct stat st = {};
        ASSERT_EQ(stat((strBench + "/" + strPath).c_str(), &st), 0) << strPath;
        EXPECT_EQ(st.st_gid, kGroup) << strPath;
        EXPECT_TRUE(st.st_mode & S_IWGRP) << strPath;
    }
}

namespace {

// Whole pages: a full tmpfs has no room left in the record's last page either.
std::string WholePageRow() {
    return "earlier," + std::string(4096 - strlen("\xEF\xBB\xBF") - RunRecordHeader().size() - 10, 'x') +
           "\r\n";
}

} // namespace

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
        // No reservation can be written: the address is refused before it is sent.
        {"read-only", "mount --bind \"$W\" \"$W\" && mount -o remount,bind,ro \"$W\"", true, kExitNotRecorded,
         "Resultado: falha na etapa 11 ("},
    };
    const std::string strEarlier = WholePageRow();
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

// A quota the record cannot grow past: each board is verified and its row lost, and the address it got stays
// taken (its run named in the reservation), so the next --mac next run sends another.
TEST_F(ProvisionCliTest, UnsavedRowKeepsItsAddress) {
    std::string strWork = m_strDir + "/work";
    mkdir(strWork.c_str(), 0755);
    WriteWholeRunFiles(strWork);
    WriteFileBytes(strWork + "/" + kMacRangeFileName, "02:3A:7C:44:00:00\n02:3A:7C:44:00:0F\n");
    ASSERT_EQ(AppendRunRecord(strWork + "/" + kRunRecordFileName, WholePageRow()), "");
    SCliOptions options;
    options.env = {{"W", QString::fromStdString(strWork)}};
    std::vector<std::string> sent;
    for (int nRun = 0; nRun < 2; ++nRun) {
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        StartBoardInLab(lab);
        ASSERT_TRUE(m_pBoard);
        // 8 blocks of 512 bytes: the record as it is, not a byte more.
        const char* pszQuota = "trap '' XFSZ; ulimit -f 8; cd \"$W\"; exec \"$@\"";
        options.wrapper = {"ip", "netns", "exec", lab.HostNs(), "sh", "-c", pszQuota, "sh"};
        SCliRun run = Run({"--port", m_pBoard->Port(), "--mac", "next", "--non-interactive"}, options);
        EXPECT_EQ(run.nExit, kExitVerifiedNotRecorded) << run.strErr;
        size_t nAt = run.strErr.find("MAC da faixa: ");
        ASSERT_NE(nAt, std::string::npos) << run.strErr;
        sent.push_back(run.strErr.substr(nAt + strlen("MAC da faixa: "), 17));
        m_pBoard.reset();
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"02:3A:7C:44:00:00", "02:3A:7C:44:00:01"}));
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
        ASSERT_EQ(rows[i].size(), kRunRecordFieldCount);
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

// With QAN640serial.conf the serial is bound to the address: a serial the record shows with another address,
// or an address it shows with another serial (or in a row of ten columns, from before serials), asks the
// reused-MAC question; the same serial with the same address is the same board again and goes on.
TEST_F(ProvisionCliTest, SerialIsBoundToItsAddress) {
    struct SCase {
        const char* pszName;
        const char* pszMac;
        const char* pszSerial; // null: no --serial
        int nExit;
        const char* pszErr;
    };
    const std::vector<SCase> cases = {
        {"no serial", "02:3A:7C:00:00:09", nullptr, 35, "Número de série exigido: use --serial"},
        {"outside the pattern", "02:3A:7C:00:00:09", "qan00000009", 35,
         "Erro: Número de série fora do padrão (QAN[0-9]{8})"},
        {"serial with another address", "02:3A:7C:00:00:02", "QAN00000001", 30,
         "O número de série QAN00000001 já foi gravado com outro endereço MAC, 02:3A:7C:00:00:01 (em "
         "2026-01-02T11:00:00-03:00, na porta /dev/ttyNew)."},
        {"address with another serial", "02:3A:7C:00:00:01", "QAN00000002", 30,
         "já foi gravado em uma placa (em 2026-01-02T11:00:00-03:00, na porta /dev/ttyNew), de número de "
         "série "
         "QAN00000001, não QAN00000002."},
        {"address of a row without serial", "02:3a:7c:1a:2b:3c", "QAN00000003", 30,
         "já foi gravado em uma placa (em 2026-01-02T10:00:00-03:00, na porta /dev/ttyOld).\n"},
        {"the same board again", "02:3A:7C:00:00:01", "QAN00000001", 0,
         "Resultado: MAC 02:3A:7C:00:00:01 verificado"},
    };
    WriteFileBytes(m_strDir + "/" + kSerialPatternFileName, "# the site's serials\nQAN[0-9]{8}\n");
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
        // One row of the first version's ten columns, one of today's twelve.
        std::string strRecord = m_strDir + "/" + kRunRecordFileName;
        ASSERT_EQ(
            AppendRunRecord(strRecord,
                            "2026-01-02T10:00:00-03:00,e,/dev/ttyOld,02-3a-7c-1a-2b-3c,,ok,17,x,1.0,\r\n"),
            "");
        ASSERT_EQ(AppendRunRecord(strRecord,
                                  "2026-01-02T11:00:00-03:00,2026-01-02T11:01:00-03:00,/dev/ttyNew,"
                                  "02:3A:7C:00:00:01,,ok,17,x,1.0,,ana,QAN00000001\r\n"),
                  "");
        CNetnsLab lab;
        SCliOptions options;
        if (c.nExit == 0) {
            if (!lab.SkipReason().empty())
                GTEST_SKIP() << lab.SkipReason();
            ASSERT_TRUE(lab.Ok());
            StartBoardInLab(lab);
            options.strNs = lab.HostNs();
        } else {
            StartBoard({});
        }
        std::vector<std::string> args = {"--port", m_pBoard->Port(), "--mac", c.pszMac, "--non-interactive"};
        if (c.pszSerial)
            args.insert(args.end(), {"--serial", c.pszSerial});
        SCliRun run = Run(args, options);
        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        EXPECT_NE(run.strErr.find(c.pszErr), std::string::npos) << run.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 3u);
        ASSERT_EQ(rows[2].size(), kRunRecordFieldCount);
        EXPECT_EQ(rows[2][kOperator], ProcessOperatorName());
        std::string strLog = ReadFileBytes(m_strDir + "/" + rows[2][kLogFile]);
        if (c.nExit == 0) {
            EXPECT_EQ(rows[2][kSerial], c.pszSerial);
            EXPECT_TRUE(rows[2][kMessage].ends_with(kSameBoardAgainNote)) << rows[2][kMessage];
            EXPECT_NE(
                strLog.find(EncodeCp1252("MAC 02:3A:7C:00:00:01 e número de série QAN00000001 já gravados")),
                std::string::npos);
        } else {
            EXPECT_EQ(rows[2][kMacSent], "") << "nothing sent";
            EXPECT_EQ(rows[2][kStage], c.nExit == 35 ? "1" : "11");
            EXPECT_EQ(strLog.find("ethaddr="), std::string::npos);
        }
        m_pBoard.reset();
    }
}
