#pragma once

#include "app/QtLogBox.h"
#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"
#include "core/Worker.h"
#include "labels/LabelPrinter.h"
#include "ledger/RecordMacLedger.h"
#include "linedb/DbMacLedger.h"
#include "linedb/LineDb.h"
#include "linedb/LineDbRows.h"
#include "mac/NetCardFile.h"
#include "provisioning/Provisioning.h"
#include "provisioning/RunProgress.h"
#include "provisioning/SlotState.h"
#include "records/RunArchive.h"

#include <QFrame>
#include <QStringList>
#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CStationSlot;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// A question the run puts to the operator inside its slot, and the answer the slot hands back to the waiting
// worker.
struct SSlotQuestion {
    enum class EEntry { None, Mac, Text };
    QString text;
    QStringList buttons; // the first one answers with the entry
    int nDefault = 0;
    EEntry eEntry = EEntry::None;
    QString offered; // what the entry starts with
};
struct SSlotAnswer {
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    bool m_bDone = false;
    int m_nButton = -1;
    std::string m_strText;
};

// The operator of one slot: every question of its run shows inside the slot, not in a box of its own, and
// only this slot's run waits for the answer.
class CSlotOperator : public IOperator {
public:
    CSlotOperator(CStationSlot& slot, CSlotStateFeed& feed) : m_slot(slot), m_feed(feed) {}

    void ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) override;
    // One line for the whole address, as typed or as a scanner types it (followed by Enter).
    bool ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) override;
    EReuse ConfirmMacReuse(const std::string& strQuestion, const CStopToken& stop) override;
    bool AskSerialNumber(std::string& strSerial, const std::string& strError,
                         const CStopToken& stop) override;
    bool AskLabelScan(std::string& strScanned, const std::string& strError, const CStopToken& stop) override;
    void ShowWarning(const std::string& strText) override;

private:
    // A line to scan or type into, with strError above the prompt; false when cancelled or stopped.
    bool AskLine(const char* pszPrompt, std::string& strAnswer, const std::string& strError,
                 const CStopToken& stop);
    // The button pressed (the entry in strText); -1 on a stop.
    int Ask(SSlotQuestion question, std::string& strText, const CStopToken& stop);

    CStationSlot& m_slot;
    CSlotStateFeed& m_feed;
};

// One board's place in the station window: its port and card, its own start button, the run's stage, MAC and
// state (colour and word), the closing text, the run's questions and its log, shown on demand. Each slot has
// its own worker, stop, ledger and connection to the line's database; the record, the ledger's files and the
// database are the station's.
class CStationSlot : public QFrame {
    Q_OBJECT
public:
    // What the station's slots share.
    struct SStation {
        SRunOptions options;
        CLabelPrinter* pLabelPrinter = nullptr;
        std::string strConninfo; // the line's database; empty: none
        std::string strStation;
        std::string strMachineId;
        std::string strDbProblem; // a set-up error that refuses every start
    };

    CStationSlot(int nSlot, SStationPort port, const SStation& station, QWidget* pParent = nullptr);
    // No run outlives its slot.
    ~CStationSlot() override;

    void OnBnClickedStart();
    // Ends the loader at once and raises the stop; Wait then waits for the worker.
    void RequestStop();
    bool Wait(unsigned long timeoutMs) { return m_worker.Wait(timeoutMs); }
    bool IsRunning() const { return m_worker.IsRunning(); }
    SSlotState State() const { return m_feed.State(); }
    const SStationPort& Port() const { return m_port; }
    // The keyboard to the slot's question, or to its start button when it asks nothing.
    void FocusSlot();
    bool IsAsking() const;

    // Run state and log, as the working side reads them.
    CRunState m_run;
    CLogConsole m_log;
    int m_nRunsStarted = 0;

    QPushButton* m_btnStart = nullptr;
    QPushButton* m_btnLog = nullptr;
    QLabel* m_lblState = nullptr;
    QLabel* m_lblStage = nullptr;
    QLabel* m_lblMac = nullptr;
    QLabel* m_lblEnd = nullptr;
    QWidget* m_pQuestion = nullptr;
    QLabel* m_lblQuestion = nullptr;
    QLineEdit* m_edtAnswer = nullptr;
    QLabel* m_lblAnswerError = nullptr;
    std::vector<QPushButton*> m_answerButtons;
    QPlainTextEdit* m_edtLog = nullptr;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

signals:
    // The state changed (a question came or went, a stage, a verdict): the window's title follows.
    void StateChanged();

private:
    friend class CSlotOperator;
    void ThreadProc(const CStopToken& stop);
    void ShowQuestion(const SSlotQuestion& question, std::shared_ptr<SSlotAnswer> pAnswer);
    void OnAnswer(int nButton);
    void OnRunFinished(const SRunResult& result, const CRunArchive::SArchived& archived);
    void Render();

    int m_nSlot;
    SStationPort m_port;
    const SStation& m_station;
    CStopSource m_stopSource;
    std::unique_ptr<CQtLogBox> m_pLogBox;
    CSlotStateFeed m_feed;
    CSlotOperator m_operator;
    CRunProgress m_progress; // on the GUI thread
    QTimer m_renderTimer;
    QString m_strWarning;
    SSlotQuestion m_question;
    std::shared_ptr<SSlotAnswer> m_pAnswer; // the open question's; null when none
    CRecordMacLedger m_macLedger;
    std::optional<CLineDb> m_lineDb;
    std::optional<CLineDbOutlet> m_lineDbOutlet;
    std::optional<CDbMacLedger> m_dbMacLedger;
    // Last: it ends first, before anything its thread uses.
    CWorker m_worker;
};
