#pragma once

#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"
#include "links/LoaderRunner.h"
#include "provisioning/Operator.h"
#include "provisioning/RunResult.h"
#include "provisioning/SerialNumber.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class CBootMonitorDialogue;
class CPortLock;
class IArpQuery;
class IMacLedger;
struct SMacLookup;

// What the front ends, tests and benchmarks change about a run; the defaults are what the window runs with
// when it has no QAN640net.conf.
struct SRunOptions {
    static constexpr uint32_t kReadTimeoutMs = 300;

    // The board's network card for the MAC check; empty: the routes choose, unless the board's address is
    // on-link through several cards.
    std::string strInterface;
    // How long the MAC check waits for the board at most, in seconds; 0: as long as the run goes on.
    uint32_t dwArpTimeoutS = 0;

    SLoaderOptions loader; // the loader program and its pauses
    // The serial port's read time-out; a short one makes budgets of failed reads run out at once.
    uint32_t dwReadTimeoutMs = kReadTimeoutMs;
    IArpQuery* pArpQuery = nullptr; // the ARP service of the verification; null is the platform's
    // The addresses already given out: asked before an address is sent (none: no check). With
    // bOfferNextMac the MAC dialog opens with the range's next free address.
    IMacLedger* pMacLedger = nullptr;
    bool bOfferNextMac = false;
    std::string strPortLockDir; // where the port's lock file goes; empty: CPortLock's system folder
    // The site's serial-number rule (QAN640serial.conf), and what makes its file unusable (the run then ends
    // at its first stage: nothing is sent without the serial the site wants).
    SSerialRule serialRule;
    std::string strSerialRuleError;
    // Whether the board reads its EEPROM back and compares it with the image before the power-cycle box.
    bool bReadBackEeprom = true;
};

// One provisioning run, from the external loader to the verified MAC address, on the calling thread (the
// worker). Every stage either leads to the next or ends the run with one message box; a failed stage is
// not retried. The serial port is the run's own: it is opened after the loader has released it and closed
// on every way out, after the closing box.
//
// Before anything is sent, the run claims its port (CPortLock) and makes sure the MAC check can tell the
// board's network card; either failing ends the run at its first stage.
//
// A stop request (the window closing, the program interrupted) ends the run at once at any stage: the
// loader child is ended and reaped, an open box or dialog is taken down, the port is closed and nothing
// more is written to the board. A stopped run shows no box of its own and never counts as a success.
class CProvisioningRun {
public:
    static constexpr const char* kBoardIp = "10.0.0.50";
    static constexpr const char* kNoAnswerMac = "00:FF:FF:FF:FF:FF";
    static constexpr uint32_t kArpPauseMs = 1000;

    // The stage-8 box; the closing boxes are in kRunEnds.
    static const char* const kMsgPowerCycle;
    // The result's notes (UTF-8).
    static const char* const kNoteNoReadBack;
    static const char* const kNoteStoppedWhileWriting;

    CProvisioningRun(CRunState& run, CLogConsole& log, IOperator& op, CStopToken stop = {},
                     SRunOptions options = {});
    ~CProvisioningRun();
    CProvisioningRun(const CProvisioningRun&) = delete;
    CProvisioningRun& operator=(const CProvisioningRun&) = delete;

    // The whole run. The result says how it ended; the operator has already been told.
    SRunResult RunProvisioning();

    void SetObserver(IRunObserver* pObserver) { m_pObserver = pObserver; }

private:
    void RunStages();
    void EnterStage(int nStage);
    void RefreshLog() { m_log.AppendLogChar(0, true); }
    // Ends the run with its closing box (none when a stop was requested meanwhile).
    void Finish(ERunEnd eEnd, bool bRefresh = true);
    // Ends the run as Finish does, with strReason (UTF-8) in the log and on the box's last line.
    void FinishWithReason(ERunEnd eEnd, const std::string& strReason);
    // Records that a stop ended the run: no box, no failure.
    void MarkStopped();
    // The loader and the image there, the board's serial number taken (when the site asks for it), the port
    // claimed (its claim shared with the loader) and the board's card usable; false when the run has ended on
    // any of them.
    bool PrepareBench(CLoaderRunner& loader, CPortLock& portLock);
    void VerifyMac(const std::string& strMac);
    // Stage 6: the image fetched, its size from the board's answer. False when the run ended there.
    bool TransferImage(CBootMonitorDialogue& dialogue, std::string& strSize);
    // Stage 8: the power-cycle request, the board's boot log read while it is open. False on a stop.
    bool AwaitPowerCycle(CBootMonitorDialogue& dialogue);
    // Stage 7: the write, the wait until the board is idle, the read-back. False when the run ended there.
    bool WriteEeprom(CBootMonitorDialogue& dialogue, const std::string& strSize);
    // Stage 11: the address from the operator, checked against the addresses already given out. Empty when
    // the run ended there.
    std::string AskCheckedMac();
    // The serial number, when the site requires one; false when the run ended there.
    bool TakeSerialNumber();
    // Whether the record shows the address stored before, or the run's serial bound to another address: the
    // question to ask the operator and what the refusal's box says, both empty when there is none (the same
    // serial with the same address is the same board again, noted in the result). Nothing when the record
    // cannot be read (strDetail says why).
    struct SBinding {
        std::string strQuestion;
        std::string strRecorded;
    };
    std::optional<SBinding> BindingOf(const std::string& strMac, const SMacLookup& lookup);
    // A check done with less than it should have: in the log and on the operator's progress line.
    void Warn(const std::string& strWarning);

    CRunState& m_run;
    CLogConsole& m_log;
    IOperator& m_op;
    CStopToken m_stop;
    IRunObserver* m_pObserver = nullptr;
    SRunOptions m_options;
    std::unique_ptr<IArpQuery> m_pOwnArpQuery; // the platform's, on the card of the options
    IArpQuery* m_pArpQuery = nullptr;          // the one the run asks
    SRunResult m_result;
    bool m_bWriteInDoubt = false; // the transfer has begun and the board's write is not proven yet
};
