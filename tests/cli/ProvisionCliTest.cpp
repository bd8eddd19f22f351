// qan640-provision as a bench script runs it, against the virtual board and the stand-in loader: the exit
// status, the record's row and the run log of each way a run ends. The one run that reaches the ARP check
// runs inside network namespaces of the test's own.

#include "cli/ExitStatus.h"
#include "links/Uart.h"
#include "provisioning/Provisioning.h"
#include "records/RunRecord.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/support/CsvRead.h"
#include "tests/support/TempWorkDir.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>

namespace {

enum ECsvColumn { kStart, kEnd, kPort, kMacSent, kMacRead, kOutcome, kStage, kMessage, kDuration, kLogFile };

struct SCliRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

struct SCliOptions {
    std::string strNs;                 // run inside this network namespace
    std::string strStdin;              // written to standard input at the start
    bool bStdinOpen = false;           // standard input then stays open (and silent) instead of at its end
    const char* pszSignalAt = nullptr; // send nSignal once standard error shows this text
    int nSignal = SIGINT;
    std::vector<std::pair<QString, QString>> env;
};

// Processes, other than tests, whose command line names the loader and the port.
std::vector<int> LoadersOnPort(const std::string& strPort) {
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        int pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string cmdline = ReadFileBytes("/proc/" + std::string(entry->d_name) + "/cmdline");
        if (cmdline.find("bfin-uclinux-ldr") != std::string::npos &&
            cmdline.find(strPort + '\0') != std::string::npos)
            pids.push_back(pid);
    }
    if (dir)
        closedir(dir);
    return pids;
}

class ProvisionCliTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_strDir = m_tmp.path().toStdString();
        WriteWholeRunFiles(m_strDir);
    }

    void StartBoard(std::vector<std::string> extra) {
        m_pBoard = std::make_unique<CSimProcess>(WholeRunBoardArgs(extra), m_strDir);
        ASSERT_FALSE(m_pBoard->Port().empty());
    }

    SCliRun Run(const std::vector<std::string>& args, const SCliOptions& options = {}) {
        QProcess process;
        process.setWorkingDirectory(m_tmp.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", QString(QAN_TEST_PATH_DIR) + ":" + env.value("PATH") + ":/usr/sbin:/sbin");
        for (const auto& [name, value] : options.env)
            env.insert(name, value);
        process.setProcessEnvironment(env);
        QStringList argv;
        if (!options.strNs.empty())
            argv << "netns"
                 << "exec" << QString::fromStdString(options.strNs) << QAN_PROVISION;
        for (const std::string& a : args)
            argv << QString::fromStdString(a);
        process.start(options.strNs.empty() ? QString(QAN_PROVISION) : QString("ip"), argv);
        SCliRun run;
        if (!process.waitForStarted(5000)) {
            ADD_FAILURE() << "does not start";
            return run;
        }
        process.write(options.strStdin.data(), qint64(options.strStdin.size()));
        if (!options.bStdinOpen)
            process.closeWriteChannel();
        QDeadlineTimer deadline(120000);
        bool bSignalled = false;
        while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
            process.waitForReadyRead(50);
            run.strOut += process.readAllStandardOutput().toStdString();
            run.strErr += process.readAllStandardError().toStdString();
            if (options.pszSignalAt && !bSignalled &&
                run.strErr.find(options.pszSignalAt) != std::string::npos) {
                kill(pid_t(process.processId()), options.nSignal);
                bSignalled = true;
            }
        }
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
            ADD_FAILURE() << "still running after its time limit:\n" << run.strErr;
            return run;
        }
        run.strOut += process.readAllStandardOutput().toStdString();
        run.strErr += process.readAllStandardError().toStdString();
        run.nExit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return run;
    }

    // The record's rows after the header.
    std::vector<std::vector<std::string>> Rows() {
        std::vector<std::vector<std::string>> rows =
            ParseCsv(ReadFileBytes(m_strDir + "/" + kRunRecordFileName));
        if (!rows.empty())
            rows.erase(rows.begin());
        return rows;
    }

    QTemporaryDir m_tmp;
    std::string m_strDir;
    std::unique_ptr<CSimProcess> m_pBoard;
};

// The message as the record holds it: on one line.
std::string OneLine(std::string text) {
    for (const char* br : {" \r\n ", " \r\n", "\r\n ", "\r\n", "\n ", "\n"})
        for (size_t pos; (pos = text.find(br)) != std::string::npos;)
            text.replace(pos, strlen(br), " ");
    return text;
}

} // namespace

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
        const char* pszMessage;
    };
    std::vector<SCase> cases = {
        {"loader", {}, "fail", 10, RUN_STAGE_LOADER, RunEndRow(ERunEnd::LoaderFailed).pszBox},
        {"tftp", {"--fault", "tftp-error"}, "", 13, RUN_STAGE_TFTP, RunEndRow(ERunEnd::TftpFailed).pszBox},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
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
        EXPECT_NE(run.strErr.find(strStage + OneLine(c.pszMessage).substr(0, 20)), std::string::npos);

        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        const std::vector<std::string>& row = rows[0];
        ASSERT_EQ(row.size(), 10u);
        EXPECT_EQ(row[kPort], m_pBoard->Port());
        EXPECT_EQ(row[kOutcome], "failed");
        EXPECT_EQ(row[kStage], std::to_string(c.nStage));
        EXPECT_EQ(row[kMessage], OneLine(c.pszMessage));
        EXPECT_EQ(row[kMacSent], "") << "the address was never sent";
        EXPECT_EQ(ReadFileBytes(m_strDir + "/" + row[kLogFile]).rfind("Executando BfinUcLinux \r\n", 0), 0u);

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
    };
    std::vector<SCase> cases = {
        {"loader running", "hang", "[2/17]", SIGINT, RUN_STAGE_LOADER},
        {"waiting for Enter", "", "Pressione Enter", SIGTERM, RUN_STAGE_POWER_CYCLE},
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

        EXPECT_EQ(run.nExit, kExitInterrupted) << run.strErr;
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
        if (!lab.SkipReason().empty())
            GTEST_SKIP() << lab.SkipReason();
        ASSERT_TRUE(lab.Ok());
        ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff"));
        std::string ns = lab.BoardNs();
        StartBoard({"--hook", MacHookFor(ns)});
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
        EXPECT_EQ(rows[0][kMacSent], "02:3A:7C:1a:2B:3c") << "the prefix as the prefix file spells it";
        EXPECT_EQ(rows[0][kMacRead], "02:3a:7c:1a:2b:3c");
        EXPECT_NE(
            ReadFileBytes(m_strDir + "/" + rows[0][kLogFile]).find("\r\nMAC address lido:02:3a:7c:1a:2b:3c"),
            std::string::npos);
        m_pBoard.reset();
        QFile::remove(m_tmp.path() + "/" + kRunRecordFileName);
    }
}
