#pragma once

#include "provisioning/Operator.h"

#include <string>

// How a provisioning run goes and how it ends, as its front ends and the record learn it: the stages, the
// ways a run ends, the result, and the notifications a front end can follow a run by.

// The stages of a run, in order.
enum ERunStage {
    RUN_STAGE_NONE = 0,
    RUN_STAGE_START = 1,
    RUN_STAGE_LOADER = 2,
    RUN_STAGE_OPEN = 3,
    RUN_STAGE_STOP_BITS = 4,
    RUN_STAGE_PROMPT = 5,
    RUN_STAGE_TFTP = 6,
    RUN_STAGE_EEPROM = 7,
    RUN_STAGE_POWER_CYCLE = 8,
    RUN_STAGE_REBOOT = 9,
    RUN_STAGE_PROMPT_AFTER_REBOOT = 10,
    RUN_STAGE_ASK_MAC = 11,
    RUN_STAGE_BOOTARGS = 12,
    RUN_STAGE_SAVEENV = 13,
    RUN_STAGE_RESET = 14,
    RUN_STAGE_CONFIGURED = 15,
    RUN_STAGE_VERIFY = 16,
    RUN_STAGE_CLOSE = 17,
};
constexpr int kRunStageCount = 17;

// A short Portuguese title of a stage for progress lines ("Etapa 6 de 17: ..."); "" outside 1..17.
const char* RunStageTitle(int nStage);

enum class ERunOutcome { Ok, Failed, Stopped };

// Which way a run ended. Each failure is one row of the operator's failure messages.
enum class ERunEnd {
    Verified,       // the board answers with the MAC that was sent
    LoaderFailed,   // stage 2
    OpenFailed,     // stage 3
    NoPrompt,       // stage 5 or 10
    TftpFailed,     // stage 6
    NoTransferSize, // stage 6
    EepromFailed,   // stage 7
    NoShell,        // stage 9
    MacCancelled,   // stage 11
    BootargsFailed, // stage 12
    SaveenvFailed,  // stage 13
    ResetFailed,    // stage 14
    ArpUnusable,    // stage 16
    MacDiffers,     // stage 16
    Stopped,        // the window closed or the program was interrupted
};

struct SRunResult {
    ERunOutcome eOutcome = ERunOutcome::Stopped;
    ERunEnd eEnd = ERunEnd::Stopped;
    int nStage = RUN_STAGE_NONE; // the last stage reached
    std::string strMessage;      // the closing box's text (UTF-8); empty for a stopped run
    std::string strMacSent;
    std::string strMacRead;
};

// Notifications from the run, on the run's own thread. Each is short: a front end that needs its GUI thread
// queues the work there.
class IRunObserver {
public:
    virtual ~IRunObserver() = default;
    virtual void OnStageStarted(int /*nStage*/) {}
    virtual void OnRunEnded(const SRunResult& /*result*/) {}
};
