#pragma once

// What the whole-run tests of the sequence share: a scripted operator, a scripted ARP service and the
// fixture that starts the virtual board and runs the sequence on a worker of Qt's.

#include "provisioning/Provisioning.h"

#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/loader/LoaderTestSupport.h"
#include "tests/loader/WholeRunScope.h"

#include <QThread>
#include <atomic>
#include <chrono>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

inline constexpr const char* kCancel = "<cancel>";
inline constexpr const char* kTypedMac = "02:3A:7C:1a:2B:3c";

struct SBox {
    std::string strText;
    int nType;
    int nStage;
};

// The person at the bench: closes every box at once and answers the MAC dialog from a list. At the stage
// given as "hold", boxes and the dialog stay open until the run is stopped; at the stage given as "stop",
// the stop is raised shortly after the stage began, as the window does when it is closed.
class CScriptedOperator : public IOperator, public IRunObserver {
public:
    explicit CScriptedOperator(CStopSource& stop) : m_stop(stop) {}
    ~CScriptedOperator() override {
        if (m_stopper.joinable())
            m_stopper.join();
    }

    void ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) override {
        m_boxes.push_back({strText, nType, m_nStage});
        if (strText == CProvisioningRun::kMsgPowerCycle && m_powerCycle)
            m_powerCycle();
        if (m_nStage == m_nHoldStage)
            stop.SleepFor(60000);
    }
    bool ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) override {
        ++m_nDialogs;
        if (m_nStage == m_nHoldStage) {
            stop.SleepFor(60000);
            return false;
        }
        std::string answer = m_macAnswers.empty() ? kCancel : m_macAnswers.front();
        if (!m_macAnswers.empty())
            m_macAnswers.pop_front();
        if (answer == kCancel)
            return false;
        strMacAddress = answer;
        return true;
    }
    void OnStageStarted(int nStage) override {
        m_nStage = nStage;
        if (nStage == m_nStopStage)
            m_stopper = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(m_nStopDelayMs));
                m_tStop = std::chrono::steady_clock::now();
                m_stop.RequestStop();
            });
    }

    std::vector<SBox> m_boxes;
    std::deque<std::string> m_macAnswers{kTypedMac};
    int m_nDialogs = 0;
    int m_nHoldStage = -1;
    int m_nStopStage = 0;
    int m_nStopDelayMs = 200;
    std::chrono::steady_clock::time_point m_tStop{};
    std::function<void()> m_powerCycle; // the operator switches the board off and on as the box asks

private:
    CStopSource& m_stop;
    std::atomic<int> m_nStage = 0;
    std::thread m_stopper;
};

// A scripted ARP service: each query takes the next answer ("" for none, "block" waits for the stop).
class CFakeArpQuery : public IArpQuery {
public:
    bool Load(CLogConsole&) override { return m_bUsable; }
    uint32_t SendArp(uint32_t, void* pMacAddr, uint32_t* pPhyAddrLen, const CStopToken& stop) override {
        ++m_nQueries;
        std::string answer = m_answers.empty() ? "" : m_answers.front();
        if (m_answers.size() > 1)
            m_answers.pop_front();
        if (answer == "block") {
            stop.SleepFor(60000);
            return ARP_ERROR_CANCELLED;
        }
        if (answer.empty())
            return ARP_ERROR_BAD_NET_NAME;
        unsigned b[6];
        sscanf(answer.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        for (int i = 0; i < 6; ++i)
            static_cast<unsigned char*>(pMacAddr)[i] = static_cast<unsigned char>(b[i]);
        *pPhyAddrLen = 6;
        return ARP_NO_ERROR;
    }
    SBoardLink FindBoardLink(uint32_t) override { return m_link; }
    // Back to the defaults for the next case.
    void Reset() {
        m_bUsable = true;
        m_link = {};
        m_answers = {"02:3a:7c:1a:2b:3c"};
        m_nQueries = 0;
    }
    bool m_bUsable = true;
    SBoardLink m_link;
    std::deque<std::string> m_answers{"02:3a:7c:1a:2b:3c"};
    std::atomic<int> m_nQueries = 0; // read by the test's stopper thread while the run asks
};

// Children of this process other than the board (the loader, running or unreaped).
inline std::vector<int> ChildrenBesides(int nBoardPid) {
    std::vector<int> children;
    DIR* dir = opendir("/proc");
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        int pid = atoi(entry->d_name);
        if (pid <= 0 || pid == nBoardPid)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        int ppid = 0;
        if (close != std::string::npos && sscanf(line.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
            ppid == getpid())
            children.push_back(pid);
    }
    if (dir)
        closedir(dir);
    return children;
}

class SequenceTest : public ::testing::Test {
public:
    void SetUp() override {
        m_pScope = std::make_unique<CWholeRunScope>();
        m_strDir = m_pScope->Dir();
    }
    void TearDown() override {
        m_pBoard.reset();
        m_pScope.reset();
    }

    void StartBoard(std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--transcript", "transcript"});
        m_pBoard = std::make_unique<CSimProcess>(WholeRunBoardArgs(extra), m_strDir);
        ASSERT_FALSE(m_pBoard->Port().empty());
        m_run.m_strPort = m_pBoard->Port();
    }

    // Runs the whole sequence on a worker thread of Qt's (inside network namespace `ns` when given).
    SRunResult Run(const std::string& ns = {}) {
        SRunResult result;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            if (!ns.empty() && !EnterNetns(ns))
                return; // never run the ARP check outside the test's own namespace
            SRunOptions options = WholeRunOptions(m_pArp);
            if (m_dwReadTimeoutMs)
                options.dwReadTimeoutMs = m_dwReadTimeoutMs;
            options.dwArpTimeoutS = m_dwArpTimeoutS;
            // The test's own folder: a pty number freed by a board of a test running beside this one is
            // handed out again at once, and that test's run may still hold the lock of the name.
            options.strPortLockDir = m_strPortLockDir.empty() ? m_strDir : m_strPortLockDir;
            CProvisioningRun run(m_run, m_log, m_op, m_stop.Token(), options);
            run.SetObserver(&m_op);
            result = run.RunProvisioning();
            m_tEnd = std::chrono::steady_clock::now();
        }));
        thread->start();
        thread->wait();
        return result;
    }

    // The commands the board received, without the empty lines that the LF of each CR LF makes.
    std::vector<std::string> Commands() {
        std::vector<std::string> commands;
        for (std::string& c : TranscriptCommands(m_strDir + "/transcript"))
            if (!c.empty())
                commands.push_back(std::move(c));
        return commands;
    }

    // After any run: no loader left, no handle stored; the port (if the board still has one) opens again.
    void ExpectCleanEnd(bool bPortStillThere = true) {
        EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
        EXPECT_EQ(ChildrenBesides(m_pBoard ? m_pBoard->Pid() : -1), std::vector<int>());
        if (bPortStillThere) {
            CUart uart(100);
            EXPECT_EQ(uart.Open(m_run.m_strPort, 57600), 1) << "port not released";
        }
    }

    std::unique_ptr<CWholeRunScope> m_pScope;
    std::string m_strDir;
    std::unique_ptr<CSimProcess> m_pBoard;
    CRunState m_run;
    CLogConsole m_log;
    CStopSource m_stop;
    CScriptedOperator m_op{m_stop};
    CFakeArpQuery m_fakeArp;
    IArpQuery* m_pArp = &m_fakeArp;
    uint32_t m_dwReadTimeoutMs = 0;
    uint32_t m_dwArpTimeoutS = 0;
    std::string m_strPortLockDir;
    std::chrono::steady_clock::time_point m_tEnd{};
};
