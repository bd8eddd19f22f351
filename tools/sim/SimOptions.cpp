#include "tools/sim/SimOptions.h"

#include <charconv>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::map<std::string, EHangupStage>& HangupStages() {
    static const std::map<std::string, EHangupStage> stages = {
        {"ldr", EHangupStage::Ldr},
        {"monitor", EHangupStage::Monitor},
        {"tftp", EHangupStage::Tftp},
        {"eeprom", EHangupStage::Eeprom},
        {"power-cycle", EHangupStage::PowerCycle},
        {"linux", EHangupStage::Linux},
        {"reboot", EHangupStage::Reboot},
        {"setenv", EHangupStage::Setenv},
        {"saveenv", EHangupStage::Saveenv},
        {"reset", EHangupStage::Reset},
    };
    return stages;
}

std::optional<int> ParseInt(const std::string& text, int min, int max) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

const char* HangupStageName(EHangupStage stage) {
    for (const auto& [name, value] : HangupStages())
        if (value == stage)
            return name.c_str();
    return "none";
}

const char* SimUsage() {
    return R"usage(Usage: qan640-sim [OPTIONS]

A virtual QAN640 board on a pseudo-terminal. Prints the port path on the first line of
standard output, then plays the board until SIGTERM or SIGINT.

Start-up:
  --ldr FILE               first-stage image: the board stays silent until the whole content
                           of FILE has arrived on the line, then enters the boot monitor
  --start-in-monitor       enter the boot monitor at once (the default without --ldr)
  --tftp-dir DIR           directory served by 'tftp'; a missing file gives a TFTP error
  --tftp-size N            without --tftp-dir: every file name is served with N bytes (672)
  --transcript FILE        record received commands and board events with timestamps
                           (CLOCK_MONOTONIC seconds)
  --hook CMD               run CMD with /bin/sh on each boot into Linux; the stored MAC
                           address is in the environment variable QAN640_MAC
  --exit-on-close          end when the last program that opened the port closes it
  --old-image              the EEPROM holds a complete image from an earlier provisioning, so the
                           board boots after a power cycle even if nothing new was written
  --link PATH              make PATH a symbolic link to the port and print it as the port path;
                           it is removed when the device vanishes or the program ends

Timing:
  --pace line|full         output at 57600 baud (default) or as fast as the pty takes it
  --boot-ms N              duration of the Linux boot log (2000)
  --tftp-ms N              duration of a transfer (600)
  --eeprom-ms N            duration of an EEPROM write (300)
  --saveenv-ms N           duration of 'saveenv' (that of an EEPROM write)
  --bootdelay N            autoboot countdown steps (2)
  --countdown-step-ms N    duration of one countdown step (1000)
  --power-cycle-delay N    power the board off and on N ms after the EEPROM write (3000)
  --power-cycle-on-signal  power cycle only on SIGUSR1 (also accepted at any time otherwise)
  --net-timeout-ms N       a transfer's network time-out (5000): a silent server gets "T " after
                           each, 11 of them end the transfer; a missing host ends it after 4
  --slow-start-ms N        the first-stage boot monitor takes N ms to start (0); what arrives
                           meanwhile waits, as in a UART's FIFO: once up it prints its prompt,
                           then answers each waiting line end with another one
  --slow-restart-ms N      the same for the boot monitor from the EEPROM, after a power cycle,
                           'reboot' or 'reset' (0)

Realism rules (each can be switched off):
  --no-echo                typed characters are not echoed (line ends still start a line)
  --no-prompt-blank        the prompt is "QAN640>" without the trailing blank
  --crlf-one-line          a CR LF pair ends one line (by default the LF is an empty line)
  --no-repeat              an empty line does not repeat the last tftp or eeprom command
  --no-unknown-message     an unknown command only brings the prompt back
  --no-tftp-console-poll   input typed during a transfer waits instead of being swallowed (by
                           default each Ctrl-C check of the transfer takes one byte)
  --saveenv-eeprom         'saveenv' writes the environment to the EEPROM, without polling the
                           console (by default it is in flash: "Saving Environment to Flash...",
                           the erase, which takes one waiting byte per sector, then the write)
  --autoboot-line-end-only only a line end stops the autoboot countdown, other bytes are dropped
                           (by default any byte stops it; that byte is used up, not echoed, and
                           the rest waits for the command line)
  --keep-output-while-closed
                           output written while nobody has the port open waits in the pty
  --simple                 all of the above but --keep-output-while-closed

Other behaviour (off by default):
  --eeprom-polls-console   the EEPROM write swallows console input, so the LF of its CR LF is
                           gone when it ends: nothing follows its prompt
  --keep-input-through-reset
                           input waiting when 'reset' runs is kept, as an emulated UART keeps it:
                           the LF of "reset\r\n" then stops the autoboot countdown
  --eeprom-on-spi          the EEPROM is emulated on SPI flash: a read or write that reaches past
                           its end prints "Invalid sector! ", does nothing, and "done" follows
  --boot-log-kib N         the kernel logs its initcalls (initcall_debug): N KiB more boot log
  --unread-limit N         an adapter without flow control behind a throttled tty: once N bytes
                           wait unread in the port (Linux's line buffer holds 4095), output is lost

Faults (one switch each):
  --fault no-prompt                   the boot monitor never prints its prompt
  --fault tftp-error                  the board has no server address: "*** ERROR: `serverip' not set"
  --fault tftp-no-size                the transfer ends without a "Bytes transferred" line
  --fault eeprom-no-prompt            the EEPROM write ends with the prompt inside a line, then
                                      the board stops answering
  --fault eeprom-unknown              the monitor has no 'eeprom' command ("Unknown command")
  --fault eeprom-nak                  the EEPROM never acknowledges: reads and writes do nothing, and
                                      the command still says "done"
  --fault eeprom-nak-middle           one block in the middle of each write is not written; "done"
  --fault eeprom-repeat-hangs         the write repeated by an empty line never ends
  --fault tftp-not-found              the server has no such file ("TFTP error: 'File not found'")
  --fault tftp-server-silent          the server never answers: "T " per time-out, then
                                      "Retry count exceeded; starting again"
  --fault tftp-no-host                no host answers ARP: silence, then "ARP Retry count exceeded"
  --fault no-shell-after-power-cycle  Linux panics after the power cycle
  --fault no-prompt-after-reboot      the board never comes back after 'reboot'
  --fault setenv-no-confirm           'setenv' never returns to the prompt
  --fault saveenv-no-done             'saveenv' fails without printing "done" (EEPROM form)
  --fault saveenv-not-erased          the flash write fails: "Flash not Erased", "Failed (2)"
  --fault saveenv-write-timeout       the flash write fails: "Timeout writing to Flash", "Failed (1)"
  --fault no-shell-after-reset        Linux panics after 'reset'
  --fault garbage[=N]                 N bytes (2048) without line ends before every prompt
  --fault hangup=STAGE                the device vanishes at STAGE: ldr, monitor, tftp, eeprom,
                                      power-cycle, linux, reboot, setenv, saveenv, reset

Power lost during an EEPROM write leaves an incomplete image: the board stays dark after the power
cycle, as with any image that is not whole.

Signals: SIGUSR1 power-cycles the board; SIGTERM and SIGINT end the program.
  --help                   this text
)usage";
}

std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args, SSimOptions& opts,
                                           bool& bHelp) {
    bHelp = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool bInlineValue = false;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            bInlineValue = true;
        }
        auto takeValue = [&]() -> std::optional<std::string> {
            if (bInlineValue)
                return value;
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        auto flag = [&](bool& target, bool set) -> std::optional<std::string> {
            if (bInlineValue)
                return "option '" + arg + "' takes no value";
            target = set;
            return std::nullopt;
        };
        auto number = [&](int& target, int min, int max) -> std::optional<std::string> {
            auto text = takeValue();
            if (!text)
                return "option '" + arg + "' needs a value";
            auto n = ParseInt(*text, min, max);
            if (!n)
                return "option '" + arg + "' expects a whole number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", got '" + *text + "'";
            target = *n;
            return std::nullopt;
        };
        auto text = [&](std::string& target) -> std::optional<std::string> {
            auto t = takeValue();
            if (!t || t->empty())
                return "option '" + arg + "' needs a value";
            target = *t;
            return std::nullopt;
        };

        std::optional<std::string> error;
        if (arg == "--help" || arg == "-h") {
            bHelp = true;
            return std::nullopt;
        } else if (arg == "--ldr") {
            error = text(opts.strLdrFile);
        } else if (arg == "--start-in-monitor") {
            error = flag(opts.bStartInMonitor, true);
        } else if (arg == "--tftp-dir") {
            error = text(opts.strTftpDir);
        } else if (arg == "--tftp-size") {
            error = number(opts.nTftpSize, 1, 16 * 1024 * 1024);
        } else if (arg == "--transcript") {
            error = text(opts.strTranscript);
        } else if (arg == "--hook") {
            error = text(opts.strHook);
        } else if (arg == "--link") {
            error = text(opts.strLink);
        } else if (arg == "--old-image") {
            error = flag(opts.bOldImage, true);
        } else if (arg == "--exit-on-close") {
            error = flag(opts.bExitOnClose, true);
        } else if (arg == "--pace") {
            auto t = takeValue();
            if (t && *t == "line")
                opts.bLinePacing = true;
            else if (t && *t == "full")
                opts.bLinePacing = false;
            else
                error = "option '--pace' expects 'line' or 'full', got '" + t.value_or("") + "'";
        } else if (arg == "--boot-ms") {
            error = number(opts.nBootMs, 0, 600000);
        } else if (arg == "--tftp-ms") {
            error = number(opts.nTftpMs, 0, 600000);
        } else if (arg == "--eeprom-ms") {
            error = number(opts.nEepromMs, 0, 600000);
        } else if (arg == "--saveenv-ms") {
            error = number(opts.nSaveenvMs, 0, 600000);
        } else if (arg == "--bootdelay") {
            error = number(opts.nBootDelay, 0, 99);
        } else if (arg == "--countdown-step-ms") {
            error = number(opts.nCountdownStepMs, 1, 60000);
        } else if (arg == "--net-timeout-ms") {
            error = number(opts.nNetTimeoutMs, 1, 600000);
        } else if (arg == "--power-cycle-delay") {
            error = number(opts.nPowerCycleDelayMs, 0, 3600000);
        } else if (arg == "--slow-start-ms") {
            error = number(opts.nSlowStartMs, 0, 600000);
        } else if (arg == "--slow-restart-ms") {
            error = number(opts.nSlowRestartMs, 0, 600000);
        } else if (arg == "--power-cycle-on-signal") {
            bool b = false;
            error = flag(b, true);
            opts.nPowerCycleDelayMs = -1;
        } else if (arg == "--no-echo") {
            error = flag(opts.bEcho, false);
        } else if (arg == "--no-prompt-blank") {
            error = flag(opts.bPromptBlank, false);
        } else if (arg == "--crlf-one-line") {
            error = flag(opts.bSplitCrLf, false);
        } else if (arg == "--no-repeat") {
            error = flag(opts.bRepeat, false);
        } else if (arg == "--no-unknown-message") {
            error = flag(opts.bUnknownMessage, false);
        } else if (arg == "--no-tftp-console-poll") {
            error = flag(opts.bTftpPollsConsole, false);
        } else if (arg == "--saveenv-eeprom") {
            error = flag(opts.bSaveenvOnFlash, false);
        } else if (arg == "--autoboot-line-end-only") {
            error = flag(opts.bAutobootAnyKey, false);
        } else if (arg == "--eeprom-polls-console") {
            error = flag(opts.bEepromPollsConsole, true);
        } else if (arg == "--keep-input-through-reset") {
            error = flag(opts.bKeepInputThroughReset, true);
        } else if (arg == "--eeprom-on-spi") {
            error = flag(opts.bEepromOnSpi, true);
        } else if (arg == "--boot-log-kib") {
            error = number(opts.nBootLogKib, 0, 1024);
        } else if (arg == "--unread-limit") {
            error = number(opts.nUnreadLimit, 0, 1 << 20);
        } else if (arg == "--keep-output-while-closed") {
            error = flag(opts.bDropWhileClosed, false);
        } else if (arg == "--simple") {
            if (bInlineValue)
                error = "option '--simple' takes no value";
            // The plainest console; output on a closed port is still lost, as on any real line.
            opts.bEcho = opts.bPromptBlank = opts.bSplitCrLf = opts.bRepeat = opts.bUnknownMessage =
                opts.bTftpPollsConsole = opts.bSaveenvOnFlash = opts.bAutobootAnyKey = false;
        } else if (arg == "--fault") {
            auto t = takeValue();
            if (!t)
                return std::string("option '--fault' needs a value");
            // A fault name may itself carry a value after '=' (garbage=N, hangup=STAGE).
            std::string name = bInlineValue ? value : *t;
            std::string faultValue;
            if (size_t eq = name.find('='); eq != std::string::npos) {
                faultValue = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            auto noValue = [&](bool& target) -> std::optional<std::string> {
                if (!faultValue.empty())
                    return "fault '" + name + "' takes no value";
                target = true;
                return std::nullopt;
            };
            if (name == "no-prompt")
                error = noValue(opts.bFaultNoPrompt);
            else if (name == "tftp-error")
                error = noValue(opts.bFaultTftpError);
            else if (name == "tftp-no-size")
                error = noValue(opts.bFaultTftpNoSize);
            else if (name == "eeprom-no-prompt")
                error = noValue(opts.bFaultEepromNoPrompt);
            else if (name == "eeprom-unknown")
                error = noValue(opts.bFaultEepromUnknown);
            else if (name == "eeprom-nak")
                error = noValue(opts.bFaultEepromNak);
            else if (name == "eeprom-nak-middle")
                error = noValue(opts.bFaultEepromNakMiddle);
            else if (name == "eeprom-repeat-hangs")
                error = noValue(opts.bFaultEepromRepeatHangs);
            else if (name == "tftp-not-found")
                error = noValue(opts.bFaultTftpNotFound);
            else if (name == "tftp-server-silent")
                error = noValue(opts.bFaultTftpServerSilent);
            else if (name == "tftp-no-host")
                error = noValue(opts.bFaultTftpNoHost);
            else if (name == "no-shell-after-power-cycle")
                error = noValue(opts.bFaultNoShellAfterPowerCycle);
            else if (name == "no-prompt-after-reboot")
                error = noValue(opts.bFaultNoPromptAfterReboot);
            else if (name == "setenv-no-confirm")
                error = noValue(opts.bFaultSetenvNoConfirm);
            else if (name == "saveenv-no-done")
                error = noValue(opts.bFaultSaveenvNoDone);
            else if (name == "saveenv-not-erased")
                error = noValue(opts.bFaultSaveenvNotErased);
            else if (name == "saveenv-write-timeout")
                error = noValue(opts.bFaultSaveenvWriteTimeout);
            else if (name == "no-shell-after-reset")
                error = noValue(opts.bFaultNoShellAfterReset);
            else if (name == "garbage") {
                if (faultValue.empty()) {
                    opts.nGarbageBytes = 2048;
                } else if (auto n = ParseInt(faultValue, 1, 16 * 1024 * 1024)) {
                    opts.nGarbageBytes = *n;
                } else {
                    error =
                        "fault 'garbage' expects a byte count from 1 to 16777216, got '" + faultValue + "'";
                }
            } else if (name == "hangup") {
                auto it = HangupStages().find(faultValue);
                if (it == HangupStages().end())
                    error = "fault 'hangup' expects a stage (ldr, monitor, tftp, eeprom, power-cycle, linux, "
                            "reboot, setenv, saveenv, reset), got '" +
                            faultValue + "'";
                else
                    opts.eHangup = it->second;
            } else {
                error = "unknown fault '" + name + "' (see --help)";
            }
        } else {
            error = "unknown option '" + args[i] + "' (see --help)";
        }
        if (error)
            return error;
    }

    if (!opts.strLdrFile.empty()) {
        if (access(opts.strLdrFile.c_str(), R_OK) != 0)
            return "cannot read the first-stage image '" + opts.strLdrFile + "'";
    }
    if (!opts.strTftpDir.empty()) {
        struct stat st {};
        if (stat(opts.strTftpDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return "the tftp directory '" + opts.strTftpDir + "' does not exist";
    }
    if (opts.strLdrFile.empty())
        opts.bStartInMonitor = true;
    return std::nullopt;
}
