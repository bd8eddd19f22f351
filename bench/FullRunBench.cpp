// Complete provisioning runs against the virtual board at full pace, with the stand-in loader and an operator
// who answers at once, to see how much of a run is the program's own time and how much is waiting that the
// run must do anyway.
//
// Mandated time M per run: the loader stage as a whole (the external loader's own work and the runner's
// pauses after it), the pause before opening the port, the two pauses inside the boot-argument command, the
// quiet-line waits before the seven commands, the pause before each ARP query, one read time-out of the
// prompt wait after the reboot (it writes its next line end only after a failed read, so a board in its
// autoboot countdown costs exactly that), and the board's configured durations (transfer, EEPROM write, its
// read-back and the save, power cycle, the other two autoboot countdowns, Linux boots). The board repeats the
// EEPROM write for the LF of its CR LF, and the run waits for that before reading the EEPROM back: board's
// time too. The operator here does not switch the board off: the board does it itself, the power-cycle delay
// after the last command it was sent (the read-back's compare). Everything else is the run's own: reading and
// echoing, process and port handling, the operator calls. The ARP service is a stand-in that answers at once,
// so nothing is sent on any network.
//
// Last line: runs=N median_ms=T mandated_ms=M excess_pct=P with P = (T - M) / T in percent.

#include "core/DebugOutput.h"
#include "core/LogConsole.h"
#include "mac/ArpCheck.h"
#include "provisioning/BootMonitorDialogue.h"
#include "provisioning/Provisioning.h"
#include "tests/dialogue/SimProcess.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace std::chrono;

namespace {

// Board durations of the benchmark (ms).
constexpr int kBootMs = 200, kTftpMs = 200, kEepromMs = 100, kStepMs = 500, kPowerCycleMs = 200;
constexpr int kPowerOffMs = 100; // the board's own, fixed

class CInstantOperator : public IOperator, public IRunObserver {
public:
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string& strMac, const CStopToken&) override {
        strMac = "02:3A:7C:1a:2B:3c";
        return true;
    }
    void OnStageStarted(int nStage) override { m_tStage[nStage] = steady_clock::now(); }
    steady_clock::time_point m_tStage[kRunStageCount + 1];
};

class CAnsweringArp : public IArpQuery {
public:
    uint32_t SendArp(uint32_t, void* pMac, uint32_t* pLen, const CStopToken&) override {
        const unsigned char mac[6] = {0x02, 0x3a, 0x7c, 0x1a, 0x2b, 0x3c};
        std::copy(mac, mac + 6, static_cast<unsigned char*>(pMac));
        *pLen = 6;
        ++m_nQueries;
        return ARP_NO_ERROR;
    }
    int m_nQueries = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int nRuns = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    SetDebugOutputSink([](const std::string&) {});

    QTemporaryDir dir;
    std::string strDir = dir.path().toStdString();
    UseWholeRunDir(strDir);

    std::vector<double> totals, mandated;
    for (int i = 0; i < nRuns; ++i) {
        CSimProcess board({"--pace", "full", "--boot-ms", std::to_string(kBootMs), "--tftp-ms",
                           std::to_string(kTftpMs), "--eeprom-ms", std::to_string(kEepromMs), "--bootdelay",
                           "1", "--countdown-step-ms", std::to_string(kStepMs), "--power-cycle-delay",
                           std::to_string(kPowerCycleMs), "--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr",
                           "--tftp-dir", "tftp"},
                          strDir);
        if (board.Port().empty()) {
            fprintf(stderr, "the virtual board did not start\n");
            return 1;
        }
        CRunState run;
        run.m_strPort = board.Port();
        CLogConsole log;
        CInstantOperator op;
        CAnsweringArp arp;
        SRunResult result;
        auto t0 = steady_clock::now();
        std::unique_ptr<QThread> thread(QThread::create([&] {
            SRunOptions options;
            options.pArpQuery = &arp;
            CProvisioningRun provisioning(run, log, op, {}, options);
            provisioning.SetObserver(&op);
            result = provisioning.RunProvisioning();
        }));
        thread->start();
        thread->wait();
        double dTotal = duration<double, std::milli>(steady_clock::now() - t0).count();
        if (result.Outcome() != ERunOutcome::Ok) {
            fprintf(stderr, "run %d ended at stage %d: %s\n", i, result.nStage, result.Message().c_str());
            return 1;
        }
        double dLoader =
            duration<double, std::milli>(op.m_tStage[RUN_STAGE_OPEN] - op.m_tStage[RUN_STAGE_LOADER]).count();
        double dRunPauses =
            500.0 + 2 * CBootMonitorDialogue::kBootargsPauseMs + 7 * double(CBootMonitorDialogue::kQuietMs) +
            double(CProvisioningRun::kArpPauseMs) * arp.m_nQueries + double(SRunOptions::kReadTimeoutMs);
        // Transfer; EEPROM write, its repetition and its read-back; the power-cycle delay; the save; power
        // off; countdowns after the power cycle and the reset (the one after the reboot is stopped by the
        // prompt wait); two Linux boots.
        double dBoard = kTftpMs + 3.0 * kEepromMs + kPowerCycleMs + kEepromMs + kPowerOffMs + 2.0 * kStepMs +
                        2.0 * kBootMs;
        totals.push_back(dTotal);
        mandated.push_back(dLoader + dRunPauses + dBoard);
        printf("run %d: total_ms=%.0f loader_ms=%.0f run_pauses_ms=%.0f board_ms=%.0f\n", i, dTotal, dLoader,
               dRunPauses, dBoard);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double t = median(totals), m = median(mandated);
    printf("runs=%d median_ms=%.0f mandated_ms=%.0f excess_pct=%.2f\n", nRuns, t, m, 100.0 * (t - m) / t);
    return 0;
}
