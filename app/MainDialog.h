#pragma once

#include "labels/LabelPrinter.h"

#include "app/QtLogBox.h"
#include "app/QtOperator.h"
#include "app/StationSlot.h"
#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"
#include "core/Worker.h"
#include "ledger/RecordMacLedger.h"
#include "linedb/DbMacLedger.h"
#include "linedb/LineDb.h"
#include "linedb/LineDbRows.h"
#include "provisioning/Provisioning.h"
#include "provisioning/RunProgress.h"
#include "provisioning/RunResult.h"
#include "records/RunArchive.h"

#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace Ui {
class MainDialog;
}

// The program's window: the port field, the start button "Iniciar" and the log of the run. Pressing the
// button remembers the port, empties the log and, a tenth of a second later, starts one worker that runs the
// provisioning against that port; the button stays disabled while it runs.
//
// Closing the window is the one way out, and it is safe at any moment: the loader child is ended at once,
// the stop is raised (every wait of the run ends, an open box or the MAC dialog is taken down), the window
// waits for the worker to finish its current step and only then goes away. Enter and Escape do not close it.
//
// A station (QAN640net.conf lists more than one port with its card) gets one slot per port instead, side by
// side, each running its own board (CStationSlot); F1, F2, ... take the keyboard to a slot. Closing then asks
// once while any slot runs and stops every slot.
class CQAN640BootLoaderCommands : public QDialog {
    Q_OBJECT
public:
    static constexpr int kStartDelayMs = 100;
    static constexpr const char* kTestKeyword = "KQZVTRX";
    static constexpr const char* kMsgSelectPort = "Selecione uma porta serial!";
    static constexpr const char* kMsgCloseWhileWriting =
        "A QAN640 está gravando a EEPROM: fechar agora e desligá-la pode deixá-la sem imagem de boot.\n"
        "Fechar mesmo assim?";

    explicit CQAN640BootLoaderCommands(QWidget* pParent = nullptr);
    ~CQAN640BootLoaderCommands() override;

    void OnInitDialog();
    void OnBnClickedStart();
    void OnTimer();
    void OnClose();

    // The run on the worker thread: disables the button and runs the provisioning; the button comes back
    // once the thread has ended.
    void BootLoaderThreadProc(const CStopToken& stop);

    // Seams for tests: the ports listed at start-up, and what the runs are given (the ARP service, the
    // loader's pauses).
    void SetPortLister(std::function<void(std::vector<std::string>&)> fnList) {
        m_fnListPorts = std::move(fnList);
    }
    void SetRunOptions(SRunOptions options) { m_runOptions = std::move(options); }
    // Whether a run goes on (in any slot of a station).
    bool IsRunning() const;
    int m_nRunsStarted = 0;

    // Run state and log, as the working side reads them.
    CRunState m_run;
    CLogConsole m_log;

    QPushButton* m_btnStart = nullptr;
    QComboBox* m_cmbPort = nullptr;
    QPlainTextEdit* m_edtLog = nullptr;
    // The progress line below the log: the stage of the run and its elapsed time, then the outcome.
    QLabel* m_lblStage = nullptr;
    // What the slots' runs read, and the station's slots in the file's order (empty for one board). Before
    // the label printer, which ends first: its reports reach the slots.
    CStationSlot::SStation m_station;
    std::vector<std::unique_ptr<CStationSlot>> m_slots;

    // What closing asks while slots run: they are named, those writing their EEPROM first of all.
    static QString StationCloseQuestion(const std::vector<std::string>& running,
                                        const std::vector<std::string>& writing);

public slots:
    // Enter (accept) and Escape (reject) would end the dialog without the close path; they do nothing.
    void accept() override {}
    void reject() override {}

protected:
    void showEvent(QShowEvent* pEvent) override;
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void DoDataExchange();
    // Reads QAN640db.conf and connects; a set-up error there is kept to refuse every start.
    void OpenLineDb();
    // Run on the GUI thread, from the worker's notifications.
    void OnStageChanged(int nStage);
    void OnRunFinished(const SRunResult& result, const CRunArchive::SArchived& archived);
    // The progress line in red when the run's row or log could not be written: with the outcome once the
    // run is over, with the first problem before.
    void ShowNotRecorded(const CRunArchive::SArchived& archived, const QString& outcome);
    void UpdateStageLine();
    void BuildStation(const std::vector<SStationPort>& ports);
    // The window's title names how many slots wait for the operator.
    void UpdateStationTitle();

    std::unique_ptr<Ui::MainDialog> m_pUi;
    CStopSource m_stopSource;
    std::unique_ptr<CQtLogBox> m_pLogBox;
    CQtOperator m_operator;
    CWorker m_worker;
    QTimer m_timer;
    bool m_bInitDone = false;
    bool m_bClosing = false;
    std::function<void(std::vector<std::string>&)> m_fnListPorts;
    SRunOptions m_runOptions;
    // The addresses already given out, asked at stage 11 of every run; the range's next one is offered.
    CRecordMacLedger m_macLedger;
    // The line's database (QAN640db.conf), when configured: every row and the ledger go there. Used by the
    // worker only once the window is up. A set-up error in it refuses every start with its message.
    std::optional<CLineDb> m_lineDb;
    std::optional<CLineDbOutlet> m_lineDbOutlet;
    std::optional<CDbMacLedger> m_dbMacLedger;
    std::string m_strStation;
    std::string m_strDbProblem;
    QString m_strWarning; // the run's warning, shown after its stage on the progress line
    QTimer m_stageTimer;
    CRunProgress m_progress; // on the GUI thread
    std::string m_strConninfo;
    QString m_strTitle;
    // Labels of verified boards go out on a thread of their own (last: it ends first, before what it reports
    // to).
    CLabelPrinter m_labelPrinter;
};
