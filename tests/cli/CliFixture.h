#pragma once

// What the tests of qan640-provision share: the program started the way a bench script starts it (in a
// network namespace of the test's own where it may reach 10.0.0.50), alone or several at once, and the
// record it leaves in the working directory.

#include "cli/ExitStatus.h"
#include "core/Cp1252.h"
#include "ledger/RecordMacLedger.h"
#include "links/Uart.h"
#include "provisioning/Provisioning.h"
#include "records/RunArchive.h"
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

enum ECsvColumn { kStart, kEnd, kPort, kMacSent, kMacRead, kOutcome, kStage, kMessage, kDuration, kLogFile };
enum ECsvLaterColumn { kOperator = kLogFile + 1, kSerial };

struct SCliRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

struct SCliOptions {
    std::string strNs;                 // run inside this network namespace
    std::vector<std::string> wrapper;  // else through this command, the program and its arguments after it
    std::string strStdin;              // written to standard input at the start
    bool bStdinOpen = false;           // standard input then stays open (and silent) instead of at its end
    const char* pszSignalAt = nullptr; // send nSignal once standard error shows this text
    int nSignal = SIGINT;
    std::vector<std::pair<QString, QString>> env;
};

// Processes, other than tests, whose command line names the loader and the port.
inline std::vector<int> LoadersOnPort(const std::string& strPort) {
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

    // One program started in the working directory; Poll reads what it printed and sends the options' signal
    // when it is due, Finish waits for its end (killing it past the time limit).
    class CCli {
    public:
        CCli(const QString& strDir, const std::vector<std::string>& args, SCliOptions options)
            : m_options(std::move(options)) {
            m_process.setWorkingDirectory(strDir);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PATH", QString(QAN_TEST_PATH_DIR) + ":" + env.value("PATH") + ":/usr/sbin:/sbin");
            for (const auto& [name, value] : m_options.env)
                env.insert(name, value);
            m_process.setProcessEnvironment(env);
            std::vector<std::string> command = m_options.wrapper;
            if (!m_options.strNs.empty())
                command = {"ip", "netns", "exec", m_options.strNs};
            command.push_back(QAN_PROVISION);
            command.insert(command.end(), args.begin(), args.end());
            QStringList argv;
            for (size_t i = 1; i < command.size(); ++i)
                argv << QString::fromStdString(command[i]);
            m_process.start(QString::fromStdString(command[0]), argv);
            if (!m_process.waitForStarted(5000)) {
                ADD_FAILURE() << "does not start";
                return;
            }
            m_process.write(m_options.strStdin.data(), qint64(m_options.strStdin.size()));
            if (!m_options.bStdinOpen)
                m_process.closeWriteChannel();
        }
        ~CCli() {
            if (m_process.state() != QProcess::NotRunning) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
        // False once the program has ended.
        bool Poll(int nWaitMs) {
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(nWaitMs);
            m_run.strOut += m_process.readAllStandardOutput().toStdString();
            m_run.strErr += m_process.readAllStandardError().toStdString();
            if (m_options.pszSignalAt && !m_bSignalled &&
                m_run.strErr.find(m_options.pszSignalAt) != std::string::npos) {
                Signal(m_options.nSignal);
                m_bSignalled = true;
            }
            return m_process.state() != QProcess::NotRunning;
        }
        // Never to pid 0 (a program already gone), which would signal the test's whole process group.
        void Signal(int nSignal) {
            if (pid_t pid = pid_t(m_process.processId()); pid > 0)
                kill(pid, nSignal);
        }
        const SCliRun& SoFar() const { return m_run; }
        SCliRun Finish(const QDeadlineTimer& deadline = QDeadlineTimer(120000)) {
            while (Poll(50) && !deadline.hasExpired()) {
            }
            if (m_process.state() != QProcess::NotRunning) {
                ADD_FAILURE() << "still running after its time limit:\n" << m_run.strErr;
                return m_run;
            }
            m_run.strOut += m_process.readAllStandardOutput().toStdString();
            m_run.strErr += m_process.readAllStandardError().toStdString();
            m_run.nExit = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
            return m_run;
        }

    private:
        SCliOptions m_options;
        QProcess m_process;
        SCliRun m_run;
        bool m_bSignalled = false;
    };

    SCliRun Run(const std::vector<std::string>& args, const SCliOptions& options = {}) {
        return CCli(m_tmp.path(), args, options).Finish();
    }

    // Several at once, each read as it goes so that none waits on a full pipe; results in the given order.
    std::vector<SCliRun>
    RunTogether(const std::vector<std::pair<std::vector<std::string>, SCliOptions>>& jobs) {
        std::vector<std::unique_ptr<CCli>> clis;
        for (const auto& [args, options] : jobs)
            clis.push_back(std::make_unique<CCli>(m_tmp.path(), args, options));
        QDeadlineTimer deadline(120000);
        for (bool bAny = true; bAny && !deadline.hasExpired();) {
            bAny = false;
            for (auto& pCli : clis)
                bAny = pCli->Poll(20) || bAny;
        }
        std::vector<SCliRun> runs;
        for (auto& pCli : clis)
            runs.push_back(pCli->Finish(QDeadlineTimer(0)));
        return runs;
    }

    // The record's rows after the header.
    std::vector<std::vector<std::string>> Rows() {
        std::vector<std::vector<std::string>> rows =
            ParseCsv(ReadFileBytes(m_strDir + "/" + kRunRecordFileName));
        if (!rows.empty())
            rows.erase(rows.begin());
        return rows;
    }

    // The board plugged into the lab: until its Linux hook gives its end of the veth pair the address the
    // board stored, it answers as a board without an address yet.
    void StartBoardInLab(CNetnsLab& lab) {
        ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff"));
        StartBoard({"--hook", MacHookFor(lab.BoardNs())});
    }

    QTemporaryDir m_tmp;
    std::string m_strDir;
    std::unique_ptr<CSimProcess> m_pBoard;
};

// The message as the record holds it: on one line.
inline std::string OneLine(std::string text) {
    for (const char* br : {" \r\n ", " \r\n", "\r\n ", "\r\n", "\n ", "\n"})
        for (size_t pos; (pos = text.find(br)) != std::string::npos;)
            text.replace(pos, strlen(br), " ");
    return text;
}
