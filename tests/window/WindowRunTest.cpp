// The window through whole runs: the success box, refusals before anything is sent, the start button after
// a run, closing at every stage, and the verdict recorded before the closing box.
#include "linedb/LineDb.h"
#include "tests/support/PgTestServer.h"
#include "tests/window/WindowFixture.h"

#include <condition_variable>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

TEST_F(WindowTest, WholeRunEndsWithTheSuccessBox) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff"));
    StartBoard({"--hook", MacHookFor(lab.BoardNs())});
    CInNamespace inHost(lab.HostNs());
    ASSERT_TRUE(inHost.In());

    auto window = MakeWindow({});
    CRobot robot(*window);
    bool bInTime = ExecWindow(
        *window,
        [&] {
            QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
            QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
            QTimer* poll = new QTimer(window.get());
            QObject::connect(poll, &QTimer::timeout, [&] {
                if (!robot.m_boxes.empty() &&
                    robot.m_boxes.back().strText == RunEndRow(ERunEnd::Verified).pszBox &&
                    !window->IsRunning() && window->m_btnStart->isEnabled()) {
                    if (const char* dir = getenv("QAN640_SCREENSHOTS"))
                        QGuiApplication::primaryScreen()->grabWindow(0).save(
                            QString("%1/window-end.png").arg(dir));
                    window->done(QDialog::Accepted);
                }
            });
            poll->start(50);
            // QAN640_SCREENSHOTS=DIR (under a real X server): the screen at start, mid-run and at the end.
            if (const char* dir = getenv("QAN640_SCREENSHOTS")) {
                QTimer* shots = new QTimer(window.get());
                QObject::connect(shots, &QTimer::timeout, [dir, &window, n = 0]() mutable {
                    QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
                    screen.save(QString("%1/window-%2.png").arg(dir).arg(n++, 2, 10, QChar('0')));
                    Q_UNUSED(window);
                });
                shots->start(700);
            }
        },
        60000);
    EXPECT_TRUE(bInTime) << window->m_log.m_strLog;
    EXPECT_EQ(window->m_nRunsStarted, 1);
    std::vector<std::string> texts;
    for (const SSeenBox& box : robot.m_boxes)
        texts.push_back(box.strText);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Comandos enviados com sucesso\n Desligue o QAN640, remova o jumper e "
                         "religue-o",
                         "02:3A:7C:1a:2B:3c", RunEndRow(ERunEnd::Verified).pszBox}));
    EXPECT_TRUE(window->m_btnStart->isEnabled());
    EXPECT_NE(window->m_edtLog->toPlainText().indexOf("MAC address lido:02:3a:7c:1a:2b:3c"), -1);
    EXPECT_TRUE(window->m_lblStage->text().startsWith(
        QString::fromUtf8("Concluído: MAC 02:3A:7C:1a:2B:3c verificado")))
        << window->m_lblStage->text().toStdString();
    // The run's row and its log are kept in the working directory.
    std::string record = ReadFile("QAN640runs.csv");
    EXPECT_NE(record.find(",ok,"), std::string::npos) << record;
    EXPECT_TRUE(FileExists("logs"));
}

// Another run holds the port, or QAN640net.conf names a card this PC lacks (judged inside the test's own
// namespaces): the run ends at once with a type-16 box saying why, and the board hears nothing.
TEST_F(WindowTest, RunRefusedBeforeAnythingIsSent) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    CInNamespace inHost(lab.HostNs());
    ASSERT_TRUE(inHost.In());
    const std::pair<const char*, std::string> cases[] = {
        {"qh9",
         RunEndRow(ERunEnd::NoBoardCard).pszBox + std::string("\nA placa de rede qh9 não existe neste PC.")},
        {"",
         "A porta serial escolhida já está em uso por outra execução deste programa.\nAguarde o fim dela ou "
         "escolha outra porta"},
    };
    for (const auto& [pszNetCard, strBox] : cases) {
        StartBoard({"--transcript", "transcript"});
        WriteFile("./QAN640net.conf", pszNetCard);
        CPortLock other;
        ASSERT_TRUE(*pszNetCard || other.Acquire(m_pBoard->Port()) == CPortLock::EResult::Locked);
        auto window = MakeWindow({});
        CRobot robot(*window);
        EXPECT_TRUE(ExecWindow(
            *window,
            [&] {
                QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
                QTimer* poll = new QTimer(window.get());
                QObject::connect(poll, &QTimer::timeout, [&] {
                    if (!robot.m_boxes.empty() && !window->IsRunning() && window->m_btnStart->isEnabled())
                        window->done(QDialog::Accepted);
                });
                poll->start(50);
            },
            20000));
        ASSERT_EQ(robot.m_boxes.size(), 1u);
        EXPECT_EQ(robot.m_boxes[0].strText, strBox);
        EXPECT_EQ(robot.m_boxes[0].eIcon, QMessageBox::Critical);
        EXPECT_TRUE(window->m_lblStage->text().startsWith(QString::fromUtf8("Falhou na etapa 1:")));
        EXPECT_EQ(ReadFile("transcript").find("first-stage image received"), std::string::npos)
            << "nothing sent";
        m_pBoard.reset();
    }
}

// The button comes back only once the run's thread has ended, so a press the moment it is enabled starts the
// next run (a press while the old thread was still ending used to be dropped, leaving the button enabled).
TEST_F(WindowTest, ButtonComesBackWhenTheRunHasEndedAndAPressThenStartsTheNextRun) {
    CEnvOverride mode("QAN640_LDR_MODE", "fail"); // each run ends at stage 2 with its box
    StartBoard({});
    auto window = MakeWindow({});
    CRobot robot(*window);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<bool> runningWhenEnabled;
    CEventWatch watch(w.m_btnStart, QEvent::EnabledChange, [&] {
        if (!w.m_btnStart->isEnabled())
            return;
        runningWhenEnabled.push_back(w.IsRunning());
        if (runningWhenEnabled.size() == 1) // the next press as soon as the event loop takes one
            QTimer::singleShot(0, &w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); });
    });
    bool bInTime = ExecWindow(
        w,
        [&] {
            QTest::mouseClick(w.m_btnStart, Qt::LeftButton);
            QTimer* poll = new QTimer(&w);
            QObject::connect(poll, &QTimer::timeout, [&] {
                if (runningWhenEnabled.size() >= 2)
                    w.done(QDialog::Accepted);
            });
            poll->start(20);
        },
        30000);
    EXPECT_TRUE(bInTime) << w.m_log.m_strLog;
    EXPECT_EQ(w.m_nRunsStarted, 2);
    EXPECT_EQ(runningWhenEnabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(robot.m_boxes.size(), 2u);
}

// Closing the window at every stage of a run: it ends within 2 s, the loader is gone, the port is free and no
// box or dialog is left.
TEST_F(WindowTest, ClosingAtEveryStage) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> board;
        const char* pszLoaderMode;
        std::function<bool(CQAN640BootLoaderCommands&)> fnWhen;
    };
    // The log pane, not the worker's own text, which the worker is still appending to.
    auto logHas = [](const char* text) {
        return [text](CQAN640BootLoaderCommands& w) { return w.m_edtLog->toPlainText().contains(text); };
    };
    auto visible = [](const char* className) {
        return [className](CQAN640BootLoaderCommands&) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->inherits(className))
                    return true;
            }
            return false;
        };
    };
    std::vector<SCase> cases = {
        {"loader", {}, "hang", [](CQAN640BootLoaderCommands& w) { return w.m_run.m_hLoaderProcess.IsSet(); }},
        {"exchange", {"--tftp-ms", "60000"}, "", logHas("Loading:")},
        {"box", {}, "", visible("QMessageBox")},
        {"mac dialog", {}, "", visible("CDialogMacAddress")},
        {"arp loop", {}, "", logHas("Lendo MAC address:")},
    };
    CSilentArp arp;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CEnvOverride mode("QAN640_LDR_MODE", *c.pszLoaderMode ? c.pszLoaderMode : "ok");
        StartBoard(c.board);
        auto window = MakeWindow({}, &arp);
        CRobot robot(*window);
        CQAN640BootLoaderCommands& w = *window;
        robot.m_fnCloseWhen = [&w, fn = c.fnWhen] { return fn(w); };
        robot.m_bHoldBoxes = std::string(c.pszName) == "box";
        robot.m_bHoldDialog = std::string(c.pszName) == "mac dialog";
        bool bInTime = ExecWindow(
            w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000);
        EXPECT_TRUE(bInTime) << "never reached the stage: " << w.m_log.m_strLog;
        EXPECT_GE(robot.m_nCloseMs, 0);
        EXPECT_LT(robot.m_nCloseMs, 2000);
        EXPECT_FALSE(w.IsRunning());
        EXPECT_FALSE(w.m_run.m_hLoaderProcess.IsSet());
        QTest::qWait(50); // the rejected boxes' loops unwind
        for (QWidget* top : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(top->isVisible() && top != &w) << top->metaObject()->className();
        }
        CUart uart(100);
        EXPECT_EQ(uart.Open(m_pBoard->Port(), 57600), 1) << "port not released";
        window.reset();
        m_pBoard.reset();
        EXPECT_TRUE(NoChildrenLeft());
    }
}

// Closing while the EEPROM is written asks first: "Continuar" keeps the run going, "Fechar" stops it, and the
// stopped row says that the board may have been left without a boot image.
TEST_F(WindowTest, ClosingWhileTheEepromIsWrittenAsksFirst) {
    StartBoard({"--eeprom-ms", "60000"});
    auto window = MakeWindow({});
    CQAN640BootLoaderCommands& w = *window;
    std::vector<bool> runningAfterAnswer;
    bool bAsking = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (!bAsking && runningAfterAnswer.size() < 2 && w.IsRunning() &&
            w.m_lblStage->text().startsWith("Etapa 7 de 17:")) {
            bAsking = true;
            const char* pszAnswer = runningAfterAnswer.empty() ? "Continuar" : "Fechar";
            QTimer::singleShot(50, [pszAnswer] {
                for (QWidget* top : QApplication::topLevelWidgets())
                    if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
                        for (QAbstractButton* button : box->buttons())
                            if (button->text() == pszAnswer &&
                                box->text() == CQAN640BootLoaderCommands::kMsgCloseWhileWriting)
                                button->click();
            });
            w.close();
            runningAfterAnswer.push_back(w.IsRunning());
            bAsking = false;
        }
    });
    closer.start(20);
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000));
    EXPECT_EQ(runningAfterAnswer, (std::vector<bool>{true, false}));
    std::string strRecord = ReadFile(kRunRecordFileName);
    EXPECT_NE(strRecord.find(",stopped,7,"), std::string::npos) << strRecord;
    EXPECT_NE(strRecord.find("Interrompido durante a gravação da EEPROM"), std::string::npos) << strRecord;
    window.reset();
    m_pBoard.reset();
}

// The verdict is in the record as the closing box appears, however long the operator leaves it open; a record
// that cannot be written turns the progress line red and says so in the log.
TEST_F(WindowTest, VerdictRecordedBeforeTheClosingBox) {
    for (bool bRecordBlocked : {false, true}) {
        SCOPED_TRACE(bRecordBlocked ? "record blocked" : "record writable");
        unlink(kRunRecordFileName);
        rmdir(kRunRecordFileName);
        // A folder in the record's place cannot be written, also by root.
        if (bRecordBlocked) {
            ASSERT_EQ(mkdir(kRunRecordFileName, 0755), 0);
        }
        StartBoard({"--fault", "tftp-error"});
        auto window = MakeWindow({});
        CRobot robot(*window);
        robot.m_bHoldBoxes = true;
        std::string strRecordWhileOpen;
        QString labelWhileOpen, styleWhileOpen;
        robot.m_fnCloseWhen = [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->inherits("QMessageBox")) {
                    strRecordWhileOpen = bRecordBlocked ? "" : ReadFile(kRunRecordFileName);
                    labelWhileOpen = window->m_lblStage->text();
                    styleWhileOpen = window->m_lblStage->styleSheet();
                    return true;
                }
            }
            return false;
        };
        EXPECT_TRUE(ExecWindow(
            *window, [&] { QTest::mouseClick(window->m_btnStart, Qt::LeftButton); }, 30000));
        if (bRecordBlocked) {
            EXPECT_TRUE(
                labelWhileOpen.startsWith(QString::fromUtf8("REGISTRO NÃO SALVO: Registro da execução")))
                << labelWhileOpen.toStdString();
            EXPECT_TRUE(styleWhileOpen.contains("red"));
            EXPECT_NE(
                window->m_edtLog->toPlainText().indexOf(QString::fromUtf8("Registro da execução não salvo")),
                -1);
        } else {
            EXPECT_NE(strRecordWhileOpen.find(",failed,6,"), std::string::npos) << strRecordWhileOpen;
            EXPECT_FALSE(styleWhileOpen.contains("red"));
        }
        m_pBoard.reset();
    }
}

// The range's next free address waits in the MAC dialog's field; an address the record shows in a board
// brings the question, No by default: No goes back to the dialog, Yes goes on and the row says so.
TEST_F(WindowTest, RecordedAddressAskedAboutAndRangeOffered) {
    WriteFile(std::string("./") + kRunRecordFileName,
              "\xEF\xBB\xBFh\r\n2026-01-02T10:00:00-03:00,e,/dev/ttyOld,02:3A:7C:00:10:00,,ok,17,x,1,\r\n");
    WriteFile("./QAN640macrange.conf", "# lote\n02:3A:7C:00:10:00\n02:3A:7C:00:10:09\n");
    StartBoard({});
    CSilentArp arp;
    auto window = MakeWindow({}, &arp);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<QString> offered;
    std::vector<std::string> questions;
    std::vector<bool> defaultNo;
    const char* pszShots = getenv("QAN640_SCREENSHOTS");
    auto shoot = [pszShots](const char* pszName) {
        if (pszShots)
            QGuiApplication::primaryScreen()->grabWindow(0).save(QString("%1/%2.png").arg(pszShots, pszName));
    };
    QTimer operatorTimer;
    PlayUntilTheMacCheck(
        w, operatorTimer,
        [&](QMessageBox& box) {
            questions.push_back(box.text().toStdString());
            defaultNo.push_back(box.defaultButton() == box.button(QMessageBox::No));
            shoot("mac-question");
            box.button(questions.size() == 1 ? QMessageBox::No : QMessageBox::Yes)->click();
        },
        [&](CDialogMacAddress& dialog) {
            offered.push_back(dialog.m_prefixCombo->currentText() + ":" + dialog.m_suffixEdit->text());
            shoot("mac-dialog-offered");
            dialog.m_suffixEdit->setText("00-10-00"); // the operator overtypes with a recorded one
        });
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000))
        << w.m_log.m_strLog;

    EXPECT_EQ(offered, (std::vector<QString>{"02:3A:7C:00:10:01", "02:3A:7C:00:10:01"}));
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "O endereço MAC 02:3A:7C:00:10:00 já foi gravado em uma placa (em "
                            "2026-01-02T10:00:00-03:00, na porta /dev/ttyOld).\nÉ a mesma placa sendo "
                            "provisionada novamente?");
    EXPECT_EQ(defaultNo, (std::vector<bool>{true, true}));
    std::string strRecord = ReadFile(kRunRecordFileName);
    EXPECT_NE(strRecord.find("02:3A:7C:00:10:00,,stopped,16, (MAC já gravado antes; o operador confirmou"),
              std::string::npos)
        << strRecord;
    EXPECT_TRUE(QDir(".QAN640macs.reserved").isEmpty()) << "the offered address is free again";
}

// The line's database stalls (its server's processes stopped: a frozen disk) while the run checks the typed
// address: closing the window still ends the run within 2 s, and its row waits in the outbox.
TEST_F(WindowTest, ClosingWhileTheLineDatabaseStalls) {
    CPgTestServer server;
    ASSERT_EQ(server.Start(), "");
    {
        CLineDb db(server.Conninfo());
        std::string strError;
        ASSERT_EQ(db.Connect(strError, false), CLineDb::EState::Ready) << strError;
        ASSERT_TRUE(db.InitSchema(strError)) << strError;
    }
    WriteFile("./QAN640db.conf", server.Conninfo() + "\n");
    StartBoard({});
    CSilentArp arp;
    auto window = MakeWindow({}, &arp);
    CQAN640BootLoaderCommands& w = *window;
    CRobot robot(w);
    QElapsedTimer sinceFrozen;
    // Frozen as the MAC dialog shows; the robot answers it, and the check then waits on the server.
    robot.m_fnCloseWhen = [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (!sinceFrozen.isValid() && top->isVisible() && qobject_cast<CDialogMacAddress*>(top)) {
                EXPECT_TRUE(server.SignalAll(SIGSTOP));
                sinceFrozen.start();
            }
        return sinceFrozen.isValid() && sinceFrozen.elapsed() > 500;
    };
    // Should the close hang, the server is thawed after a while so that the test fails instead of hanging.
    std::mutex mutex;
    std::condition_variable_any never;
    std::jthread thaw([&](std::stop_token stop) {
        std::unique_lock lock(mutex);
        never.wait_for(lock, stop, 20s, [] { return false; });
        server.SignalAll(SIGCONT);
    });
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000))
        << w.m_log.m_strLog;
    thaw.request_stop();
    thaw.join();
    EXPECT_GE(robot.m_nCloseMs, 0);
    EXPECT_LT(robot.m_nCloseMs, 2000);
    EXPECT_EQ(QDir(".QAN640db.outbox").entryList(QDir::Files).size(), 1);
}

// The line's database down: the dialog offers nothing (no address from a local guess), the warning stays on
// the progress line, the typed address is checked against the record and the run goes on; its row waits.
TEST_F(WindowTest, LineDatabaseDownTheOperatorTypesTheAddress) {
    WriteFile("./QAN640macrange.conf", "02:3A:7C:00:10:00\n02:3A:7C:00:10:09\n");
    WriteFile("./QAN640db.conf", "host=" + m_strDir + "/no-server dbname=qan640\n");
    StartBoard({});
    CSilentArp arp;
    auto window = MakeWindow({}, &arp);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<QString> offered;
    QString stageLine;
    QTimer operatorTimer;
    PlayUntilTheMacCheck(
        w, operatorTimer,
        [](QMessageBox& box) {
            ADD_FAILURE() << "asked: " << box.text().toStdString();
            box.button(QMessageBox::No)->click();
        },
        [&](CDialogMacAddress& dialog) {
            offered.push_back(dialog.m_suffixEdit->text());
            dialog.m_suffixEdit->setText("00-10-05");
        },
        [&] { stageLine = w.m_lblStage->text(); });
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000))
        << w.m_log.m_strLog;

    EXPECT_EQ(offered, (std::vector<QString>{""}));
    EXPECT_TRUE(stageLine.contains(QString::fromUtf8("Aviso: Banco de dados da linha indisponível")))
        << stageLine.toStdString();
    EXPECT_NE(ReadFile(kRunRecordFileName).find("02:3A:7C:00:10:05,,stopped,16,"), std::string::npos);
    EXPECT_EQ(QDir(".QAN640db.outbox").entryList(QDir::Files).size(), 1);
}
