#include "app/MainDialog.h"

#include "app/GuiCall.h"
#include "core/Cp1252.h"
#include "core/Settings.h"
#include "links/PortEnumeration.h"
#include "mac/NetCardFile.h"
#include "provisioning/EepromCheckFile.h"
#include "provisioning/SerialNumber.h"
#include "records/RecordedRun.h"
#include "records/ShiftReport.h"
#include "ui_MainDialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <algorithm>
#include <climits>
#include <strings.h>

namespace {

// Hands the run's stage and verdict notifications to the GUI thread, as the log does; fnOnStage and
// fnOnVerdict run there while the window exists (and the worker waits).
class CStagesToGui : public IRunObserver {
public:
    CStagesToGui(QObject* pWindow, const CStopToken& stop, std::function<void(int)> fnOnStage,
                 std::function<void()> fnOnVerdict)
        : m_pWindow(pWindow), m_stop(stop), m_fnOnStage(std::move(fnOnStage)),
          m_fnOnVerdict(std::move(fnOnVerdict)) {}
    void OnStageStarted(int nStage) override {
        QPointer<QObject> pWindow = m_pWindow;
        CallOnGuiThread(m_pWindow, m_stop, [pWindow, fn = m_fnOnStage, nStage] {
            if (pWindow)
                fn(nStage);
        });
    }
    void OnVerdict(const SRunResult&) override {
        QPointer<QObject> pWindow = m_pWindow;
        CallOnGuiThread(m_pWindow, m_stop, [pWindow, fn = m_fnOnVerdict] {
            if (pWindow)
                fn();
        });
    }

private:
    QObject* m_pWindow;
    const CStopToken& m_stop;
    std::function<void(int)> m_fnOnStage;
    std::function<void()> m_fnOnVerdict;
};

} // namespace

CQAN640BootLoaderCommands::CQAN640BootLoaderCommands(QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::MainDialog>()), m_operator(this),
      m_worker(m_stopSource.Token()) {
    m_pUi->setupUi(this);
    DoDataExchange();
    // A fixed frame with a close box only.
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    CQtLogBox::PrepareEdit(m_edtLog);
    m_pLogBox = std::make_unique<CQtLogBox>(m_edtLog, m_stopSource.Token());
    m_log.SetLogBox(m_pLogBox.get());

    m_timer.setSingleShot(true);
    m_timer.setInterval(kStartDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &CQAN640BootLoaderCommands::OnTimer);
    connect(m_btnStart, &QPushButton::clicked, this, &CQAN640BootLoaderCommands::OnBnClickedStart);
    m_fnListPorts = [](std::vector<std::string>& names) { EnumerateComPorts(names); };
    m_stageTimer.setInterval(1000);
    connect(&m_stageTimer, &QTimer::timeout, this, &CQAN640BootLoaderCommands::UpdateStageLine);
}

CQAN640BootLoaderCommands::~CQAN640BootLoaderCommands() {
    // Whatever way the window goes, no run outlives it.
    OnClose();
    m_log.SetLogBox(nullptr);
}

void CQAN640BootLoaderCommands::DoDataExchange() {
    m_btnStart = m_pUi->btnStart;
    m_cmbPort = m_pUi->cmbPort;
    m_edtLog = m_pUi->edtLog;
    m_lblStage = m_pUi->lblStage;
}

void CQAN640BootLoaderCommands::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    if (!m_bInitDone) {
        m_bInitDone = true;
        OnInitDialog();
    }
}

void CQAN640BootLoaderCommands::OnInitDialog() {
    std::vector<std::string> names;
    m_fnListPorts(names);
    std::string strRemembered = ReadRememberedPort();
    // The remembered port is found by name, or by the device a link to it names; nothing is opened, since
    // opening raises the modem lines of a port that a board may be on.
    int nFound = strRemembered.empty() ? -1 : FindPort(names, strRemembered);
    // Pseudo-terminals, Bluetooth ports and paths of the operator's own are not listed, but a remembered one
    // that is a serial port present is as present as a listed one.
    if (nFound < 0 && !strRemembered.empty() && ComPortExists(strRemembered)) {
        names.push_back(strRemembered);
        nFound = int(names.size() - 1);
    }
    // Without it the first port in the enumeration's own order (the lowest-numbered) is taken.
    std::string strSelected = nFound >= 0 ? names[size_t(nFound)] : names.empty() ? "" : names[0];
    // The list is sorted alphabetically, letter case aside, as the operator reads it.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    m_cmbPort->clear();
    for (const std::string& name : names)
        m_cmbPort->addItem(QString::fromLocal8Bit(name.data(), qsizetype(name.size())));
    auto itSelected = std::find(names.begin(), names.end(), strSelected);
    int nSelected = itSelected == names.end() ? -1 : int(itSelected - names.begin());
    m_cmbPort->setCurrentIndex(nSelected);
    if (nSelected < 0)
        m_cmbPort->setEditText(QString());
    m_edtLog->setFocus(Qt::OtherFocusReason);

    OpenLineDb();
    // Runs that a killed program left without their row get it now (each run does so again before it starts).
    CRunArchive archive;
    if (m_lineDb)
        archive.SetStation(m_strStation, &*m_lineDbOutlet);
    for (const std::string& strLine : archive.RecoverInterruptedRuns())
        m_log.AppendLogText((EncodeCp1252(strLine) + "\n").c_str(), true);
    m_operator.SetWarningSink([this](const QString& text) {
        m_strWarning = text;
        UpdateStageLine();
    });
}

void CQAN640BootLoaderCommands::OpenLineDb() {
    std::string strError;
    std::optional<std::string> conninfo = ReadLineDbConninfo(".", strError);
    if (!conninfo) {
        m_strDbProblem = strError;
    } else {
        m_strStation = ThisStationName();
        m_lineDb.emplace(*conninfo);
        m_lineDb->SetStation(m_strStation, ThisMachineId());
        switch (m_lineDb->Connect(strError)) {
        case CLineDb::EState::Ready:
            break;
        case CLineDb::EState::Unreachable:
            // An outage: typed addresses are checked against the record and rows wait in the outbox.
            strError = "Aviso: " + strError;
            break;
        default:
            m_strDbProblem = strError;
            break;
        }
        m_dbMacLedger.emplace(*m_lineDb, m_strStation);
        m_lineDbOutlet.emplace(*m_lineDb, ".", m_strStation);
    }
    if (!strError.empty())
        m_log.AppendLogText((EncodeCp1252(strError) + "\n").c_str(), true);
}

void CQAN640BootLoaderCommands::OnBnClickedStart() {
    if (m_bClosing)
        return;
    if (!m_strDbProblem.empty()) {
        m_operator.ShowMessageBox("Banco de dados da linha (" + std::string(kLineDbFileName) +
                                      "): " + m_strDbProblem + "\r\nNada foi enviado à QAN640",
                                  MB_TYPE_ERROR, m_stopSource.Token());
        return;
    }
    QString text = m_cmbPort->currentText();
    if (text.isEmpty()) {
        m_operator.ShowMessageBox(kMsgSelectPort, MB_TYPE_ERROR, m_stopSource.Token());
        return;
    }
    if (text == QLatin1String(kTestKeyword)) {
        // The MAC dialog alone, as a check of the prefix file and the dialog: nothing else happens.
        AskMacAddress(m_operator, m_stopSource.Token());
        return;
    }
    QByteArray port = text.toLocal8Bit();
    std::string strPort(port.constData(), size_t(port.size()));
    m_log.ClearLog();
    SaveRememberedPort(strPort);
    m_run.m_strPort = strPort;
    m_timer.start(); // a second press before it fires restarts it: still one run
}

void CQAN640BootLoaderCommands::OnTimer() {
    if (m_bClosing)
        return;
    // The button comes back only once the last run's thread has ended; should a press still meet it, the
    // start waits for it instead of being lost.
    if (m_worker.IsRunning()) {
        m_timer.start();
        return;
    }
    // Disabled here already, so that no press can change the run state once the worker may read it.
    m_btnStart->setEnabled(false);
    ++m_nRunsStarted;
    QPointer<QPushButton> pButton = m_btnStart;
    auto enable = [pButton] {
        if (pButton)
            pButton->setEnabled(true);
    };
    if (!m_worker.Start([this](const CStopToken& stop) { BootLoaderThreadProc(stop); }, this, enable))
        enable();
}

void CQAN640BootLoaderCommands::BootLoaderThreadProc(const CStopToken& stop) {
    QPointer<QPushButton> pButton = m_btnStart;
    CallOnGuiThread(this, stop, [pButton] {
        if (pButton)
            pButton->setEnabled(false);
    });
    SRunOptions options = m_runOptions;
    if (options.strInterface.empty())
        options.strInterface = ReadNetCard(m_run.m_strPort);
    options.bReadBackEeprom = options.bReadBackEeprom && ReadBackFromFile();
    options.serialRule = ReadSerialRule(options.strSerialRuleError).value_or(SSerialRule());
    if (!options.pMacLedger) {
        options.pMacLedger = m_dbMacLedger ? static_cast<IMacLedger*>(&*m_dbMacLedger) : &m_macLedger;
        options.bOfferNextMac = true;
    }
    CRecordedRun run(m_run, m_log, m_operator, options);
    std::string strLabelError;
    std::optional<SLabelConfig> labelConfig = ReadLabelConfig(strLabelError);
    run.SetVerdictHook([&](const SRunResult& verdict) {
        return LabelAtVerdict(
            verdict, labelConfig, strLabelError, m_labelPrinter, ThisStationName(),
            [this](const std::string& strLine) { m_operator.ShowWarning(strLine); }, m_operator, stop);
    });
    if (m_lineDb) {
        // Closing the window ends a wait for a stalled server as it ends every other wait of the run.
        m_lineDb->SetStop(stop);
        run.SetStation(m_strStation, &*m_lineDbOutlet);
    }
    // The progress line below the log follows the run's stages; a row or log that could not be written shows
    // there at the verdict, before the closing box, which may stay open for long.
    CStagesToGui stages(
        this, stop, [this](int nStage) { OnStageChanged(nStage); },
        [this, &run] {
            if (!run.Archived().bSaved)
                ShowNotRecorded(run.Archived(), QString());
        });
    SRunResult result = run.Run(stop, &stages);
    QPointer<CQAN640BootLoaderCommands> pWindow = this;
    CallOnGuiThread(this, stop, [pWindow, result, archived = run.Archived()] {
        if (pWindow)
            pWindow->OnRunFinished(result, archived);
    });
    // The button is enabled again when this thread has ended (OnTimer).
}

void CQAN640BootLoaderCommands::OnClose() {
    m_bClosing = true;
    m_timer.stop();
    // The loader first, at once; then every other wait of the run ends on the stop. The worker touches the
    // window no more once the stop is raised, but it still uses the run state and the log: wait for it.
    m_run.m_hLoaderProcess.Terminate();
    m_stopSource.RequestStop();
    m_worker.Wait(ULONG_MAX);
}

void CQAN640BootLoaderCommands::closeEvent(QCloseEvent* pEvent) {
    // Power pulled after a stop in the middle of the write leaves the board without a boot image.
    if (IsRunning() && m_progress.Stage() == RUN_STAGE_EEPROM && !m_bClosing) {
        QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                        QString::fromUtf8(kMsgCloseWhileWriting), QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(QString::fromUtf8("Fechar"));
        box.button(QMessageBox::No)->setText(QString::fromUtf8("Continuar"));
        box.exec();
        if (box.clickedButton() != box.button(QMessageBox::Yes) && IsRunning()) {
            pEvent->ignore();
            return;
        }
    }
    OnClose();
    pEvent->accept();
    QDialog::reject(); // ends the dialog's run; the program ends with it
}

void CQAN640BootLoaderCommands::OnStageChanged(int nStage) {
    if (nStage == RUN_STAGE_START) {
        m_lblStage->setStyleSheet(QString());
        m_lblStage->setToolTip(QString());
        m_strWarning.clear();
    }
    m_progress.OnStageStarted(nStage);
    m_stageTimer.start();
    UpdateStageLine();
}

void CQAN640BootLoaderCommands::UpdateStageLine() {
    m_lblStage->setText(QString::fromUtf8("Etapa %1 de %2: %3 (%4 s)")
                            .arg(m_progress.Stage())
                            .arg(kRunStageCount)
                            .arg(QString::fromUtf8(m_progress.StageTitle()))
                            .arg(qint64(m_progress.ElapsedSeconds())) +
                        (m_strWarning.isEmpty() ? QString() : " - Aviso: " + m_strWarning));
}

void CQAN640BootLoaderCommands::ShowNotRecorded(const CRunArchive::SArchived& archived,
                                                const QString& outcome) {
    QString text = QString::fromUtf8("REGISTRO NÃO SALVO");
    if (!outcome.isEmpty())
        text += " - " + outcome;
    else if (!archived.problems.empty())
        text += ": " + QString::fromStdString(archived.problems.front());
    m_lblStage->setStyleSheet("color: red;");
    m_lblStage->setText(text);
    QStringList problems;
    for (const std::string& strProblem : archived.problems)
        problems << QString::fromStdString(strProblem);
    m_lblStage->setToolTip(problems.join("\n"));
}

void CQAN640BootLoaderCommands::OnRunFinished(const SRunResult& result,
                                              const CRunArchive::SArchived& archived) {
    m_stageTimer.stop();
    qint64 nSeconds = qint64(m_progress.ElapsedSeconds());
    QString text;
    if (result.Outcome() == ERunOutcome::Ok) {
        text = QString::fromUtf8("Concluído: MAC %1 verificado (%2 s)")
                   .arg(QString::fromStdString(result.strMacSent));
    } else {
        // The message's first line says what failed; the box said the rest.
        QString message =
            QString::fromStdString(result.Message()).section(QRegularExpression("[\\r\\n]"), 0, 0);
        text = result.Outcome() == ERunOutcome::Failed
                   ? QString::fromUtf8("Falhou na etapa %1: %2 (%3 s)").arg(result.nStage).arg(message)
                   : QString::fromUtf8("Interrompido na etapa %1 (%2 s)").arg(result.nStage);
    }
    if (archived.bSaved)
        m_lblStage->setText(text.arg(nSeconds));
    else
        ShowNotRecorded(archived, text.arg(nSeconds));
}
