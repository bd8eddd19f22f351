// Several boards at once from one PC: N virtual boards at their realistic pace (line speed, boots, transfer,
// EEPROM, countdowns, power cycle), each on a link of its own where it answers at 10.0.0.50 with the MAC
// address it stored, provisioned by N runs in parallel, each run's ARP check pinned to its own card. First
// each slot alone, one after the other, then all N together; a verdict is wrong unless the run verified
// exactly its own board's address. Medians on both sides: a run's length varies by whole loader passes (2 s)
// with the moment the loader's output arrives.
//
// The links are veth pairs between network namespaces the benchmark makes (it needs root); the runs work
// inside the PC's namespace of the benchmark, never in the machine's own.
//
// Usage: bench_station [N]   (default 4)
// The line before the last gives the same medians for the part of each run after the loader stage.
// Last line: slots=N single_ms=T1 parallel_median_ms=TN slowdown_pct=P wrong_verdicts=W
// with T1 the median of the runs alone and P = (TN - T1) / T1 in percent.

#include "bench/StationLab.h"
#include "core/DebugOutput.h"
#include "core/LogConsole.h"
#include "provisioning/Provisioning.h"

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

// The person at a slot: closes every box at once and types the slot's address. Notes when the loader stage
// ends: the loader runner reads its output in passes 2 s apart, so whether the loader's last line comes
// within one pass or the next (a race with its own writes) moves a run's length by 2 s either way.
class CSlotOperator : public IOperator, public IRunObserver {
public:
    explicit CSlotOperator(std::string strMac) : m_strMac(std::move(strMac)) {}
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string& strMac, const CStopToken&) override {
        strMac = m_strMac;
        return true;
    }
    void OnStageStarted(int nStage) override {
        if (nStage == RUN_STAGE_OPEN)
            m_tLoaderDone = steady_clock::now();
    }
    steady_clock::time_point m_tLoaderDone;

private:
    std::string m_strMac;
};

struct SSlotRun {
    double dMs = 0;
    double dLoaderMs = 0; // the loader stage, from the run's start
    bool bRight = false;
    SRunResult result;
};

// One round: a fresh board on each of the links from nFirst on, all runs started together.
std::vector<SSlotRun> RunRound(CNetnsLab& lab, const std::string& strDir, size_t nFirst, size_t nSlots) {
    std::vector<std::unique_ptr<CSimProcess>> boards;
    for (size_t k = nFirst; k < nFirst + nSlots; ++k) {
        boards.push_back(StartStationBoard(lab, k, strDir));
    }
    std::vector<SSlotRun> runs(nSlots);
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t i = 0; i < nSlots; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            size_t k = nFirst + i;
            CRunState state;
            state.m_strPort = boards[i]->Port();
            CLogConsole log;
            CSlotOperator op(SlotMac(k));
            SRunOptions options;
            options.strInterface = "qh" + std::to_string(k);
            CProvisioningRun run(state, log, op, {}, options);
            run.SetObserver(&op);
            auto t0 = steady_clock::now();
            runs[i].result = run.RunProvisioning();
            runs[i].dMs = duration<double, std::milli>(steady_clock::now() - t0).count();
            runs[i].dLoaderMs = duration<double, std::milli>(op.m_tLoaderDone - t0).count();
            runs[i].bRight = runs[i].result.Outcome() == ERunOutcome::Ok &&
                             strcasecmp(runs[i].result.strMacRead.c_str(), SlotMac(k).c_str()) == 0;
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
    if (!MakeStationLinks(lab, nSlots, "bench_station"))
        return 1;
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
            printf("%s slot %zu: %.0f ms (loader stage %.0f ms), stage %d, mac_read=%s%s\n", szRound, k + 1,
                   r.dMs, r.dLoaderMs, r.result.nStage, r.result.strMacRead.c_str(),
                   r.bRight ? "" : " WRONG");
            fflush(stdout);
        }
    };
    std::vector<SSlotRun> single;
    for (size_t k = 0; k < nSlots; ++k)
        single.push_back(RunRound(lab, strDir, k, 1)[0]);
    report("single", single);
    std::vector<SSlotRun> parallel = RunRound(lab, strDir, 0, nSlots);
    report("parallel", parallel);

    auto median = [](const std::vector<SSlotRun>& runs, bool bPastLoader = false) {
        std::vector<double> times;
        for (const SSlotRun& r : runs)
            times.push_back(bPastLoader ? r.dMs - r.dLoaderMs : r.dMs);
        std::sort(times.begin(), times.end());
        size_t n = times.size();
        return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    };
    double dSingle = median(single), dParallel = median(parallel);
    double dSingleRest = median(single, true), dParallelRest = median(parallel, true);
    printf("past the loader stage: single_ms=%.0f parallel_median_ms=%.0f slowdown_pct=%.2f\n", dSingleRest,
           dParallelRest, 100.0 * (dParallelRest - dSingleRest) / dSingleRest);
    printf("slots=%zu single_ms=%.0f parallel_median_ms=%.0f slowdown_pct=%.2f wrong_verdicts=%d\n", nSlots,
           dSingle, dParallel, 100.0 * (dParallel - dSingle) / dSingle, nWrong);
    return 0;
}
