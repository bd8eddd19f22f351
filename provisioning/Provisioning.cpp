#include "provisioning/Provisioning.h"

#include "core/Cp1252.h"
#include "links/PortLock.h"
#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "provisioning/BootMonitorDialogue.h"
#include "provisioning/MacLedger.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

// UTF-8, as the front ends show it.
const char* const CProvisioningRun::kMsgPowerCycle =
    "Comandos enviados com sucesso\n Desligue o QAN640, remova o jumper e religue-o";
const char* const CProvisioningRun::kNoteNoReadBack =
    "EEPROM não conferida: a leitura de volta está desligada";
const char* const CProvisioningRun::kNoteStoppedWhileWriting =
    "Interrompido durante a gravação da EEPROM: a QAN640 pode ter ficado sem imagem de boot";

namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// The run's serial port from a successful open to the end of the run. Every way out of the stages shows its
// closing box first; leaving the stages then closes the port and destroys it.
class CRunPort {
public:
    explicit CRunPort(std::unique_ptr<CUart> pUart) : m_pUart(std::move(pUart)) {}
    ~CRunPort() { m_pUart->Close(); }
    CRunPort(const CRunPort&) = delete;
    CRunPort& operator=(const CRunPort&) = delete;
    CUart* operator->() const { return m_pUart.get(); }
    CUart& operator*() const { return *m_pUart; }

private:
    std::unique_ptr<CUart> m_pUart;
};

} // namespace

CProvisioningRun::CProvisioningRun(CRunState& run, CLogConsole& log, IOperator& op, CStopToken stop,
                                   SRunOptions options)
    : m_run(run), m_log(log), m_op(op), m_stop(std::move(stop)), m_options(std::move(options)) {
    m_pArpQuery = m_options.pArpQuery;
    if (!m_pArpQuery) {
        m_pOwnArpQuery = CreateArpQuery(m_options.strInterface);
        m_pArpQuery = m_pOwnArpQuery.get();
    }
}

CProvisioningRun::~CProvisioningRun() = default;

void CProvisioningRun::EnterStage(int nStage) {
    m_result.nStage = nStage;
    if (m_pObserver) {
        m_pObserver->OnRunProgress(m_result);
        m_pObserver->OnStageStarted(nStage);
    }
}

void CProvisioningRun::MarkStopped() {
    m_result.eEnd = ERunEnd::Stopped;
    m_result.strDetail.clear(); // a stopped run has no box
    if (m_bWriteInDoubt)
        m_result.strNote = kNoteStoppedWhileWriting;
}

void CProvisioningRun::FinishWithReason(ERunEnd eEnd, const std::string& strReason) {
    if (!m_stop.StopRequested() && !strReason.empty()) {
        if (!m_log.m_strLog.empty() && m_log.m_strLog.back() != '\n')
            m_log.AppendLogText("\n", false);
        // The reason may hold the C library's localized text: the log is Windows-1252.
        m_log.AppendLogText(EncodeCp1252(strReason + "\n").c_str(), false);
        m_result.strDetail = strReason;
    }
    Finish(eEnd);
}

void CProvisioningRun::Finish(ERunEnd eEnd, bool bRefresh) {
    // A failure that a stop caused is no failure of the board: nobody is left to read a box about it.
    if (m_stop.StopRequested())
        return MarkStopped();
    m_result.eEnd = eEnd;
    // A failure keeps the stage that failed; a verified board has gone through every stage that can fail.
    if (eEnd == ERunEnd::Verified)
        m_result.nStage = RUN_STAGE_CLOSE;
    if (bRefresh)
        RefreshLog();
    if (m_pObserver)
        m_pObserver->OnVerdict(m_result);
    m_op.ShowMessageBox(m_result.Message(), RunEndRow(eEnd).eBoxType, m_stop);
}

SRunResult CProvisioningRun::RunProvisioning() {
    m_result = SRunResult();
    RunStages();
    if (m_pObserver)
        m_pObserver->OnRunEnded(m_result);
    return m_result;
}

bool CProvisioningRun::PrepareBench(CLoaderRunner& loader, CPortLock& portLock) {
    // A loader or image that is not there is the bench's set-up, not the board's: said before anything is
    // sent, and not as a loader that failed.
    std::string strReason;
    if (!loader.CheckSetUp(strReason) || !m_options.strSerialRuleError.empty()) {
        FinishWithReason(ERunEnd::SetupFailed, strReason.empty() ? m_options.strSerialRuleError : strReason);
        return false;
    }
    if (!TakeSerialNumber())
        return false;
    switch (portLock.Acquire(m_run.m_strPort)) {
    case CPortLock::EResult::Locked:
        break;
    case CPortLock::EResult::InUse:
        // The lock file's name holds the port's and the reason the C library's text: the log is Windows-1252.
        m_log.AppendLogText(
            EncodeCp1252("Port in use by another run (lock " + portLock.LockFile() + ")\n").c_str(), true);
        Finish(ERunEnd::PortInUse);
        return false;
    case CPortLock::EResult::Unusable:
        m_log.AppendLogText(EncodeCp1252("Port lock not taken: " + portLock.Error() + "\n").c_str(), true);
        Finish(ERunEnd::PortNotReserved);
        return false;
    }
    SBoardLink link = FindBoardLinkFor(*m_pArpQuery, kBoardIp);
    if (link.eState != EBoardLink::Ok) {
        m_log.AppendLogText((BoardLinkLogText(link) + "\n").c_str(), true);
        m_result.strDetail = BoardLinkProblemText(link, kBoardIp);
        Finish(ERunEnd::NoBoardCard);
        return false;
    }
    loader.SharePortClaim(portLock.Fd());
    return true;
}

void CProvisioningRun::RunStages() {
    EnterStage(RUN_STAGE_START);
    CLoaderRunner loader(m_run, m_log, m_stop, m_options.loader);
    // Held to the end of the run, after the port is closed: no other run, in any program of any user, starts
    // a loader on it meanwhile (nor the loader, which shares the claim, after this program).
    CPortLock portLock(m_options.strPortLockDir);
    if (!PrepareBench(loader, portLock))
        return;
    m_log.AppendLogText("Executando BfinUcLinux \n", true);

    EnterStage(RUN_STAGE_LOADER);
    if (!loader.RunBfinUcLinux())
        return FinishWithReason(ERunEnd::LoaderFailed, loader.FailureReason());

    EnterStage(RUN_STAGE_OPEN);
    auto pUart = std::make_unique<CUart>(m_options.dwReadTimeoutMs, m_stop);
    // A failed open is not closed: destroying the object releases whatever it left held.
    if (!pUart->Open(m_run.m_strPort, uint32_t(m_run.m_nBaudRate)))
        return Finish(ERunEnd::OpenFailed);
    CRunPort port(std::move(pUart)); // from here on: the closing box, then the port closed and destroyed

    EnterStage(RUN_STAGE_STOP_BITS);
    port->SetStopBits(1);
    CBootMonitorDialogue dialogue(*port, m_log, m_run.m_strFileName, m_stop);
    dialogue.SetEepromAtLeast(CBootMonitorDialogue::kEepromAtLeastMs);

    EnterStage(RUN_STAGE_PROMPT);
    if (!dialogue.WaitPrompt())
        return Finish(ERunEnd::NoPrompt);

    EnterStage(RUN_STAGE_TFTP);
    m_bWriteInDoubt = true; // from here on a stop may leave the board without a whole image
    std::string strSize;
    if (!TransferImage(dialogue, strSize))
        return;

    EnterStage(RUN_STAGE_EEPROM);
    if (!WriteEeprom(dialogue, strSize))
        return;

    EnterStage(RUN_STAGE_POWER_CYCLE);
    if (!AwaitPowerCycle(dialogue))
        return;

    EnterStage(RUN_STAGE_REBOOT);
    if (!dialogue.SendReboot())
        return Finish(ERunEnd::NoShell);

    EnterStage(RUN_STAGE_PROMPT_AFTER_REBOOT);
    if (!dialogue.WaitPrompt())
        return Finish(ERunEnd::NoPrompt);

    EnterStage(RUN_STAGE_ASK_MAC);
    std::string strMac = AskCheckedMac();
    if (strMac.empty())
        return;
    m_result.strMacSent = strMac;

    EnterStage(RUN_STAGE_BOOTARGS);
    if (!dialogue.SendBootargs(strMac))
        return Finish(ERunEnd::BootargsFailed);

    EnterStage(RUN_STAGE_SAVEENV);
    if (!dialogue.SendSaveenv())
        return Finish(ERunEnd::SaveenvFailed);

    EnterStage(RUN_STAGE_RESET);
    if (!dialogue.SendReset())
        return Finish(ERunEnd::ResetFailed);

    EnterStage(RUN_STAGE_CONFIGURED);
    RefreshLog();
    // The success box's text is the log's line here too.
    m_log.AppendLogText(
        (RunEndRow(ERunEnd::Verified).pszBox + std::string("\nVerificando o mac address\n")).c_str(), true);

    EnterStage(RUN_STAGE_VERIFY);
    VerifyMac(strMac);

    if (m_result.eEnd == ERunEnd::Verified)
        EnterStage(RUN_STAGE_CLOSE);
}

bool CProvisioningRun::TransferImage(CBootMonitorDialogue& dialogue, std::string& strSize) {
    bool bSent = dialogue.SendTftp(strSize);
    if (!bSent || strSize.empty())
        Finish(bSent ? ERunEnd::NoTransferSize : ERunEnd::TftpFailed);
    return bSent && !strSize.empty();
}

bool CProvisioningRun::AwaitPowerCycle(CBootMonitorDialogue& dialogue) {
    // The board's boot log comes while the box is open: read it as it comes, the box on a thread of its own.
    RefreshLog();
    std::atomic<bool> bBoxClosed = false;
    std::thread box([&] {
        m_op.ShowMessageBox(kMsgPowerCycle, MB_TYPE_INFORMATION, m_stop);
        bBoxClosed = true;
    });
    dialogue.KeepReading([&] { return bBoxClosed.load(); });
    box.join();
    if (m_stop.StopRequested()) {
        MarkStopped();
        return false;
    }
    return true;
}

bool CProvisioningRun::WriteEeprom(CBootMonitorDialogue& dialogue, const std::string& strSize) {
    if (!dialogue.SendEepromWrite(strSize)) {
        Finish(ERunEnd::EepromFailed);
        return false;
    }
    // The command's LF may repeat the write: the read-back and the box come once the board is idle.
    m_log.AppendLogText("\nAguardando a QAN640 terminar de gravar a EEPROM\n", true);
    if (!dialogue.WaitWriteFinished()) {
        Finish(ERunEnd::EepromFailed);
        return false;
    }
    if (!m_options.bReadBackEeprom) {
        m_result.strNote = kNoteNoReadBack;
        Warn(kNoteNoReadBack);
        m_bWriteInDoubt = false;
        return true;
    }
    m_log.AppendLogText("\nConferindo a EEPROM\n", true);
    std::string strWhy;
    if (!dialogue.ReadBackEeprom(strSize, strWhy)) {
        FinishWithReason(ERunEnd::EepromNotVerified, strWhy);
        return false;
    }
    m_log.AppendLogText(EncodeCp1252("\nEEPROM conferida: igual à imagem transferida\n").c_str(), true);
    m_bWriteInDoubt = false;
    return true;
}

bool CProvisioningRun::TakeSerialNumber() {
    if (!m_options.serialRule.bRequired)
        return true;
    std::string strError;
    for (;;) {
        std::string strSerial;
        if (!m_op.AskSerialNumber(strSerial, strError, m_stop) || m_stop.StopRequested()) {
            if (m_stop.StopRequested())
                MarkStopped();
            else
                FinishWithReason(ERunEnd::SerialMissing, strError);
            return false;
        }
        size_t first = strSerial.find_first_not_of(" \t\r\n");
        size_t last = strSerial.find_last_not_of(" \t\r\n");
        strSerial = first == std::string::npos ? "" : strSerial.substr(first, last - first + 1);
        strError = SerialNumberError(m_options.serialRule, strSerial);
        if (strError.empty()) {
            m_result.strSerial = strSerial;
            m_log.AppendLogText(EncodeCp1252("Número de série: " + strSerial + "\n").c_str(), true);
            return true;
        }
    }
}

void CProvisioningRun::Warn(const std::string& strWarning) {
    m_log.AppendLogText(EncodeCp1252("\nAviso: " + strWarning + "\n").c_str(), true);
    m_op.ShowWarning(strWarning);
}

std::optional<CProvisioningRun::SBinding> CProvisioningRun::BindingOf(const std::string& strMac,
                                                                      const SMacLookup& lookup) {
    auto where = [](const SMacStoredRow& row) { return "em " + row.strWhen + ", na porta " + row.strPort; };
    const std::string& strSerial = m_result.strSerial;
    SBinding binding;
    if (lookup.eStatus == SMacLookup::EStatus::Stored) {
        if (!strSerial.empty() && lookup.row.strSerial == strSerial) {
            // The record already binds this serial to this address: the same board, nothing to ask.
            m_result.bSameBoardAgain = true;
            m_log.AppendLogText(EncodeCp1252("\nMAC " + strMac + " e número de série " + strSerial +
                                             " já gravados juntos " + where(lookup.row) + ": a mesma placa\n")
                                    .c_str(),
                                true);
            return binding;
        }
        binding.strRecorded = strMac + " gravado " + where(lookup.row);
        binding.strQuestion =
            "O endereço MAC " + strMac + " já foi gravado em uma placa (" + where(lookup.row) + ")" +
            (strSerial.empty() || lookup.row.strSerial.empty()
                 ? std::string(".")
                 : ", de número de série " + lookup.row.strSerial + ", não " + strSerial + ".");
        return binding;
    }
    IMacLedger* pLedger = m_options.pMacLedger;
    if (strSerial.empty() || !pLedger)
        return binding;
    SMacLookup serial = pLedger->FindSerial(strSerial);
    if (serial.eStatus == SMacLookup::EStatus::Unreadable) {
        m_result.strDetail = serial.strMessage;
        return std::nullopt;
    }
    // One address in any spelling: its hex digits in one case.
    auto digits = [](const std::string& strText) {
        std::string strDigits;
        for (char c : strText)
            if (std::isxdigit(static_cast<unsigned char>(c)))
                strDigits += char(std::toupper(static_cast<unsigned char>(c)));
        return strDigits;
    };
    if (serial.eStatus == SMacLookup::EStatus::Stored && digits(serial.row.strMac) != digits(strMac)) {
        binding.strRecorded =
            "número de série " + strSerial + " gravado com " + serial.row.strMac + " " + where(serial.row);
        binding.strQuestion = "O número de série " + strSerial + " já foi gravado com outro endereço MAC, " +
                              serial.row.strMac + " (" + where(serial.row) + ").";
    }
    return binding;
}

std::string CProvisioningRun::AskCheckedMac() {
    IMacLedger* pLedger = m_options.pMacLedger;
    auto end = [this](ERunEnd eEnd) {
        eEnd == ERunEnd::Stopped ? MarkStopped() : Finish(eEnd);
        return std::string();
    };
    std::string strOffered;
    if (pLedger && m_options.bOfferNextMac) {
        SMacTaken taken = pLedger->TakeNext();
        m_result.strDetail = taken.strMessage;
        if (taken.eStatus == SMacTaken::EStatus::Exhausted)
            return end(ERunEnd::MacRangeExhausted);
        if (taken.eStatus == SMacTaken::EStatus::Unusable)
            return end(ERunEnd::MacRangeUnusable);
        if (taken.eStatus == SMacTaken::EStatus::Unreadable)
            return end(ERunEnd::MacRecordUnreadable);
        m_result.strDetail.clear();
        if (taken.eStatus == SMacTaken::EStatus::Unavailable)
            Warn(taken.strMessage + "; digite o endereço");
        strOffered = taken.strMac;
    }
    for (;;) {
        std::string strMac = AskMacAddress(m_op, m_stop, strOffered);
        if (strMac.empty())
            return end(ERunEnd::MacCancelled);
        if (m_stop.StopRequested())
            return end(ERunEnd::Stopped);
        // Held before the record is read: a run that stores it after this reading would have to hold it too.
        SMacHold hold = pLedger ? pLedger->Reserve(strMac) : SMacHold();
        if (hold.eStatus != SMacHold::EStatus::Held) {
            // A stop ends a wait for the line's database too: the run was stopped, not refused.
            if (m_stop.StopRequested())
                return end(ERunEnd::Stopped);
            m_result.strDetail = hold.strMessage;
            return end(hold.eStatus == SMacHold::EStatus::HeldByRun ? ERunEnd::MacReserved
                                                                    : ERunEnd::MacRecordUnreadable);
        }
        SMacLookup lookup = pLedger ? pLedger->FindStored(strMac) : SMacLookup();
        if (std::string strWarning = pLedger ? pLedger->TakeWarning() : ""; !strWarning.empty())
            Warn(strWarning);
        if (lookup.eStatus == SMacLookup::EStatus::Unreadable) {
            m_result.strDetail = lookup.strMessage;
            return end(ERunEnd::MacRecordUnreadable);
        }
        std::optional<SBinding> binding = BindingOf(strMac, lookup);
        if (!binding)
            return end(ERunEnd::MacRecordUnreadable);
        if (binding->strQuestion.empty())
            return strMac;
        switch (m_op.ConfirmMacReuse(binding->strQuestion + "\nÉ a mesma placa sendo provisionada novamente?",
                                     m_stop)) {
        case IOperator::EReuse::Reuse:
            m_result.bMacReused = true;
            m_log.AppendLogText(EncodeCp1252("\n" + binding->strRecorded + ": mesma placa\n").c_str(), true);
            return strMac;
        case IOperator::EReuse::Refuse:
            m_result.strDetail = binding->strRecorded;
            return end(ERunEnd::MacRecorded);
        case IOperator::EReuse::AskAgain:
            if (m_stop.StopRequested())
                return end(ERunEnd::Stopped);
            break;
        }
    }
}

void CProvisioningRun::VerifyMac(const std::string& strMac) {
    // A board that does not answer yet is asked again, once a second, until it answers, the run is stopped or
    // the options' time limit has passed (judged between queries: the last may take its own wait beyond it).
    using Clock = std::chrono::steady_clock;
    const Clock::time_point tStart = Clock::now();
    const auto limit = std::chrono::seconds(m_options.dwArpTimeoutS);
    for (;;) {
        auto waited = Clock::now() - tStart;
        if (m_options.dwArpTimeoutS != 0 && waited >= limit) {
            m_log.AppendLogText(
                ("\nNo answer within " + std::to_string(m_options.dwArpTimeoutS) + " s\n").c_str(), true);
            return Finish(ERunEnd::ArpTimedOut);
        }
        m_log.AppendLogText("\nLendo MAC address:", true);
        uint32_t dwPauseMs = kArpPauseMs;
        if (m_options.dwArpTimeoutS != 0)
            dwPauseMs = uint32_t(std::clamp<int64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(limit - waited).count(), 0,
                kArpPauseMs));
        if (!m_stop.SleepFor(dwPauseMs))
            return MarkStopped();
        std::string strReadMac;
        if (!ReadMacByArp(m_log, strReadMac, kBoardIp, m_stop, m_pArpQuery))
            return Finish(ERunEnd::ArpUnusable, false);
        if (m_stop.StopRequested())
            return MarkStopped();
        if (EqualIgnoringCase(strReadMac, kNoAnswerMac))
            strReadMac.clear();
        if (strReadMac.empty())
            continue;

        m_result.strMacRead = strReadMac;
        m_log.AppendLogText("\nMAC address lido:", false);
        m_log.AppendLogText(strReadMac.c_str(), true);
        return Finish(EqualIgnoringCase(strMac, strReadMac) ? ERunEnd::Verified : ERunEnd::MacDiffers);
    }
}
