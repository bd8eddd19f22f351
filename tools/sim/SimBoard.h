#pragma once

#include "tools/sim/PtyLine.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/Transcript.h"

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Finds a byte pattern at the end of a stream, one byte at a time (prefix-function automaton), so the
// first-stage image is recognised however the bytes before it were split.
class CStreamMatcher {
public:
    explicit CStreamMatcher(std::string pattern);
    // True when the bytes fed so far end with the pattern.
    bool Feed(char c);
    void Reset() { m_nMatched = 0; }

private:
    std::string m_strPattern;
    std::vector<size_t> m_fail;
    size_t m_nMatched = 0;
};

// The board: its boot monitor, its Linux shell, its power and its faults. Whatever it prints goes through
// a script of steps (text, pauses, actions) that runs in order; a text step is done once the line has put
// its last byte out. Input waits in a queue until the console reads it, as in a UART's receive buffer.
class CSimBoard {
public:
    CSimBoard(const SSimOptions& opts, CPtyLine& line, CTranscript& transcript, std::string strLdr);

    void Start();
    void OnInput(std::string_view bytes, SimClock::time_point t);
    // Runs the board until it waits for time, for the line or for input.
    void Run();
    std::optional<SimClock::time_point> NextDeadline() const;
    // The operator switches the board off, takes the boot jumper out and switches it on again.
    void PowerCycle();
    // The line hung up on purpose; the program ends.
    bool IsGone() const { return m_bGone; }

private:
    enum class EMode { Off, WaitLdr, Monitor, Countdown, Shell, Hung };
    // A running command that checks the console for Ctrl-C, taking one waiting byte per check.
    enum class EPoll { None, Transfer, Discard };
    enum class EBootReason { PowerOn, Reset, Reboot, Command };

    struct SStep {
        enum class EKind { Text, Delay, Call } eKind;
        std::string strText;
        std::chrono::milliseconds delay{0};
        std::function<void()> fn;
        bool bStarted = false;
        SimClock::time_point tDeadline{};
    };
    struct SInByte {
        char c;
        SimClock::time_point t;
    };

    // Script
    void Say(std::string text);
    void Pause(int ms);
    void Then(std::function<void()> fn);
    bool RunStep();

    // Console input
    bool ConsumeInput();
    bool ReadLineInput(bool bShell);
    void PollConsole();
    void ExecuteMonitorLine(const std::string& line, SimClock::time_point t);
    void ExecuteShellLine(const std::string& line, SimClock::time_point t);
    // False when the command fails: the monitor then forgets it and an empty line does not repeat it.
    bool RunMonitorCommand(const std::vector<std::string>& args);

    // Board stages
    void PowerOn();
    void Restart(EBootReason reason);
    void BootFirstStage();
    void BootProduction(EBootReason reason);
    void CountdownTick();
    void BootLinux(EBootReason reason);
    void MonitorPrompt();
    void ShellPrompt();
    bool HangUpAt(EHangupStage stage);
    void Event(const std::string& text);

    // Commands (false: the command fails)
    bool CmdTftp(const std::vector<std::string>& args);
    void TftpFailure(const std::string& strWhy);
    void PowerCycleLater();
    void InitcallLog(std::vector<std::string>& lines) const;
    bool CmdEeprom(const std::vector<std::string>& args);
    bool CmdMemoryWrite(const std::vector<std::string>& args); // mw.b
    bool CmdCompare(const std::vector<std::string>& args);     // cmp.b
    std::string ReadRam(uint32_t addr, uint32_t n) const;
    void WriteRam(uint32_t addr, std::string_view data);
    bool EepromBoots() const;
    void CmdSetenv(const std::vector<std::string>& args);
    bool CmdSaveenv();
    bool SaveenvToFlash();
    int SaveMs() const { return m_opts.nSaveenvMs >= 0 ? m_opts.nSaveenvMs : m_opts.nEepromMs; }
    void CmdPrintenv();
    void CmdReset();
    void CmdReboot();

    std::optional<std::string> LookUpFile(const std::string& name) const;
    std::string StoredMac() const;
    std::string Garbage();
    void RunHook(const std::string& mac);

    const SSimOptions& m_opts;
    CPtyLine& m_line;
    CTranscript& m_transcript;
    CStreamMatcher m_ldrMatcher;
    bool m_bHaveLdr;

    EMode m_eMode = EMode::Off;
    bool m_bGone = false;
    bool m_bJumper = true; // boot jumper fitted: the board boots from the serial line
    std::deque<SStep> m_script;
    std::deque<SInByte> m_input;
    EPoll m_ePoll = EPoll::None;

    // Line editing
    std::string m_strLine;
    SimClock::time_point m_tLineStart{};
    bool m_bLineStarted = false;
    bool m_bLastWasCr = false;
    std::string m_strRepeat;   // last repeatable command
    bool m_bRepeating = false; // the command runs again for an empty line

    // Countdown
    int m_nCountdown = 0;
    SimClock::time_point m_tNextTick{};
    EBootReason m_eCountdownReason = EBootReason::PowerOn;

    // Memory, EEPROM, environment
    static constexpr uint32_t kLoadAddr = 0x1000000;
    static constexpr uint32_t kEepromSize = 256 * 1024;
    static constexpr uint32_t kRamSize = 64 * 1024 * 1024;
    static constexpr uint32_t kRamPage = 4096;
    std::string m_strLoaded;               // what the last transfer put at kLoadAddr
    std::map<uint32_t, std::string> m_ram; // the SDRAM's pages written since power-on
    bool m_bEepromBootable = false;
    std::string m_strEeprom;       // its kEepromSize bytes
    std::string m_strBootImage;    // what the EEPROM must begin with to boot (the last image written whole)
    bool m_bEepromWriting = false; // power lost now leaves an incomplete image
    std::map<std::string, std::string> m_env;
    std::map<std::string, std::string> m_envSaved;
    std::optional<SimClock::time_point> m_tPowerCycle;
    int m_nPowerOns = 0;
    uint32_t m_nGarbageSeed = 12345;
};
