#include "app/StationSlot.h"

#include "app/BoardRun.h"
#include "app/GuiCall.h"
#include "app/QtOperator.h"
#include "mac/DialogMacAddress.h"
#include "mac/MacInput.h"
#include "mac/MacPrefixFile.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>

namespace {

constexpr int kRenderMs = 250; // the elapsed time and the state while a run goes on

QLabel* WrappingLabel(QWidget* pParent) {
    auto* pLabel = new QLabel(pParent);
    pLabel->setWordWrap(true);
    pLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return pLabel;
}

} // namespace

int CSlotOperator::Ask(SSlotQuestion question, std::string& strText, const CStopToken& stop) {
    auto pAnswer = std::make_shared<SSlotAnswer>();
    QPointer<CStationSlot> pSlot = &m_slot;
    m_feed.OnOperatorWait(true);
    bool bShown = CallOnGuiThread(&m_slot, stop, [pSlot, question, pAnswer] {
        if (pSlot)
            pSlot->ShowQuestion(question, pAnswer);
    });
    bool bDone = false;
    int nButton = -1;
    if (bShown) {
        std::unique_lock lock(pAnswer->m_mutex);
        pAnswer->m_cv.wait(lock, stop.Native(), [&] { return pAnswer->m_bDone; });
        bDone = pAnswer->m_bDone;
        nButton = pAnswer->m_nButton;
        strText = pAnswer->m_strText;
    }
    m_feed.OnOperatorWait(false);
    return bDone && !stop.StopRequested() ? nButton : -1;
}

void CSlotOperator::ShowMessageBox(const std::string& strText, int, const CStopToken& stop) {
    std::string strIgnored;
    Ask({CQtOperator::ToBoxText(strText), {"OK"}, 0, SSlotQuestion::EEntry::None, {}}, strIgnored, stop);
}

bool CSlotOperator::ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) {
    SSlotQuestion question{QString::fromUtf8(CDialogMacAddress::kPrompt),
                           {"OK", "Cancelar"},
                           0,
                           SSlotQuestion::EEntry::Mac,
                           QString::fromStdString(strMacAddress)};
    std::string strMac;
    if (Ask(question, strMac, stop) != 0)
        return false;
    strMacAddress = strMac;
    return true;
}

IOperator::EReuse CSlotOperator::ConfirmMacReuse(const std::string& strQuestion, const CStopToken& stop) {
    // No is the default: a slip of Enter must not put one address in two boards.
    std::string strIgnored;
    int nButton = Ask({CQtOperator::ToBoxText(strQuestion),
                       {"Sim", QString::fromUtf8("Não")},
                       1,
                       SSlotQuestion::EEntry::None,
                       {}},
                      strIgnored, stop);
    return nButton == 0 ? EReuse::Reuse : EReuse::AskAgain;
}

bool CSlotOperator::AskLine(const char* pszPrompt, std::string& strAnswer, const std::string& strError,
                            const CStopToken& stop) {
    QString label = QString::fromUtf8(pszPrompt);
    QString error = CQtOperator::ToBoxText(strError);
    SSlotQuestion question{error.isEmpty() ? label : error + "\n" + label,
                           {"OK", "Cancelar"},
                           0,
                           SSlotQuestion::EEntry::Text,
                           {}};
    std::string strLine;
    if (Ask(question, strLine, stop) != 0)
        return false;
    strAnswer = strLine;
    return true;
}

bool CSlotOperator::AskSerialNumber(std::string& strSerial, const std::string& strError,
                                    const CStopToken& stop) {
    return AskLine(CQtOperator::kSerialPrompt, strSerial, strError, stop);
}

bool CSlotOperator::AskLabelScan(std::string& strScanned, const std::string& strError,
                                 const CStopToken& stop) {
    return AskLine(CQtOperator::kLabelScanPrompt, strScanned, strError, stop);
}

void CSlotOperator::ShowWarning(const std::string& strText) {
    QPointer<CStationSlot> pSlot = &m_slot;
    QMetaObject::invokeMethod(
        &m_slot,
        [pSlot, text = QString::fromStdString(strText)] {
            if (!pSlot)
                return;
            pSlot->m_strWarning = text;
            pSlot->Render();
        },
        Qt::QueuedConnection);
}

CStationSlot::CStationSlot(int nSlot, SStationPort port, const SStation& station, QWidget* pParent)
    : QFrame(pParent), m_nSlot(nSlot), m_port(std::move(port)), m_station(station), m_operator(*this, m_feed),
      m_worker(m_stopSource.Token()) {
    setFrameShape(QFrame::StyledPanel);
    setObjectName(QString("slot%1").arg(nSlot + 1));
    auto* pLayout = new QVBoxLayout(this);
    auto* pTitle =
        new QLabel(QString::fromUtf8("%1. %2 — %3")
                       .arg(nSlot + 1)
                       .arg(QString::fromStdString(m_port.strPort), QString::fromStdString(m_port.strCard)),
                   this);
    QFont bold = pTitle->font();
    bold.setBold(true);
    pTitle->setFont(bold);
    pLayout->addWidget(pTitle);

    // The state reads from across the bench: a large word on its colour.
    m_lblState = new QLabel(this);
    m_lblState->setAlignment(Qt::AlignCenter);
    QFont big = m_lblState->font();
    big.setPointSize(16);
    big.setBold(true);
    m_lblState->setFont(big);
    m_lblState->setMinimumHeight(44);
    pLayout->addWidget(m_lblState);

    m_lblStage = WrappingLabel(this);
    m_lblMac = WrappingLabel(this);
    m_lblEnd = WrappingLabel(this);
    pLayout->addWidget(m_lblStage);
    pLayout->addWidget(m_lblMac);
    pLayout->addWidget(m_lblEnd);

    m_pQuestion = new QFrame(this);
    static_cast<QFrame*>(m_pQuestion)->setFrameShape(QFrame::Box);
    auto* pAsk = new QVBoxLayout(m_pQuestion);
    m_lblQuestion = WrappingLabel(m_pQuestion);
    m_edtAnswer = new QLineEdit(m_pQuestion);
    m_lblAnswerError = WrappingLabel(m_pQuestion);
    QPalette errorPalette = m_lblAnswerError->palette();
    errorPalette.setColor(QPalette::WindowText, CDialogMacAddress::kErrorTextColor);
    m_lblAnswerError->setPalette(errorPalette);
    pAsk->addWidget(m_lblQuestion);
    pAsk->addWidget(m_edtAnswer);
    pAsk->addWidget(m_lblAnswerError);
    auto* pAnswers = new QHBoxLayout();
    for (int i = 0; i < 2; ++i) {
        // Enter presses the answer that has the keyboard; the window has no default button, so Enter can
        // never answer another slot.
        auto* pButton = new QPushButton(m_pQuestion);
        pButton->setAutoDefault(true);
        connect(pButton, &QPushButton::clicked, this, [this, i] { OnAnswer(i); });
        pAnswers->addWidget(pButton);
        m_answerButtons.push_back(pButton);
    }
    pAsk->addLayout(pAnswers);
    m_edtAnswer->installEventFilter(this);
    m_pQuestion->hide();
    pLayout->addWidget(m_pQuestion);

    auto* pButtons = new QHBoxLayout();
    m_btnStart = new QPushButton(QString::fromUtf8("Iniciar"), this);
    m_btnLog = new QPushButton(QString::fromUtf8("Log"), this);
    m_btnLog->setCheckable(true);
    m_btnStart->setAutoDefault(false);
    m_btnLog->setAutoDefault(false);
    pButtons->addWidget(m_btnStart);
    pButtons->addWidget(m_btnLog);
    pLayout->addLayout(pButtons);

    m_edtLog = new QPlainTextEdit(this);
    CQtLogBox::PrepareEdit(m_edtLog);
    m_edtLog->setMinimumHeight(300);
    m_edtLog->hide();
    pLayout->addWidget(m_edtLog, 1);
    pLayout->addStretch(0);
    m_pLogBox = std::make_unique<CQtLogBox>(m_edtLog, m_stopSource.Token());
    m_log.SetLogBox(m_pLogBox.get());

    connect(m_btnStart, &QPushButton::clicked, this, &CStationSlot::OnBnClickedStart);
    connect(m_btnLog, &QPushButton::toggled, m_edtLog, &QWidget::setVisible);
    m_renderTimer.setInterval(kRenderMs);
    connect(&m_renderTimer, &QTimer::timeout, this, &CStationSlot::Render);

    if (!m_station.strConninfo.empty()) {
        // The slot's own connection: one connection serves one thread at a time.
        m_lineDb.emplace(m_station.strConninfo);
        m_lineDb->SetStation(m_station.strStation, m_station.strMachineId);
        m_dbMacLedger.emplace(*m_lineDb, m_station.strStation);
        m_lineDbOutlet.emplace(*m_lineDb, ".", m_station.strStation);
    }
    Render();
}

CStationSlot::~CStationSlot() {
    RequestStop();
    m_worker.Wait(ULONG_MAX);
    m_log.SetLogBox(nullptr);
}

void CStationSlot::RequestStop() {
    m_run.m_hLoaderProcess.Terminate();
    m_stopSource.RequestStop();
}

bool CStationSlot::eventFilter(QObject* pWatched, QEvent* pEvent) {
    // Enter after the entry, as a scanner ends what it types, answers as the first button does; taken here,
    // so that it goes no further to the window.
    if (pWatched == m_edtAnswer && pEvent->type() == QEvent::KeyPress) {
        int nKey = static_cast<QKeyEvent*>(pEvent)->key();
        if (nKey == Qt::Key_Return || nKey == Qt::Key_Enter) {
            OnAnswer(0);
            return true;
        }
    }
    return QFrame::eventFilter(pWatched, pEvent);
}

bool CStationSlot::IsAsking() const {
    return m_pAnswer != nullptr;
}

void CStationSlot::FocusSlot() {
    if (!IsAsking())
        m_btnStart->setFocus(Qt::ShortcutFocusReason);
    else if (m_edtAnswer->isVisible())
        m_edtAnswer->setFocus(Qt::ShortcutFocusReason);
    else
        m_answerButtons[size_t(m_question.nDefault)]->setFocus(Qt::ShortcutFocusReason);
}

void CStationSlot::OnBnClickedStart() {
    if (m_stopSource.Token().StopRequested() || m_worker.IsRunning())
        return;
    if (!m_station.strDbProblem.empty()) {
        m_lblEnd->setStyleSheet("color: red;");
        m_lblEnd->setText(QString::fromStdString("Banco de dados da linha (" + std::string(kLineDbFileName) +
                                                 "): " + m_station.strDbProblem) +
                          QString::fromUtf8("\nNada foi enviado à QAN640"));
        return;
    }
    m_log.ClearLog();
    m_run.m_strPort = m_port.strPort;
    m_strWarning.clear();
    m_lblEnd->setStyleSheet(QString());
    m_lblEnd->setToolTip(QString());
    m_lblEnd->clear();
    // Disabled here already, so that no press can change the run state once the worker may read it.
    m_btnStart->setEnabled(false);
    ++m_nRunsStarted;
    QPointer<CStationSlot> pSlot = this;
    auto ended = [pSlot] {
        if (!pSlot)
            return;
        pSlot->m_btnStart->setEnabled(true);
        pSlot->m_renderTimer.stop();
        pSlot->Render();
    };
    if (!m_worker.Start([this](const CStopToken& stop) { ThreadProc(stop); }, this, ended))
        ended();
    else
        m_renderTimer.start();
}

void CStationSlot::ThreadProc(const CStopToken& stop) {
    SRunOptions options = m_station.options;
    options.strInterface = m_port.strCard;
    IMacLedger* pLedger = m_dbMacLedger ? static_cast<IMacLedger*>(&*m_dbMacLedger) : &m_macLedger;
    CRecordedRun run(m_run, m_log, m_operator, WindowRunOptions(options, m_port.strPort, pLedger));
    AttachWindowRunParts(
        run, *m_station.pLabelPrinter,
        [this](const std::string& strLine) { m_operator.ShowWarning(strLine); }, m_operator,
        m_lineDb ? &*m_lineDb : nullptr, m_lineDbOutlet ? &*m_lineDbOutlet : nullptr, m_station.strStation,
        stop);
    QPointer<CStationSlot> pSlot = this;
    CRunNotesToGui toGui(
        this, stop,
        [this](int nStage) {
            m_progress.OnStageStarted(nStage);
            Render();
        },
        [this, &run] {
            if (!run.Archived().bSaved) {
                QString strTip;
                m_lblEnd->setStyleSheet("color: red;");
                m_lblEnd->setText(NotRecordedLine(run.Archived(), QString(), strTip));
            }
            Render();
        });
    m_feed.SetNext(&toGui);
    SRunResult result = run.Run(stop, &m_feed);
    m_feed.SetNext(nullptr);
    CallOnGuiThread(this, stop, [pSlot, result, archived = run.Archived()] {
        if (pSlot)
            pSlot->OnRunFinished(result, archived);
    });
}

void CStationSlot::OnRunFinished(const SRunResult& result, const CRunArchive::SArchived& archived) {
    QString text = RunOutcomeLine(result, qint64(m_progress.ElapsedSeconds()));
    if (archived.bSaved) {
        m_lblEnd->setText(text);
    } else {
        QString strTip;
        m_lblEnd->setStyleSheet("color: red;");
        m_lblEnd->setText(NotRecordedLine(archived, text, strTip));
        m_lblEnd->setToolTip(strTip);
    }
    Render();
}

void CStationSlot::ShowQuestion(const SSlotQuestion& question, std::shared_ptr<SSlotAnswer> pAnswer) {
    m_question = question;
    m_pAnswer = std::move(pAnswer);
    m_lblQuestion->setText(question.text);
    m_edtAnswer->setVisible(question.eEntry != SSlotQuestion::EEntry::None);
    m_edtAnswer->setText(question.offered);
    m_lblAnswerError->clear();
    m_lblAnswerError->hide();
    for (size_t i = 0; i < m_answerButtons.size(); ++i) {
        bool bUsed = i < size_t(question.buttons.size());
        m_answerButtons[i]->setVisible(bUsed);
        m_answerButtons[i]->setText(bUsed ? question.buttons[qsizetype(i)] : QString());
    }
    m_pQuestion->show();
    // The keyboard comes here unless the operator is answering another slot.
    CStationSlot* pOther = nullptr;
    for (QWidget* p = QApplication::focusWidget(); p && !pOther; p = p->parentWidget())
        pOther = qobject_cast<CStationSlot*>(p);
    if (!pOther || pOther == this || !pOther->IsAsking())
        FocusSlot();
    if (window())
        QApplication::alert(window());
    Render();
}

void CStationSlot::OnAnswer(int nButton) {
    if (!m_pAnswer || nButton >= int(m_question.buttons.size()))
        return;
    std::string strText;
    if (nButton == 0 && m_question.eEntry == SSlotQuestion::EEntry::Mac) {
        // The MAC dialog's own rules and messages, a scanned whole address included.
        QString message = ValidateWholeMacText(m_edtAnswer->text(), LoadMacPrefixList().m_entries, strText);
        if (!message.isEmpty()) {
            m_lblAnswerError->setText(message);
            m_lblAnswerError->show();
            m_edtAnswer->selectAll();
            return;
        }
    } else if (nButton == 0 && m_question.eEntry == SSlotQuestion::EEntry::Text) {
        strText = m_edtAnswer->text().toStdString();
    }
    std::shared_ptr<SSlotAnswer> pAnswer = std::move(m_pAnswer);
    m_pAnswer.reset();
    m_pQuestion->hide();
    {
        std::lock_guard lock(pAnswer->m_mutex);
        pAnswer->m_bDone = true;
        pAnswer->m_nButton = nButton;
        pAnswer->m_strText = strText;
    }
    pAnswer->m_cv.notify_all();
    Render();
}

void CStationSlot::Render() {
    SSlotState state = m_feed.State();
    const SSlotStateLook& look = SlotStateLook(state.eState);
    QString word = QString::fromUtf8(look.pszWord);
    if (m_lblState->text() != word) {
        m_lblState->setText(word);
        m_lblState->setStyleSheet(QString("background-color: %1; color: white;").arg(look.pszColour));
        emit StateChanged();
    }
    if (state.nStage == RUN_STAGE_NONE)
        m_lblStage->setText(QString::fromUtf8("Etapa -/%1").arg(kRunStageCount));
    else
        m_lblStage->setText(QString::fromUtf8("Etapa %1/%2: %3 (%4 s)")
                                .arg(state.nStage)
                                .arg(kRunStageCount)
                                .arg(QString::fromUtf8(RunStageTitle(state.nStage)))
                                .arg(qint64(m_progress.ElapsedSeconds())) +
                            (m_strWarning.isEmpty() ? QString() : " - Aviso: " + m_strWarning));
    m_lblMac->setText("MAC: " +
                      (state.strMac.empty() ? QString::fromUtf8("—") : QString::fromStdString(state.strMac)));
}
