#include "app/MainDialog.h"

#include "app/BoardRun.h"
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
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <strings.h>

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
    std::vector<SStationPort> stationPorts = ReadStationPorts();
    if (stationPorts.size() > 1)
        BuildStation(stationPorts);
    // Runs that a killed program left without their row get it now (each run does so again before it starts).
    CRunArchive archive;
    if (m_lineDb)
        archive.SetStation(m_strStation, &*m_lineDbOutlet);
    CLogConsole& log = m_slots.empty() ? m_log : m_slots.front()->m_log;
    for (const std::string& strLine : archive.RecoverInterruptedRuns())
        log.AppendLogText((EncodeCp1252(strLine) + "\n").c_str(), true);
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
        m_strConninfo = *conninfo;
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
    IMacLedger* pLedger = m_dbMacLedger ? static_cast<IMacLedger*>(&*m_dbMacLedger) : &m_macLedger;
    CRecordedRun run(m_run, m_log, m_operator, WindowRunOptions(m_runOptions, m_run.m_strPort, pLedger));
    AttachWindowRunParts(
        run, m_labelPrinter, [this](const std::string& strLine) { m_operator.ShowWarning(strLine); },
        m_operator, m_lineDb ? &*m_lineDb : nullptr, m_lineDbOutlet ? &*m_lineDbOutlet : nullptr,
        m_strStation, stop);
    // The progress line below the log follows the run's stages; a row or log that could not be written shows
    // there at the verdict, before the closing box, which may stay open for long.
    CRunNotesToGui stages(
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

bool CQAN640BootLoaderCommands::IsRunning() const {
    return m_worker.IsRunning() ||
           std::any_of(m_slots.begin(), m_slots.end(), [](const auto& pSlot) { return pSlot->IsRunning(); });
}

void CQAN640BootLoaderCommands::BuildStation(const std::vector<SStationPort>& ports) {
    m_station.options = m_runOptions;
    m_station.pLabelPrinter = &m_labelPrinter;
    m_station.strConninfo = m_lineDb ? m_strConninfo : std::string();
    m_station.strStation = m_strStation;
    m_station.strMachineId = ThisMachineId();
    m_station.strDbProblem = m_strDbProblem;
    // The one board's widgets give way to the slots, side by side; the window may grow now.
    for (QWidget* pChild : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        pChild->hide();
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    auto* pOuter = new QVBoxLayout(this);
    auto* pGrid = new QGridLayout();
    pOuter->addLayout(pGrid);
    int nColumns = std::min<int>(int(ports.size()), 4);
    for (size_t i = 0; i < ports.size(); ++i) {
        m_slots.push_back(std::make_unique<CStationSlot>(int(i), ports[i], m_station, this));
        CStationSlot* pSlot = m_slots.back().get();
        pGrid->addWidget(pSlot, int(i) / nColumns, int(i) % nColumns, Qt::AlignTop);
        connect(pSlot, &CStationSlot::StateChanged, this, &CQAN640BootLoaderCommands::UpdateStationTitle);
        if (i < 12) {
            auto* pKey = new QShortcut(QKeySequence(Qt::Key_F1 + int(i)), this);
            connect(pKey, &QShortcut::activated, pSlot, &CStationSlot::FocusSlot);
        }
    }
    for (int c = 0; c < nColumns; ++c)
        pGrid->setColumnStretch(c, 1);
    QRect available = screen() ? screen()->availableGeometry() : QRect(0, 0, 1366, 768);
    setGeometry(QRect(available.topLeft(),
                      QSize(std::min(available.width(), 1366), std::min(available.height(), 768)))
                    .marginsRemoved(QMargins(0, 0, 8, 32))); // room for a frame a window manager adds
    // What the database said at the start goes to the first slot's log.
    if (!m_log.m_strLog.empty())
        m_slots.front()->m_log.AppendLogText(m_log.m_strLog.c_str(), true);
    m_strTitle = windowTitle();
    m_slots.front()->FocusSlot();
}

void CQAN640BootLoaderCommands::UpdateStationTitle() {
    int nWaiting = int(std::count_if(m_slots.begin(), m_slots.end(), [](const auto& pSlot) {
        return pSlot->State().eState == ESlotState::Waiting;
    }));
    setWindowTitle(nWaiting ? QString::fromUtf8("(%1 aguardando operador) %2").arg(nWaiting).arg(m_strTitle)
                            : m_strTitle);
}

QString CQAN640BootLoaderCommands::StationCloseQuestion(const std::vector<std::string>& running,
                                                        const std::vector<std::string>& writing) {
    auto join = [](const std::vector<std::string>& names) {
        QStringList list;
        for (const std::string& strName : names)
            list << QString::fromStdString(strName);
        return list.join(", ");
    };
    QString text;
    if (writing.size() == 1)
        text =
            QString::fromUtf8("A QAN640 da porta %1 está gravando a EEPROM: fechar agora e desligá-la pode "
                              "deixá-la sem imagem de boot.\n")
                .arg(join(writing));
    else if (writing.size() > 1)
        text =
            QString::fromUtf8("As QAN640 das portas %1 estão gravando a EEPROM: fechar agora e desligá-las "
                              "pode deixá-las sem imagem de boot.\n")
                .arg(join(writing));
    text += QString::fromUtf8(running.size() == 1 ? "A execução da porta %1 será interrompida.\n"
                                                  : "As execuções das portas %1 serão interrompidas.\n")
                .arg(join(running));
    return text + QString::fromUtf8("Fechar mesmo assim?");
}

void CQAN640BootLoaderCommands::OnClose() {
    m_bClosing = true;
    m_timer.stop();
    // Every slot's loader and stop at once, then the waits: the slots stop together, not one after another.
    for (auto& pSlot : m_slots)
        pSlot->RequestStop();
    for (auto& pSlot : m_slots)
        pSlot->Wait(ULONG_MAX);
    // The loader first, at once; then every other wait of the run ends on the stop. The worker touches the
    // window no more once the stop is raised, but it still uses the run state and the log: wait for it.
    m_run.m_hLoaderProcess.Terminate();
    m_stopSource.RequestStop();
    m_worker.Wait(ULONG_MAX);
}

void CQAN640BootLoaderCommands::closeEvent(QCloseEvent* pEvent) {
    std::vector<std::string> running, writing;
    for (const auto& pSlot : m_slots) {
        if (!pSlot->IsRunning())
            continue;
        running.push_back(pSlot->Port().strPort);
        if (pSlot->State().nStage == RUN_STAGE_EEPROM)
            writing.push_back(pSlot->Port().strPort);
    }
    QString question;
    QMessageBox::Icon eIcon = QMessageBox::Warning;
    if (!running.empty()) {
        question = StationCloseQuestion(running, writing);
        eIcon = writing.empty() ? QMessageBox::Question : QMessageBox::Warning;
    } else if (IsRunning() && m_progress.Stage() == RUN_STAGE_EEPROM) {
        // Power pulled after a stop in the middle of the write leaves the board without a boot image.
        question = QString::fromUtf8(kMsgCloseWhileWriting);
    }
    if (!question.isEmpty() && !m_bClosing) {
        QMessageBox box(eIcon, QCoreApplication::applicationName(), question,
                        QMessageBox::Yes | QMessageBox::No, this);
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
    QString strTip;
    m_lblStage->setStyleSheet("color: red;");
    m_lblStage->setText(NotRecordedLine(archived, outcome, strTip));
    m_lblStage->setToolTip(strTip);
}

void CQAN640BootLoaderCommands::OnRunFinished(const SRunResult& result,
                                              const CRunArchive::SArchived& archived) {
    m_stageTimer.stop();
    QString text = RunOutcomeLine(result, qint64(m_progress.ElapsedSeconds()));
    if (archived.bSaved)
        m_lblStage->setText(text);
    else
        ShowNotRecorded(archived, text);
}
