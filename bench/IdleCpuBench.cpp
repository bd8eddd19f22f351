// What the program costs while it only waits, as it may for hours at the bench: the CPU time of the whole
// process (user and system, all threads) over a stretch of
//
//  - the MAC verification loop with no board answering: a whole run against the virtual board up to that
//    loop, with an ARP service that never gets an answer. Measured with a stand-in service that says "no
//    answer" at once, and, where network namespaces can be made (root), once more with the platform's own
//    service inside two namespaces the benchmark makes for itself, where nothing holds 10.0.0.50. The
//    platform's service is never used outside them.
//  - WaitPrompt on a silent line: a pseudo-terminal whose far end never answers.
//
// Usage: bench_idle_cpu [SECONDS]   (default 60 per measurement)
// Last line: arp_loop_cpu_pct=A silent_line_cpu_pct=S (percent of one core; A is the stand-in's figure)

#include "core/DebugOutput.h"
#include "core/LogConsole.h"
#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "provisioning/BootMonitorDialogue.h"
#include "provisioning/Provisioning.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/support/Pty.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

constexpr int kStartLimitMs = 60000;

class CInstantOperator : public IOperator, public IRunObserver {
public:
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string& strMac, const CStopToken&) override {
        strMac = "02:3A:7C:1a:2B:3c";
        return true;
    }
    void OnStageStarted(int nStage) override { m_nStage = nStage; }
    std::atomic<int> m_nStage = 0;
};

class CUnansweredArp : public IArpQuery {
public:
    uint32_t SendArp(uint32_t, void*, uint32_t*, const CStopToken&) override { return ARP_ERROR_NOT_FOUND; }
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time over `seconds` of wall time, in percent of one core.
double MeasureCpuPct(int seconds) {
    double dCpu0 = CpuSeconds();
    auto t0 = steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double dWall = duration<double>(steady_clock::now() - t0).count();
    return 100.0 * (CpuSeconds() - dCpu0) / dWall;
}

bool WaitFor(const std::function<bool()>& fnDone, int limitMs) {
    auto tEnd = steady_clock::now() + milliseconds(limitMs);
    while (!fnDone()) {
        if (steady_clock::now() > tEnd)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// A whole run up to the verification loop, then `seconds` in it. pArp null: the platform's service, inside
// namespace `ns` only. Negative on failure.
double ArpLoopCpuPct(const std::string& strDir, IArpQuery* pArp, const std::string& ns, int seconds) {
    std::vector<std::string> args = FastBoardArgs();
    for (const char* a : {"--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr", "--tftp-dir", "tftp"})
        args.push_back(a);
    CSimProcess board(args, strDir);
    if (board.Port().empty()) {
        fprintf(stderr, "the virtual board did not start\n");
        return -1;
    }
    CRunState run;
    run.m_strPort = board.Port();
    CLogConsole log;
    CInstantOperator op;
    CStopSource stop;
    SRunResult result;
    std::atomic<bool> bRefused = false;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        if (!pArp && !EnterNetns(ns)) {
            bRefused = true;
            return; // the platform's service never runs outside the benchmark's namespace
        }
        CProvisioningRun provisioning(run, log, op, stop.Token(), WholeRunOptions(pArp));
        provisioning.SetObserver(&op);
        result = provisioning.RunProvisioning();
    }));
    thread->start();
    bool bInLoop =
        WaitFor([&] { return op.m_nStage == RUN_STAGE_VERIFY || thread->isFinished(); }, kStartLimitMs);
    double dPct = -1;
    if (bInLoop && !thread->isFinished()) {
        std::this_thread::sleep_for(milliseconds(500)); // into the loop proper
        dPct = MeasureCpuPct(seconds);
    } else {
        fprintf(stderr, "the run did not reach the verification loop%s\n", bRefused ? " (namespace)" : "");
    }
    stop.RequestStop();
    thread->wait();
    size_t nQueries = 0;
    for (size_t i = 0; (i = log.m_strLog.find("Lendo MAC address:", i)) != std::string::npos; ++i)
        ++nQueries;
    size_t nLast = log.m_strLog.rfind("Lendo MAC address:");
    printf("  %zu queries; the last: %s\n", nQueries,
           nLast == std::string::npos
               ? "none"
               : CBootMonitorDialogue::ReplaceAll(log.m_strLog.substr(nLast), "\r\n", " | ").c_str());
    if (dPct >= 0 && result.eEnd != ERunEnd::Stopped) {
        fprintf(stderr, "the run left the verification loop: %s\n", result.Message().c_str());
        return -1;
    }
    return dPct;
}

// `seconds` of WaitPrompt (again and again, as its budget runs out) on a line that never answers.
double SilentLineCpuPct(int seconds) {
    CPtyPair pty;
    CLogConsole log;
    CStopSource stop;
    std::atomic<bool> bOpen = false, bFailed = false;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        CUart uart(SRunOptions::kReadTimeoutMs, stop.Token());
        if (uart.Open(pty.SlavePath(), 57600) != 1) {
            bFailed = true;
            return;
        }
        bOpen = true;
        CBootMonitorDialogue dialogue(uart, log, "", stop.Token());
        while (!stop.StopRequested()) {
            if (dialogue.WaitPrompt())
                bFailed = true; // nothing may answer
        }
    }));
    thread->start();
    double dPct = -1;
    if (WaitFor([&] { return bOpen || bFailed; }, kStartLimitMs) && bOpen) {
        std::this_thread::sleep_for(milliseconds(500));
        dPct = MeasureCpuPct(seconds);
    }
    stop.RequestStop();
    thread->wait();
    if (bFailed) {
        fprintf(stderr, "the silent line did not work as one\n");
        return -1;
    }
    return dPct;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int nSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    SetDebugOutputSink([](const std::string&) {});

    QTemporaryDir dir;
    std::string strDir = dir.path().toStdString();
    UseWholeRunDir(strDir);

    CUnansweredArp arp;
    double dArp = ArpLoopCpuPct(strDir, &arp, "", nSeconds);
    if (dArp < 0)
        return 1;
    printf("arp loop, stand-in service: %.3f %% of one core over %d s\n", dArp, nSeconds);
    fflush(stdout);

    {
        CNetnsLab lab;
        if (!lab.SkipReason().empty()) {
            printf("arp loop, platform service: not measured (%s)\n", lab.SkipReason().c_str());
        } else if (lab.Ok()) {
            double dReal = ArpLoopCpuPct(strDir, nullptr, lab.HostNs(), nSeconds);
            if (dReal < 0)
                return 1;
            printf(
                "arp loop, platform service in the benchmark's namespaces: %.3f %% of one core over %d s\n",
                dReal, nSeconds);
        } else {
            fprintf(stderr, "the network namespaces could not be set up\n");
            return 1;
        }
        fflush(stdout);
    }

    double dSilent = SilentLineCpuPct(nSeconds);
    if (dSilent < 0)
        return 1;
    printf("arp_loop_cpu_pct=%.3f silent_line_cpu_pct=%.3f\n", dArp, dSilent);
    return 0;
}
