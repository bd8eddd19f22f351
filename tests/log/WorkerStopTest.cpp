// A stop request (the window closing) ends a worker promptly whatever it waits for, and never dead-locks
// against a GUI thread that is busy closing.
#include "app/GuiCall.h"
#include "app/ModalDialog.h"
#include "app/QtLogBox.h"
#include "core/LogConsole.h"
#include "core/Worker.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs the GUI thread's events until `done` or the time runs out.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

TEST(WorkerStop, PauseEnds) {
    CStopSource stop;
    CWorker worker(stop.Token());
    std::atomic<int> result{-1};
    ASSERT_TRUE(worker.Start([&](const CStopToken& token) { result = token.SleepFor(60000) ? 1 : 0; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(worker.IsRunning());
    QElapsedTimer timer;
    timer.start();
    stop.RequestStop();
    ASSERT_TRUE(worker.Wait(2000));
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(result, 0) << "the pause reports that it was cut short";

    // A stopped token does not pause at all.
    timer.restart();
    EXPECT_FALSE(stop.Token().SleepFor(1000));
    EXPECT_LT(timer.elapsed(), 100);
}

TEST(WorkerStop, OneRunAtATime) {
    CStopSource stop;
    CWorker worker(stop.Token());
    ASSERT_TRUE(worker.Start([](const CStopToken& token) { token.SleepFor(60000); }));
    EXPECT_FALSE(worker.Start([](const CStopToken&) {})) << "a second run must not start while one runs";
    stop.RequestStop();
    ASSERT_TRUE(worker.Wait(2000));
    std::atomic<bool> bRan{false};
    EXPECT_TRUE(worker.Start([&](const CStopToken&) { bRan = true; }));
    ASSERT_TRUE(worker.Wait(2000));
    EXPECT_TRUE(bRan);
}

// The worker waits on the GUI thread to update the log box, but the GUI thread is busy (here: not
// processing events at all, as when it is inside the close handler). The stop request frees the worker, and
// the update that never got its turn does not run later.
TEST(WorkerStop, PendingGuiCallEndsAndIsNotRunLater) {
    QPlainTextEdit edit;
    CStopSource stop;
    CQtLogBox box(&edit, stop.Token());
    CLogConsole log(&box);
    CWorker worker(stop.Token());
    std::atomic<bool> bReturned{false};
    ASSERT_TRUE(worker.Start([&](const CStopToken&) {
        log.AppendLogText("never shown\n", true);
        bReturned = true;
    }));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(bReturned) << "the worker waits for the GUI thread";
    QElapsedTimer timer;
    timer.start();
    stop.RequestStop();
    ASSERT_TRUE(worker.Wait(2000));
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_TRUE(bReturned);
    QApplication::processEvents();
    EXPECT_EQ(edit.toPlainText(), QString()) << "an abandoned call must not touch the box afterwards";
    EXPECT_EQ(log.m_strLog, "never shown\r\n") << "the text itself is kept";
}

// A message box or dialog that the worker shows through the GUI thread: the stop request ends the worker's
// wait at once, and the dialog is rejected so that its modal loop ends too.
TEST(WorkerStop, PendingDialogEnds) {
    QObject context;
    CStopSource stop;
    CWorker worker(stop.Token());
    auto pResult = std::make_shared<std::atomic<int>>(-1);
    std::atomic<bool> bCallRan{true};
    ASSERT_TRUE(worker.Start([&, pResult](const CStopToken& token) {
        bCallRan = CallOnGuiThread(&context, token, [pResult, token] {
            QDialog dialog;
            *pResult = ExecModalUntilStop(dialog, token);
        });
    }));

    // The GUI thread raises the stop from inside the dialog's modal loop, as the window's close handler
    // would, and waits for the worker there.
    std::atomic<bool> bDialogWasOpen{false}, bWorkerEnded{false};
    std::atomic<qint64> elapsed{-1};
    QTimer::singleShot(300, &context, [&] {
        bDialogWasOpen = QApplication::activeModalWidget() != nullptr;
        QElapsedTimer timer;
        timer.start();
        stop.RequestStop();
        bWorkerEnded = worker.Wait(2000);
        elapsed = timer.elapsed();
    });
    ASSERT_TRUE(PumpUntil([&] { return pResult->load() != -1; }, 5000)) << "the dialog stayed open";
    EXPECT_TRUE(bDialogWasOpen);
    EXPECT_TRUE(bWorkerEnded) << "closing must not dead-lock against the worker";
    EXPECT_LT(elapsed, 500);
    EXPECT_FALSE(bCallRan) << "the worker learns that the call did not complete";
    EXPECT_EQ(*pResult, int(QDialog::Rejected));
}

TEST(WorkerStop, GuiCallToAVanishedReceiverReturns) {
    auto pContext = std::make_unique<QObject>();
    CStopSource stop;
    CWorker worker(stop.Token());
    std::atomic<int> outcome{-1};
    QObject* pRaw = pContext.get();
    std::atomic<bool> bQueued{false};
    ASSERT_TRUE(worker.Start([&](const CStopToken& token) {
        bQueued = true;
        outcome = CallOnGuiThread(pRaw, token, [] {}) ? 1 : 0;
    }));
    while (!bQueued)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms); // the call is queued by now
    pContext.reset();                   // the receiver goes away with the call unrun
    ASSERT_TRUE(worker.Wait(2000)) << "a call whose receiver is gone must not hold the worker";
    EXPECT_EQ(outcome, 0);
}

TEST(WorkerStop, CallFromTheGuiThreadRunsAtOnce) {
    QObject context;
    CStopSource stop;
    auto value = CallOnGuiThread<int>(&context, stop.Token(), [] { return 42; });
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, 42);
    stop.RequestStop();
    EXPECT_FALSE(CallOnGuiThread(&context, stop.Token(), [] {}));
}
