#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

// Where the board's line hangs up (the device vanishes) when asked to.
enum class EHangupStage {
    None,
    Ldr,
    Monitor,
    Tftp,
    Eeprom,
    PowerCycle,
    Linux,
    Reboot,
    Setenv,
    Saveenv,
    Reset
};

struct SSimOptions {
    // Start-up
    std::string strLdrFile; // first-stage image; empty: start in the boot monitor
    bool bStartInMonitor = false;
    std::string strTftpDir; // files served by tftp; empty: every name is served with nTftpSize bytes
    int nTftpSize = 672;
    std::string strTranscript; // file of received commands and board events, with timestamps
    std::string strHook;       // shell command run on each boot into Linux, with QAN640_MAC set
    std::string strLink;       // a symbolic link to the port, made at start and removed with the device
    bool bOldImage = false;    // the EEPROM holds a complete image from an earlier provisioning

    // Timing
    bool bLinePacing = true; // 57600 baud, 8N1; false: as fast as the pty takes it
    int nBootMs = 2000;      // Linux boot log
    int nBootLogKib = 0;     // > 0: a kernel booted with initcall_debug, its log that much longer
    int nTftpMs = 600;       // transfer
    int nEepromMs = 300;     // EEPROM write
    int nSaveenvMs = -1;     // saving the environment; -1: as long as an EEPROM write
    int nBootDelay = 2;      // autoboot countdown steps
    int nCountdownStepMs = 1000;
    int nPowerCycleDelayMs = 3000; // after the EEPROM write; -1: only on SIGUSR1
    int nNetTimeoutMs = 5000;      // a transfer's time-out: "T " after each, ARP gives up after four
    // Time a boot monitor takes to start, keeping the input meanwhile: the first stage, and the one from
    // the EEPROM (after a power cycle, reboot or reset).
    int nSlowStartMs = 0;
    int nSlowRestartMs = 0;
    bool bExitOnClose = false; // end when the last client closes the port

    // Realism rules (all on by default)
    bool bEcho = true;
    bool bPromptBlank = true;
    bool bSplitCrLf = true; // CR and LF each end a line
    bool bRepeat = true;    // an empty line repeats tftp and eeprom
    bool bUnknownMessage = true;
    bool bTftpPollsConsole = true;    // a transfer swallows console input (Ctrl-C aborts it)
    bool bSaveenvOnFlash = true;      // the environment is in flash: erase (polling the console), then write
    bool bAutobootAnyKey = true;      // any byte stops the autoboot countdown, not only a line end
    bool bDropWhileClosed = true;     // output nobody has the port open for is lost
    bool bEepromPollsConsole = false; // the EEPROM write swallows console input
    bool bKeepInputThroughReset = false; // 'reset' keeps what waits in the input (an emulated UART)
    bool bEepromOnSpi = false;           // the EEPROM is emulated on SPI flash ("Invalid sector! ")
    int nUnreadLimit = 0;                // > 0: output is lost once that many bytes wait unread

    // Faults
    bool bFaultNoPrompt = false;
    bool bFaultTftpError = false;
    bool bFaultTftpNoSize = false;
    bool bFaultEepromNoPrompt = false;
    bool bFaultEepromUnknown = false; // the monitor has no 'eeprom' command
    bool bFaultEepromNak = false;     // the I2C EEPROM answers nothing: reads and writes do nothing, silently
    bool bFaultEepromNakMiddle = false;   // one block in the middle of each write is refused, silently
    bool bFaultEepromRepeatHangs = false; // the repeated write never ends
    bool bFaultTftpNotFound = false;
    bool bFaultTftpServerSilent = false;
    bool bFaultTftpNoHost = false;
    bool bFaultNoShellAfterPowerCycle = false;
    bool bFaultNoPromptAfterReboot = false;
    bool bFaultSetenvNoConfirm = false;
    bool bFaultSaveenvNoDone = false;
    bool bFaultSaveenvNotErased = false;
    bool bFaultSaveenvWriteTimeout = false;
    bool bFaultNoShellAfterReset = false;
    int nGarbageBytes = 0; // bytes without line ends printed before every monitor prompt
    EHangupStage eHangup = EHangupStage::None;
};

// Parses argv. On a bad option returns the message to print (without the program name); sets bHelp for
// --help.
std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args, SSimOptions& opts,
                                           bool& bHelp);

const char* SimUsage();
const char* HangupStageName(EHangupStage stage);
