// The station window: four virtual boards on four links, one slot each, driven by keys and clicks as the
// operator at the bench would.
#include "records/RunRecord.h"
#include "tests/window/WindowFixture.h"

#include <algorithm>
#include <thread>

namespace {

std::string SlotMac(size_t nSlot) {
    return "02:3A:7C:00:00:0" + std::to_string(nSlot + 1);
}

// The operator of a station: takes the keyboard to each slot that asks (F1, F2, ...), scans the slot's
// address followed by Enter, and answers every other question with its default key. A held slot is left
// waiting.
class CStationRobot {
public:
    explicit CStationRobot(CQAN640BootLoaderCommands& window) : m_window(window) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Step(); });
        m_timer.start(20);
    }
    int m_nHeld = -1;
    int m_nShots = 0;
    int m_nNotReached = 0;
    std::vector<std::vector<std::string>> m_asked = std::vector<std::vector<std::string>>(4);

private:
    void Step() {
        for (size_t i = 0; i < m_window.m_slots.size(); ++i) {
            CStationSlot& slot = *m_window.m_slots[i];
            if (!slot.m_pQuestion->isVisible())
                continue;
            std::string strText = slot.m_lblQuestion->text().toStdString();
            if (m_asked[i].empty() || m_asked[i].back() != strText)
                m_asked[i].push_back(strText);
            if (int(i) == m_nHeld)
                continue;
            // F1, F2, ... reach only an active window: one without a window manager to activate it (the
            // screenshots' X server) has the slot take the keyboard itself.
            if (m_window.isActiveWindow())
                QTest::keyClick(&m_window, Qt::Key(Qt::Key_F1 + int(i)));
            else
                slot.FocusSlot();
            QWidget* pFocus = QApplication::focusWidget();
            if (!pFocus || !slot.m_pQuestion->isAncestorOf(pFocus)) {
                ++m_nNotReached; // the key did not take the keyboard to the question
            } else if (pFocus == slot.m_edtAnswer) {
                slot.m_edtAnswer->clear();
                QTest::keyClicks(pFocus, QString::fromStdString(SlotMac(i)));
                QTest::keyClick(pFocus, Qt::Key_Return);
            } else {
                QTest::keyClick(pFocus, Qt::Key_Space);
            }
            return; // one answer per tick, as a person gives them
        }
    }
    CQAN640BootLoaderCommands& m_window;
    QTimer m_timer;
};

class StationWindowTest : public WindowTest {
protected:
    // Four boards, each on its own link and in the station's file with its card; iWrong's board answers
    // with another address than the one it stored.
    void StartStation(CNetnsLab& lab, std::vector<std::string> extra, int iWrong = -1, int iSlow = -1) {
        std::string strConf;
        for (size_t k = 0; k < 4; ++k) {
            ASSERT_TRUE(k == 0 || lab.AddLink() == int(k));
            ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff", k));
            std::vector<std::string> args = extra;
            if (int(k) == iSlow)
                args.insert(args.end(), {"--tftp-ms", "6000"});
            args.insert(args.end(),
                        {"--hook", int(k) == iWrong ? MacHookFor(lab.BoardNs(k), "02:3a:7c:99:99:99")
                                                    : MacHookFor(lab.BoardNs(k))});
            m_boards.push_back(std::make_unique<CSimProcess>(WholeRunBoardArgs(args), m_strDir));
            ASSERT_FALSE(m_boards.back()->Port().empty());
            strConf += m_boards.back()->Port() + " qh" + std::to_string(k) + "\n";
        }
        WriteFile("./QAN640net.conf", strConf);
    }
    void TearDown() override {
        m_boards.clear();
        WindowTest::TearDown();
    }
    static std::vector<std::string> Words(const CQAN640BootLoaderCommands& w) {
        std::vector<std::string> words;
        for (const auto& pSlot : w.m_slots)
            words.push_back(pSlot->m_lblState->text().toStdString());
        return words;
    }
    std::vector<std::unique_ptr<CSimProcess>> m_boards;
};

} // namespace

// All four verified at once; a board that answers with another address fails only its own slot, and a slot
// left at the power-cycle request draws the eye and holds no other slot (one of them still writing its
// EEPROM), and goes on once answered.
TEST_F(StationWindowTest, FourBoardsSideBySide) {
    struct SCase {
        const char* pszName;
        int iWrong, iHeld, iSlow;
        std::vector<std::string> words;
    };
    const std::string ok = "Aprovada", bad = "Reprovada";
    const std::vector<SCase> cases = {
        {"all verified", -1, -1, -1, {ok, ok, ok, ok}},
        {"wrong mac, one held at the power cycle", 2, 1, 3, {ok, ok, bad, ok}},
    };
    // QAN640_SCREENSHOTS=DIR (under a real X server): the four states at once.
    const char* pszShots = getenv("QAN640_SCREENSHOTS");
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        unlink(kRunRecordFileName);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        StartStation(lab, {}, c.iWrong, c.iSlow);
        CInNamespace inHost(lab.HostNs());
        ASSERT_TRUE(inHost.In());
        auto window = MakeWindow({});
        CQAN640BootLoaderCommands& w = *window;
        CStationRobot robot(w);
        robot.m_nHeld = c.iHeld;
        std::vector<std::string> heldWhileOthersDone;
        QString titleWhileHeld;
        bool bInTime = ExecWindow(
            w,
            [&] {
                ASSERT_EQ(w.m_slots.size(), 4u);
                EXPECT_FALSE(w.m_btnStart->isVisible());
                for (const auto& pSlot : w.m_slots)
                    QTest::mouseClick(pSlot->m_btnStart, Qt::LeftButton);
                QTimer* poll = new QTimer(&w);
                QObject::connect(poll, &QTimer::timeout, [&] {
                    int nDone = 0;
                    for (const auto& pSlot : w.m_slots)
                        nDone += !pSlot->IsRunning() && pSlot->m_nRunsStarted == 1;
                    std::vector<std::string> now = Words(w);
                    // The first with the logs hidden, the second with one shown.
                    if (pszShots && c.iHeld >= 0 && robot.m_nShots < 2 &&
                        now == std::vector<std::string>{ok, "Aguardando operador", bad, "Em andamento"}) {
                        QGuiApplication::primaryScreen()->grabWindow(0).save(
                            QString("%1/station-%2.png").arg(pszShots).arg(robot.m_nShots++));
                        w.m_slots[3]->m_btnLog->click();
                    }
                    if (robot.m_nHeld >= 0 && nDone == 3) {
                        heldWhileOthersDone = Words(w);
                        titleWhileHeld = w.windowTitle();
                        robot.m_nHeld = -1;
                    }
                    if (nDone == 4)
                        w.done(QDialog::Accepted);
                });
                poll->start(50);
            },
            90000);
        for (const auto& pSlot : w.m_slots)
            EXPECT_TRUE(bInTime) << pSlot->m_log.m_strLog.substr(pSlot->m_log.m_strLog.size() / 2);
        EXPECT_EQ(Words(w), c.words);
        EXPECT_EQ(robot.m_nNotReached, 0);
        if (c.iHeld >= 0) {
            EXPECT_EQ(heldWhileOthersDone, (std::vector<std::string>{ok, "Aguardando operador", bad, ok}));
            EXPECT_TRUE(titleWhileHeld.startsWith("(1 aguardando operador)")) << titleWhileHeld.toStdString();
            ASSERT_FALSE(robot.m_asked[1].empty());
            EXPECT_EQ(robot.m_asked[1].front(), CProvisioningRun::kMsgPowerCycle);
        }
        // Each slot's run is a whole run of its own port: its row, its board's address.
        std::string strRecord = ReadFile(kRunRecordFileName);
        for (size_t k = 0; k < 4; ++k) {
            std::string strRow = m_boards[k]->Port() + "," + SlotMac(k) + "," +
                                 (c.words[k] == ok ? SlotMac(k) + ",ok,17," : "02:3A:7C:99:99:99,failed,16,");
            EXPECT_NE(strRecord.find(strRow), std::string::npos) << strRow << "\n" << strRecord;
            ASSERT_FALSE(robot.m_asked[k].empty());
            EXPECT_EQ(robot.m_asked[k].back(), int(k) == c.iWrong ? RunEndRow(ERunEnd::MacDiffers).pszBox
                                                                  : RunEndRow(ERunEnd::Verified).pszBox);
        }
        window.reset();
        m_boards.clear();
    }
}

// Closing while four boards write their EEPROM asks once, naming them; "Fechar" stops every slot within 2 s:
// loaders gone, ports free, each row stopped.
TEST_F(StationWindowTest, ClosingStopsEverySlot) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    StartStation(lab, {"--eeprom-ms", "60000"});
    CInNamespace inHost(lab.HostNs());
    ASSERT_TRUE(inHost.In());
    auto window = MakeWindow({});
    CQAN640BootLoaderCommands& w = *window;
    CStationRobot robot(w);
    std::vector<std::string> questions;
    QElapsedTimer sinceFechar;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        bool bAllWriting = std::all_of(w.m_slots.begin(), w.m_slots.end(), [](const auto& pSlot) {
            return pSlot->State().nStage == RUN_STAGE_EEPROM;
        });
        if (!bAllWriting || !questions.empty())
            return;
        QTimer::singleShot(50, [&] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible()) {
                    questions.push_back(box->text().toStdString());
                    sinceFechar.start();
                    box->button(QMessageBox::Yes)->click();
                }
        });
        w.close();
    });
    closer.start(20);
    EXPECT_TRUE(ExecWindow(
        w,
        [&] {
            for (const auto& pSlot : w.m_slots)
                QTest::mouseClick(pSlot->m_btnStart, Qt::LeftButton);
        },
        60000));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_LT(sinceFechar.elapsed(), 2000);
    std::string strPorts;
    for (size_t k = 0; k < 4; ++k)
        strPorts += (k ? ", " : "") + m_boards[k]->Port();
    EXPECT_EQ(questions[0],
              "As QAN640 das portas " + strPorts +
                  " estão gravando a EEPROM: fechar agora e desligá-las pode deixá-las sem imagem de "
                  "boot.\nAs execuções das portas " +
                  strPorts + " serão interrompidas.\nFechar mesmo assim?");
    EXPECT_FALSE(w.IsRunning());
    std::string strRecord = ReadFile(kRunRecordFileName);
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_FALSE(w.m_slots[k]->m_run.m_hLoaderProcess.IsSet());
        EXPECT_NE(strRecord.find(m_boards[k]->Port() + ",,,stopped,7,"), std::string::npos) << strRecord;
        CUart uart(100);
        EXPECT_EQ(uart.Open(m_boards[k]->Port(), 57600), 1) << "port not released";
    }
    window.reset();
    m_boards.clear();
    EXPECT_TRUE(NoChildrenLeft());
}

// A slot's questions, asked from a run's thread and answered with keys: the offered address taken with Enter,
// a wrong entry kept waiting with the MAC dialog's message, a scanner's whole address, Enter on the
// reused-address question answering No, and a stop ending the wait.
TEST_F(StationWindowTest, QuestionsInsideTheSlot) {
    CStationSlot::SStation station;
    CStationSlot slot(0, {"/dev/null", "qh0"}, station);
    slot.show();
    slot.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&slot));
    CSlotStateFeed feed;
    CSlotOperator op(slot, feed);
    struct SCase {
        const char* pszName;
        std::function<std::string(const CStopToken&)> fnAsk; // on the run's thread
        std::vector<const char*> typed;                      // each followed by Enter; null: the stop
        std::string strAnswer;
    };
    const std::vector<SCase> cases = {
        {"offered",
         [&](const CStopToken& stop) {
             std::string strMac = "02:3A:7C:00:10:01";
             return op.ExecMacDialog(strMac, stop) ? strMac : "cancelled";
         },
         {""},
         "02:3A:7C:00:10:01"},
        {"wrong, then scanned",
         [&](const CStopToken& stop) {
             std::string strMac;
             return op.ExecMacDialog(strMac, stop) ? strMac : "cancelled";
         },
         {"02:3A:7C 12 zz", "023a7c1234ab"},
         "02:3A:7C:12:34:ab"},
        {"reuse",
         [&](const CStopToken& stop) { return std::to_string(int(op.ConfirmMacReuse("?", stop))); },
         {""},
         std::to_string(int(IOperator::EReuse::AskAgain))},
        {"label scanned",
         [&](const CStopToken& stop) {
             std::string strScanned;
             return op.AskLabelScan(strScanned, "", stop) ? strScanned : "cancelled";
         },
         {"023A7C000001"},
         "023A7C000001"},
        {"stop",
         [&](const CStopToken& stop) {
             std::string strSerial;
             return op.AskSerialNumber(strSerial, "", stop) ? strSerial : "stopped";
         },
         {nullptr},
         "stopped"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CStopSource stop;
        std::string strAnswer;
        std::thread run([&] { strAnswer = c.fnAsk(stop.Token()); });
        std::vector<bool> waitingAfter;
        for (const char* pszTyped : c.typed) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return slot.m_pQuestion->isVisible(); }));
            if (!pszTyped) {
                stop.RequestStop();
                break;
            }
            slot.FocusSlot();
            if (*pszTyped) {
                slot.m_edtAnswer->clear();
                QTest::keyClicks(slot.m_edtAnswer, pszTyped);
            }
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            waitingAfter.push_back(slot.m_pQuestion->isVisible());
        }
        run.join();
        EXPECT_EQ(strAnswer, c.strAnswer);
        if (c.typed.size() == 2) {
            EXPECT_EQ(waitingAfter, (std::vector<bool>{true, false}));
            EXPECT_EQ(slot.m_lblAnswerError->text(), MacInputMessage(MacInputInvalidChars));
        }
    }
}
