// Several boards at once from one PC: N virtual boards at their realistic pace (line speed, boots, transfer,
// EEPROM, countdowns, power cycle), each on a link of its own where it answers at 10.0.0.50 with the MAC
// address it stored, provisioned by N runs in parallel, each run's ARP check pinned to its own card. First
// one run alone, then all N together; a verdict is wrong unless the run verified exactly its own board's
// address.
//
// The links are veth pairs between network namespaces the benchmark makes (it needs root); the runs work
// inside the PC's namespace of the benchmark, never in the machine's own.
//
// Usage: bench_station [N]   (default 4)
// Last line: slots=N single_ms=T1 parallel_median_ms=TN slowdown_pct=P wrong_verdicts=W
// with P = (TN - T1) / T1 in percent.

#include "core/DebugOutput.h"
#include "core/LogConsole.h"
#include "provisioning/Provisioning.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

using namespace std::chrono;

namespace {

std::string SlotMac(size_t nSlot) {
    char szMac[18];
    snprintf(szMac, sizeof szMac, "02:3A:7C:00:00:%02X", unsigned(nSlot + 1));
    return szMac;
}

// The person at a slot: closes every box at once and types the slot's address.
class CSlotOperator : public IOperator {
public:
    explicit CSlotOperator(std::string strMac) : m_strMac(std::move(strMac)) {}
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string& strMac, const CStopToken&) override {
        strMac = m_strMac;
        return true;
    }

private:
    std::string m_strMac;
};

struct SSlotRun {
    double dMs = 0;
    bool bRight = false;
    SRunResult result;
};

// One round: a fresh board on each of the given links, all runs started together.
std::vector<SSlotRun> RunRound(CNetnsLab& lab, const std::string& strDir, size_t nSlots) {
    std::vector<std::unique_ptr<CSimProcess>> boards;
    for (size_t k = 0; k < nSlots; ++k) {
        // Until it has booted with a stored address, a board answers as one without any.
        for (std::vector<std::string> args : {std::vector<std::string>{"link", "set", "qb0", "down"},
                                              {"link", "set", "qb0", "address", "00:ff:ff:ff:ff:ff"},
                                              {"link", "set", "qb0", "up"}})
            lab.Ip(lab.BoardNs(k), args);
        boards.push_back(std::make_unique<CSimProcess>(
            std::vector<std::string>{"--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr", "--tftp-dir", "tftp",
                                     "--hook", MacHookFor(lab.BoardNs(k))},
            strDir));
        if (boards.back()->Port().empty()) {
            fprintf(stderr, "the virtual board of slot %zu did not start\n", k + 1);
            exit(1);
        }
    }
    std::vector<SSlotRun> runs(nSlots);
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t k = 0; k < nSlots; ++k) {
        threads.emplace_back(QThread::create([&, k] {
            CRunState state;
            state.m_strPort = boards[k]->Port();
            CLogConsole log;
            CSlotOperator op(SlotMac(k));
            SRunOptions options;
            options.strInterface = "qh" + std::to_string(k);
            CProvisioningRun run(state, log, op, {}, options);
            auto t0 = steady_clock::now();
            runs[k].result = run.RunProvisioning();
            runs[k].dMs = duration<double, std::milli>(steady_clock::now() - t0).count();
            runs[k].bRight = runs[k].result.Outcome() == ERunOutcome::Ok &&
                             strcasecmp(runs[k].result.strMacRead.c_str(), SlotMac(k).c_str()) == 0;
        }));
    }
    for (auto& pThread : threads)
        pThread->start();
    for (auto& pThread : threads)
        pThread->wait();
    return runs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    size_t nSlots = argc > 1 ? size_t(std::max(1, atoi(argv[1]))) : 4;
    SetDebugOutputSink([](const std::string&) {});

    CNetnsLab lab;
    if (!lab.SkipReason().empty() || !lab.Ok()) {
        fprintf(stderr, "bench_station: %s\n",
                lab.SkipReason().empty() ? "the links could not be made" : lab.SkipReason().c_str());
        return 1;
    }
    for (size_t k = 1; k < nSlots; ++k) {
        if (lab.AddLink() != int(k))
            return 1;
    }
    for (size_t k = 0; k < nSlots; ++k)
        lab.PlugBoard("00:ff:ff:ff:ff:ff", k);
    QTemporaryDir dir;
    std::string strDir = dir.path().toStdString();
    UseWholeRunDir(strDir);
    // The runs' threads start inside the PC's namespace; the boards' hooks reach their own namespaces by
    // name.
    CInNamespace inPc(lab.HostNs());
    if (!inPc.In()) {
        fprintf(stderr, "bench_station: cannot enter %s\n", lab.HostNs().c_str());
        return 1;
    }

    int nWrong = 0;
    auto report = [&](const char* szRound, const std::vector<SSlotRun>& runs) {
        for (size_t k = 0; k < runs.size(); ++k) {
            const SSlotRun& r = runs[k];
            nWrong += r.bRight ? 0 : 1;
            printf("%s slot %zu: %.0f ms, stage %d, mac_read=%s%s\n", szRound, k + 1, r.dMs, r.result.nStage,
                   r.result.strMacRead.c_str(), r.bRight ? "" : " WRONG");
            fflush(stdout);
        }
    };
    std::vector<SSlotRun> single = RunRound(lab, strDir, 1);
    report("single", single);
    std::vector<SSlotRun> parallel = RunRound(lab, strDir, nSlots);
    report("parallel", parallel);

    std::vector<double> times;
    for (const SSlotRun& r : parallel)
        times.push_back(r.dMs);
    std::sort(times.begin(), times.end());
    double dMedian = times.size() % 2 ? times[times.size() / 2]
                                      : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    double dSingle = single[0].dMs;
    printf("slots=%zu single_ms=%.0f parallel_median_ms=%.0f slowdown_pct=%.2f wrong_verdicts=%d\n", nSlots,
           dSingle, dMedian, 100.0 * (dMedian - dSingle) / dSingle, nWrong);
    return 0;
}
