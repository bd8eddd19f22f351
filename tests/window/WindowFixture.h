#pragma once

// What the window's tests share: the fixture with its whole-run scope and virtual board, and the robot that
// plays the operator.
#include "app/MainDialog.h"

#include "core/DebugOutput.h"
#include "links/PortLock.h"
#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "mac/DialogMacAddress.h"
#include "provisioning/Provisioning.h"
#include "records/RunRecord.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/loader/LoaderTestSupport.h"
#include "tests/loader/WholeRunScope.h"
#include "tests/support/Pty.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <unistd.h>

// An ARP service with no board behind it: every query comes back empty.
class CSilentArp : public IArpQuery {
public:
    uint32_t SendArp(uint32_t, void*, uint32_t*, const CStopToken& stop) override {
        stop.SleepFor(200);
        return ARP_ERROR_BAD_NET_NAME;
    }
};

struct SSeenBox {
    std::string strText;
    QMessageBox::Icon eIcon;
};

// The operator at the window: closes each box (noting it) and types the MAC digits into the MAC dialog. With
// fnCloseWhen set, closes the main window instead once that condition holds.
class CRobot {
public:
    explicit CRobot(CQAN640BootLoaderCommands& window) : m_window(window) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Step(); });
        m_timer.start(20);
    }

    std::vector<SSeenBox> m_boxes;
    std::string m_strDigits = "1a2B3c";
    std::function<bool()> m_fnCloseWhen;
    bool m_bHoldBoxes = false;
    bool m_bHoldDialog = false;
    qint64 m_nCloseMs = -1;

private:
    void Step() {
        if (m_fnCloseWhen && m_nCloseMs < 0 && m_fnCloseWhen()) {
            QElapsedTimer timer;
            timer.start();
            m_window.close();
            m_nCloseMs = timer.elapsed();
            return;
        }
        if (m_nCloseMs >= 0)
            return;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                if (m_bHoldBoxes)
                    continue; // left open for the close
                m_boxes.push_back({box->text().toStdString(), box->icon()});
                box->button(QMessageBox::Ok)->click();
                return;
            }
            if (auto* dialog = qobject_cast<CDialogMacAddress*>(w)) {
                if (m_bHoldDialog)
                    continue; // left open for the close
                QTest::keyClicks(dialog->m_suffixEdit, QString::fromStdString(m_strDigits));
                QTest::mouseClick(dialog->findChild<QPushButton*>("buttonOk"), Qt::LeftButton);
                return;
            }
        }
    }

    CQAN640BootLoaderCommands& m_window;
    QTimer m_timer;
};

// Calls fn whenever `target` receives an event of type eType, at once (a change event comes with the change
// already made).
class CEventWatch : public QObject {
public:
    CEventWatch(QObject* pTarget, QEvent::Type eType, std::function<void()> fn)
        : m_eType(eType), m_fn(std::move(fn)) {
        pTarget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        if (pEvent->type() == m_eType)
            m_fn();
        return false;
    }

private:
    QEvent::Type m_eType;
    std::function<void()> m_fn;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pScope = std::make_unique<CWholeRunScope>();
        m_strDir = m_pScope->Dir();
    }
    void TearDown() override {
        m_pBoard.reset();
        m_pScope.reset();
    }

    // pArp: the runs' ARP service (null: the platform's, only inside the test's own namespaces).
    std::unique_ptr<CQAN640BootLoaderCommands> MakeWindow(std::vector<std::string> ports,
                                                          IArpQuery* pArp = nullptr) {
        auto window = std::make_unique<CQAN640BootLoaderCommands>();
        window->SetPortLister([ports](std::vector<std::string>& names) { names = ports; });
        window->SetRunOptions(WholeRunOptions(pArp));
        return window;
    }

    void StartBoard(std::vector<std::string> extra) {
        m_pBoard = std::make_unique<CSimProcess>(WholeRunBoardArgs(extra), m_strDir);
        ASSERT_FALSE(m_pBoard->Port().empty());
        WriteFile("./QAN640BootLoader.conf", m_pBoard->Port());
    }

    // The operator of a run until the MAC check begins, when the window is closed: Ok on each plain box,
    // fnOnQuestion answers a Yes/No box, fnOnDialog fills the MAC dialog (Ok is pressed then), fnAtCheck
    // notes what the window shows once the check has begun.
    static void PlayUntilTheMacCheck(CQAN640BootLoaderCommands& w, QTimer& timer,
                                     std::function<void(QMessageBox&)> fnOnQuestion,
                                     std::function<void(CDialogMacAddress&)> fnOnDialog,
                                     std::function<void()> fnAtCheck = {}) {
        QObject::connect(&timer, &QTimer::timeout, [&w, fnOnQuestion, fnOnDialog, fnAtCheck] {
            if (w.m_edtLog->toPlainText().contains("Lendo MAC address:")) {
                if (fnAtCheck)
                    fnAtCheck();
                w.close();
                return;
            }
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (!top->isVisible())
                    continue;
                if (auto* box = qobject_cast<QMessageBox*>(top)) {
                    if (box->button(QMessageBox::Yes))
                        fnOnQuestion(*box);
                    else
                        box->button(QMessageBox::Ok)->click();
                    return;
                }
                if (auto* dialog = qobject_cast<CDialogMacAddress*>(top)) {
                    fnOnDialog(*dialog);
                    QTest::mouseClick(dialog->findChild<QPushButton*>("buttonOk"), Qt::LeftButton);
                    return;
                }
            }
        });
        timer.start(100);
    }

    // Runs the window until it closes or `limit` passes; false on the time limit.
    static bool ExecWindow(CQAN640BootLoaderCommands& window, std::function<void()> fnStart, int limitMs) {
        QTimer::singleShot(0, &window, fnStart);
        QTimer::singleShot(limitMs, &window, [&window] { window.done(QDialog::Rejected); });
        QElapsedTimer timer;
        timer.start();
        window.exec();
        return timer.elapsed() < limitMs;
    }

    std::unique_ptr<CWholeRunScope> m_pScope;
    std::string m_strDir;
    std::unique_ptr<CSimProcess> m_pBoard;
};
