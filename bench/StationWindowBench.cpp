// The station window with N slots at the virtual board's realistic pace (line speed, boots, transfer, EEPROM,
// countdowns, power cycle), each slot's board on a link of its own (veth pairs between network namespaces the
// benchmark makes: it needs root). The operator is played inside the window: every question of a slot is
// answered there, the slot's own address typed. First each slot alone, then all N together with every log
// shown, so the GUI thread renders N boards echoing at 57600 baud.
//
// Measured: each run's length past the loader stage (the loader's output comes in passes 2 s apart, which
// moves a whole run by 2 s either way), alone and together; and how late a 2 ms timer on the GUI thread fires
// while the N slots run (its stalls). A verdict is wrong unless the slot verified exactly its own address.
//
// Usage: bench_station_window [N]   (default 4)
// Last line: slots=N slowdown_pct=P gui_stall_p99_ms=S wrong_verdicts=W
// with P the largest slowdown of a slot's run together against the same slot alone, in percent.

#include "app/MainDialog.h"
#include "bench/StationLab.h"
#include "core/DebugOutput.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string SlotMac(size_t nSlot) {
    char szMac[18];
    snprintf(szMac, sizeof szMac, "02:3A:7C:00:00:%02X", unsigned(nSlot + 1));
    return szMac;
}

struct SSlotTimes {
    double dLoaderDoneMs = -1;
    double dEndMs = -1;
    bool bRight = false;
    double PastLoaderMs() const { return dEndMs - dLoaderDoneMs; }
};

struct SRound {
    std::vector<SSlotTimes> times;
    std::vector<double> stallsMs;
};

// One round in a fresh window: fresh boards on the links of `started`, the station's file listing all N
// slots, those slots started together and played until each has ended.
SRound RunRound(CNetnsLab& lab, const std::string& strDir, size_t nSlots, const std::vector<size_t>& started,
                bool bShowLogs) {
    std::vector<std::unique_ptr<CSimProcess>> boards(nSlots);
    std::string strConf;
    for (size_t k = 0; k < nSlots; ++k) {
        bool bStarted = std::find(started.begin(), started.end(), k) != started.end();
        if (bStarted) {
            boards[k] = StartStationBoard(lab, k, strDir);
        }
        strConf += (bStarted ? boards[k]->Port() : strDir + "/unused" + std::to_string(k)) + " qh" +
                   std::to_string(k) + "\n";
    }
    std::ofstream(strDir + "/QAN640net.conf") << strConf;

    CQAN640BootLoaderCommands window;
    window.SetPortLister([](std::vector<std::string>& names) { names.clear(); });
    window.show();
    QApplication::processEvents();
    if (window.m_slots.size() != nSlots) {
        fprintf(stderr, "the window shows %zu slots, not %zu\n", window.m_slots.size(), nSlots);
        exit(1);
    }
    SRound round;
    round.times.resize(nSlots);
    QElapsedTimer clock;
    clock.start();
    for (size_t k : started) {
        window.m_slots[k]->m_btnLog->setChecked(bShowLogs);
        window.m_slots[k]->m_btnStart->click();
    }
    QEventLoop loop;
    // The operator: one answer per tick, as a person gives them.
    QTimer player;
    QObject::connect(&player, &QTimer::timeout, [&] {
        for (size_t k : started) {
            CStationSlot& slot = *window.m_slots[k];
            if (!slot.m_pQuestion->isVisible())
                continue;
            if (slot.m_edtAnswer->isVisible())
                slot.m_edtAnswer->setText(QString::fromStdString(SlotMac(k)));
            slot.m_answerButtons[0]->click();
            return;
        }
    });
    player.start(50);
    // The GUI thread's pulse, and the slots' stages read from their state.
    QTimer pulse;
    pulse.setTimerType(Qt::PreciseTimer);
    qint64 nLastTick = 0;
    QObject::connect(&pulse, &QTimer::timeout, [&] {
        qint64 nNow = clock.nsecsElapsed();
        if (nLastTick)
            round.stallsMs.push_back(std::max(0.0, double(nNow - nLastTick) / 1e6 - 2.0));
        nLastTick = nNow;
        bool bAllEnded = true;
        for (size_t k : started) {
            CStationSlot& slot = *window.m_slots[k];
            SSlotTimes& times = round.times[k];
            SSlotState state = slot.State();
            if (times.dLoaderDoneMs < 0 && state.nStage >= RUN_STAGE_OPEN)
                times.dLoaderDoneMs = double(nNow) / 1e6;
            if (times.dEndMs < 0 && !slot.IsRunning() && slot.m_nRunsStarted == 1) {
                times.dEndMs = double(nNow) / 1e6;
                times.bRight = state.eState == ESlotState::Verified && state.strMac == SlotMac(k);
            }
            bAllEnded = bAllEnded && times.dEndMs >= 0;
        }
        if (bAllEnded)
            loop.quit();
    });
    pulse.start(2);
    QTimer::singleShot(300000, &loop, [&] {
        fprintf(stderr, "the round did not end within 300 s\n");
        loop.quit();
    });
    loop.exec();
    window.close();
    return round;
}

double Percentile(std::vector<double> values, double dFraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(dFraction * double(values.size())))];
}

} // namespace

int main(int argc, char** argv) {
    if (!getenv("DISPLAY") && !getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    size_t nSlots = argc > 1 ? size_t(std::max(2, atoi(argv[1]))) : 4;
    SetDebugOutputSink([](const std::string&) {});

    CNetnsLab lab;
    if (!MakeStationLinks(lab, nSlots, "bench_station_window"))
        return 1;
    QTemporaryDir dir;
    std::string strDir = dir.path().toStdString();
    UseWholeRunDir(strDir);
    // The window and its workers run inside the PC's namespace; the boards' hooks reach their own by name.
    CInNamespace inPc(lab.HostNs());
    if (!inPc.In()) {
        fprintf(stderr, "bench_station_window: cannot enter %s\n", lab.HostNs().c_str());
        return 1;
    }

    std::vector<SSlotTimes> single(nSlots);
    for (size_t k = 0; k < nSlots; ++k)
        single[k] = RunRound(lab, strDir, nSlots, {k}, false).times[k];
    std::vector<size_t> all;
    for (size_t k = 0; k < nSlots; ++k)
        all.push_back(k);
    SRound together = RunRound(lab, strDir, nSlots, all, true);

    int nWrong = 0;
    double dWorstPct = -1e9;
    for (size_t k = 0; k < nSlots; ++k) {
        const SSlotTimes& a = single[k];
        const SSlotTimes& b = together.times[k];
        double dPct = 100.0 * (b.PastLoaderMs() - a.PastLoaderMs()) / a.PastLoaderMs();
        dWorstPct = std::max(dWorstPct, dPct);
        nWrong += (a.bRight ? 0 : 1) + (b.bRight ? 0 : 1);
        printf("slot %zu past the loader stage: alone %.0f ms, together %.0f ms (%+.2f %%)%s%s\n", k + 1,
               a.PastLoaderMs(), b.PastLoaderMs(), dPct, a.bRight ? "" : " WRONG alone",
               b.bRight ? "" : " WRONG together");
    }
    printf("gui stalls while %zu slots run: %zu ticks, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", nSlots,
           together.stallsMs.size(), Percentile(together.stallsMs, 0.5), Percentile(together.stallsMs, 0.99),
           Percentile(together.stallsMs, 1.0));
    printf("slots=%zu slowdown_pct=%.2f gui_stall_p99_ms=%.2f wrong_verdicts=%d\n", nSlots, dWorstPct,
           Percentile(together.stallsMs, 0.99), nWrong);
    return 0;
}
