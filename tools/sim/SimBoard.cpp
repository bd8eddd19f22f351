#include "tools/sim/SimBoard.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <unistd.h>

namespace {

constexpr const char* kMonitorPrompt = "QAN640>";
constexpr const char* kShellPrompt = "root:/> ";
constexpr const char* kServerIp = "10.0.0.2";
constexpr const char* kBoardIp = "10.0.0.50";
constexpr int kPowerOffMs = 100;
constexpr size_t kTftpBlock = 512;
constexpr int kHashesPerRow = 65;
constexpr size_t kMaxTftpFile = 16 * 1024 * 1024;

std::string Format(const char* fmt, auto... args) {
    char buf[512];
    snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::optional<uint32_t> ParseHex(const std::string& text) {
    std::string digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X"))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0)
            return std::nullopt;
        value = value * 16 + uint32_t(d);
    }
    return value;
}

std::map<std::string, std::string> DefaultEnvironment() {
    return {
        {"bootcmd", "run eepromboot"},
        {"bootdelay", "2"},
        {"baudrate", "57600"},
        {"ipaddr", kBoardIp},
        {"serverip", kServerIp},
        {"loadaddr", "0x1000000"},
        {"bootargs", "root=/dev/mtdblock1 rw rootfstype=jffs2"},
    };
}

} // namespace

CStreamMatcher::CStreamMatcher(std::string pattern)
    : m_strPattern(std::move(pattern)), m_fail(m_strPattern.size()) {
    for (size_t i = 1, k = 0; i < m_strPattern.size(); ++i) {
        while (k > 0 && m_strPattern[i] != m_strPattern[k])
            k = m_fail[k - 1];
        if (m_strPattern[i] == m_strPattern[k])
            ++k;
        m_fail[i] = k;
    }
}

bool CStreamMatcher::Feed(char c) {
    if (m_strPattern.empty())
        return true;
    if (m_nMatched == m_strPattern.size())
        m_nMatched = m_fail[m_nMatched - 1];
    while (m_nMatched > 0 && c != m_strPattern[m_nMatched])
        m_nMatched = m_fail[m_nMatched - 1];
    if (c == m_strPattern[m_nMatched])
        ++m_nMatched;
    return m_nMatched == m_strPattern.size();
}

CSimBoard::CSimBoard(const SSimOptions& opts, CPtyLine& line, CTranscript& transcript, std::string strLdr)
    : m_opts(opts), m_line(line), m_transcript(transcript), m_ldrMatcher(strLdr), m_bHaveLdr(!strLdr.empty()),
      m_bEepromBootable(opts.bOldImage), m_strEeprom(kEepromSize, '\xff'), m_envSaved(DefaultEnvironment()) {
    if (opts.bOldImage) {
        // An image from an earlier provisioning: not what any transfer of this run brings.
        m_strBootImage = ReadRam(0x3000000, 160 * 1024);
        m_strEeprom.replace(0, m_strBootImage.size(), m_strBootImage);
    }
}

// ---- Script ----

void CSimBoard::Say(std::string text) {
    SStep step{SStep::EKind::Text, std::move(text), {}, {}, false, {}};
    m_script.push_back(std::move(step));
}

void CSimBoard::Pause(int ms) {
    if (ms <= 0)
        return;
    m_script.push_back(SStep{SStep::EKind::Delay, {}, std::chrono::milliseconds(ms), {}, false, {}});
}

void CSimBoard::Then(std::function<void()> fn) {
    m_script.push_back(SStep{SStep::EKind::Call, {}, {}, std::move(fn), false, {}});
}

void CSimBoard::Event(const std::string& text) {
    m_transcript.Write(SimClock::now(), "EVENT", text);
}

bool CSimBoard::RunStep() {
    SStep& step = m_script.front();
    switch (step.eKind) {
    case SStep::EKind::Text:
        if (!step.bStarted) {
            step.bStarted = true;
            m_line.Queue(step.strText);
            m_line.Service(SimClock::now());
        }
        if (m_line.OutputPending())
            return false;
        m_script.pop_front();
        return true;
    case SStep::EKind::Delay:
        if (!step.bStarted) {
            step.bStarted = true;
            step.tDeadline = SimClock::now() + step.delay;
        }
        if (SimClock::now() < step.tDeadline)
            return false;
        m_script.pop_front();
        return true;
    case SStep::EKind::Call: {
        auto fn = std::move(step.fn);
        m_script.pop_front();
        fn();
        return true;
    }
    }
    return false;
}

void CSimBoard::Run() {
    for (;;) {
        if (m_bGone)
            return;
        if (m_tPowerCycle && SimClock::now() >= *m_tPowerCycle) {
            PowerCycle();
            continue;
        }
        if (!m_script.empty()) {
            if (m_ePoll != EPoll::None)
                PollConsole();
            if (m_script.empty() || RunStep())
                continue;
            return;
        }
        if (m_eMode == EMode::Countdown && SimClock::now() >= m_tNextTick) {
            CountdownTick();
            continue;
        }
        if (!ConsumeInput())
            return;
    }
}

std::optional<SimClock::time_point> CSimBoard::NextDeadline() const {
    std::optional<SimClock::time_point> next = m_tPowerCycle;
    auto consider = [&](SimClock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (!m_script.empty() && m_script.front().eKind == SStep::EKind::Delay && m_script.front().bStarted)
        consider(m_script.front().tDeadline);
    if (m_script.empty() && m_eMode == EMode::Countdown)
        consider(m_tNextTick);
    return next;
}

// ---- Power and boot ----

void CSimBoard::Start() {
    m_env = m_envSaved;
    ++m_nPowerOns;
    if (m_opts.bStartInMonitor || !m_bHaveLdr) {
        Event("power on, boot monitor already loaded");
        BootFirstStage();
    } else {
        Event("power on, waiting for the first-stage image");
        m_eMode = EMode::WaitLdr;
    }
}

void CSimBoard::PowerCycle() {
    m_tPowerCycle.reset();
    Event("power off, boot jumper removed");
    if (m_bEepromWriting) {
        // The write stops half-way: part of the image is new, part is gone.
        m_bEepromWriting = false;
        m_bEepromBootable = false;
        Event("power lost during the EEPROM write: the image is incomplete");
    }
    m_line.DiscardPending();
    m_script.clear();
    m_input.clear();
    m_ePoll = EPoll::None;
    m_bJumper = false;
    m_ram.clear(); // SDRAM forgets
    m_eMode = EMode::Off;
    Pause(kPowerOffMs);
    Then([this] { PowerOn(); });
}

void CSimBoard::PowerOn() {
    ++m_nPowerOns;
    if (HangUpAt(EHangupStage::PowerCycle))
        return;
    Restart(EBootReason::PowerOn);
}

void CSimBoard::Restart(EBootReason reason) {
    // A reset of the processor empties a real UART's receive buffer; an emulated one keeps it. After a
    // reboot, Linux has read the line already.
    if (!(reason == EBootReason::Reset && m_opts.bKeepInputThroughReset))
        m_input.clear();
    m_strLine.clear();
    m_bLineStarted = false;
    m_bLastWasCr = false;
    m_ePoll = EPoll::None;
    m_strRepeat.clear();
    m_env = m_envSaved;
    if (m_bJumper) {
        Event("boot from the serial line: waiting for the first-stage image");
        m_ldrMatcher.Reset();
        m_eMode = m_bHaveLdr ? EMode::WaitLdr : EMode::Hung;
        return;
    }
    if (!m_bEepromBootable) {
        Event("no complete image in the EEPROM: the board stays dark");
        m_eMode = EMode::Hung;
        return;
    }
    BootProduction(reason);
}

void CSimBoard::BootFirstStage() {
    if (HangUpAt(EHangupStage::Monitor))
        return;
    m_eMode = EMode::Off; // not reading until the prompt is out; input waits meanwhile
    Pause(m_opts.nSlowStartMs);
    Then([this] { Event("boot monitor started (first stage)"); });
    Say("\r\n\r\nU-Boot 2010.06-qan640 (first stage, loaded over the serial line)\r\n\r\n"
        "CPU:   Blackfin, 500 MHz core, 125 MHz system\r\n"
        "Board: QAN640\r\n"
        "DRAM:  64 MiB\r\n"
        "In:    serial\r\nOut:   serial\r\nErr:   serial\r\n"
        "Net:   qan640-eth\r\n");
    MonitorPrompt();
}

void CSimBoard::BootProduction(EBootReason reason) {
    m_eMode = EMode::Off;
    Pause(m_opts.nSlowRestartMs);
    Then([this] { Event("boot monitor started from the EEPROM"); });
    Say("\r\n\r\nU-Boot 2010.06-qan640 (production)\r\n\r\n"
        "CPU:   Blackfin, 500 MHz core, 125 MHz system\r\n"
        "Board: QAN640\r\n"
        "DRAM:  64 MiB\r\n"
        "EEPROM: 256 KiB\r\n"
        "In:    serial\r\nOut:   serial\r\nErr:   serial\r\n"
        "Net:   qan640-eth\r\n");
    if (m_opts.nBootDelay <= 0) {
        Then([this, reason] { BootLinux(reason); });
        return;
    }
    Say(Format("Hit ENTER to stop autoboot: %2d", m_opts.nBootDelay));
    Then([this, reason] {
        m_eMode = EMode::Countdown;
        m_eCountdownReason = reason;
        m_nCountdown = m_opts.nBootDelay;
        m_tNextTick = SimClock::now() + std::chrono::milliseconds(m_opts.nCountdownStepMs);
    });
}

void CSimBoard::CountdownTick() {
    if (--m_nCountdown > 0) {
        Say(Format("\b\b%2d", m_nCountdown));
        m_tNextTick = SimClock::now() + std::chrono::milliseconds(m_opts.nCountdownStepMs);
        return;
    }
    m_eMode = EMode::Off;
    Say("\b\b 0\r\n");
    EBootReason reason = m_eCountdownReason;
    Then([this, reason] { BootLinux(reason); });
}

void CSimBoard::BootLinux(EBootReason reason) {
    if (HangUpAt(EHangupStage::Linux))
        return;
    m_eMode = EMode::Off;
    std::string mac = StoredMac();
    Event("linux boot, MAC " + (mac.empty() ? std::string("none") : mac));
    RunHook(mac);

    std::vector<std::string> lines = {
        "## Loading kernel from EEPROM boot partition ...",
        "   Image Name:   QAN640 uClinux",
        "   Verifying Checksum ... OK",
        "Starting kernel ...",
        "",
        "Linux version 2.6.34-qan640 (build@qan640) #1 Thu Mar 3 10:12:44 BRT 2011",
        "Board: QAN640",
        "Kernel command line: " + (m_env.count("bootargs") ? m_env["bootargs"] : std::string()),
        "Memory available: 59544k/65536k RAM",
        "Serial: console on ttyS0 at 57600 baud",
        mac.empty() ? std::string("eth0: no MAC address stored, interface left down")
                    : "eth0: MAC address " + mac + ", IP " + kBoardIp,
        "jffs2: mounting root file system from mtdblock1",
        "VFS: Mounted root (jffs2 filesystem).",
        "Freeing unused kernel memory: 96k freed",
    };
    bool bPanic = (reason == EBootReason::PowerOn && m_opts.bFaultNoShellAfterPowerCycle) ||
                  (reason == EBootReason::Reset && m_opts.bFaultNoShellAfterReset);
    if (bPanic) {
        lines.resize(11);
        lines.push_back("VFS: Cannot open root device \"mtdblock1\"");
        lines.push_back("Kernel panic - not syncing: VFS: Unable to mount root fs");
    } else {
        lines.push_back("");
        lines.push_back("QAN640 shell. Enter 'help' for a list of commands.");
        lines.push_back("");
    }
    InitcallLog(lines);
    int pause = m_opts.nBootMs / int(lines.size());
    for (const auto& l : lines) {
        Say(l + "\r\n");
        Pause(pause);
    }
    if (bPanic) {
        Then([this] {
            Event("linux panicked: no shell");
            m_eMode = EMode::Hung;
        });
        return;
    }
    ShellPrompt();
}

void CSimBoard::InitcallLog(std::vector<std::string>& lines) const {
    // The lines of the kernel's do_one_initcall with initcall_debug, after the memory line.
    std::vector<std::string> calls;
    size_t nBytes = 0;
    for (unsigned n = 0; nBytes < size_t(m_opts.nBootLogKib) * 1024; ++n) {
        char szCall[160];
        snprintf(szCall, sizeof szCall, "calling  initcall_%u+0x0/0x%x @ 1", n, 0x30 + n % 0x50);
        calls.push_back(szCall);
        snprintf(szCall, sizeof szCall, "initcall initcall_%u+0x0/0x%x returned 0 after %u usecs", n,
                 0x30 + n % 0x50, 10 + n * 37 % 977);
        calls.push_back(szCall);
        nBytes += calls[calls.size() - 2].size() + calls.back().size() + 4;
    }
    lines.insert(lines.begin() + 9, calls.begin(), calls.end());
}

void CSimBoard::MonitorPrompt() {
    if (m_opts.nGarbageBytes > 0)
        Say(Garbage());
    if (m_opts.bFaultNoPrompt) {
        Then([this] { m_eMode = EMode::Monitor; });
        return;
    }
    Say(std::string(kMonitorPrompt) + (m_opts.bPromptBlank ? " " : ""));
    Then([this] {
        m_transcript.Write(m_line.LastDrained(), "PROMPT", kMonitorPrompt);
        m_eMode = EMode::Monitor;
        // The operator waits while the tool still talks to the board: from the end of each answer too, so a
        // command that is slow to carry out (a large mw.b on a loaded machine) is not cut short.
        if (m_tPowerCycle)
            m_tPowerCycle = SimClock::now() + std::chrono::milliseconds(m_opts.nPowerCycleDelayMs);
    });
}

void CSimBoard::ShellPrompt() {
    Say(kShellPrompt);
    Then([this] {
        m_transcript.Write(m_line.LastDrained(), "SHELL", kShellPrompt);
        m_eMode = EMode::Shell;
    });
}

bool CSimBoard::HangUpAt(EHangupStage stage) {
    if (m_opts.eHangup != stage)
        return false;
    Event(std::string("hang-up at ") + HangupStageName(stage) + ": the device vanishes");
    m_line.HangUp();
    m_script.clear();
    m_input.clear();
    m_bGone = true;
    return true;
}

std::string CSimBoard::Garbage() {
    // No line ends and none of the characters that the awaited texts end with, so the noise can neither
    // end a line nor complete a prompt, a shell marker, "done" or "ERROR" by accident.
    std::string out;
    out.reserve(size_t(m_opts.nGarbageBytes));
    while (out.size() < size_t(m_opts.nGarbageBytes)) {
        m_nGarbageSeed = m_nGarbageSeed * 1103515245u + 12345u;
        char c = char((m_nGarbageSeed >> 16) & 0xFF);
        if (c == '\r' || c == '\n' || c == '>' || c == ':' || c == 'e' || c == 'R' || c == 0x03)
            continue;
        out += c;
    }
    return out;
}

// ---- Input ----

void CSimBoard::OnInput(std::string_view bytes, SimClock::time_point t) {
    for (char c : bytes)
        m_input.push_back({c, t});
}

bool CSimBoard::ConsumeInput() {
    switch (m_eMode) {
    case EMode::Off:
    case EMode::Hung:
        m_input.clear();
        return false;
    case EMode::WaitLdr:
        while (!m_input.empty()) {
            char c = m_input.front().c;
            m_input.pop_front();
            if (m_ldrMatcher.Feed(c)) {
                Event("first-stage image received");
                if (HangUpAt(EHangupStage::Ldr))
                    return true;
                BootFirstStage();
                return true;
            }
        }
        return false;
    case EMode::Countdown:
        while (!m_input.empty()) {
            char c = m_input.front().c;
            m_input.pop_front();
            // The countdown takes the key that stops it and leaves the rest for the command line.
            if (m_opts.bAutobootAnyKey || c == '\r' || c == '\n') {
                Event("autoboot stopped");
                m_eMode = EMode::Off;
                m_bLastWasCr = c == '\r';
                Say("\b\b 0\r\n");
                MonitorPrompt();
                return true;
            }
        }
        return false;
    case EMode::Monitor:
        return ReadLineInput(false);
    case EMode::Shell:
        return ReadLineInput(true);
    }
    return false;
}

bool CSimBoard::ReadLineInput(bool bShell) {
    while (!m_input.empty()) {
        SInByte in = m_input.front();
        m_input.pop_front();
        unsigned char c = static_cast<unsigned char>(in.c);
        bool bAfterCr = m_bLastWasCr;
        m_bLastWasCr = c == '\r';

        if (c == '\r' || c == '\n') {
            if (c == '\n' && bAfterCr && !m_opts.bSplitCrLf)
                continue; // CR LF taken as one line end
            std::string line = m_strLine;
            SimClock::time_point t = m_bLineStarted ? m_tLineStart : in.t;
            m_strLine.clear();
            m_bLineStarted = false;
            m_eMode = EMode::Off; // busy until the command is done
            Say("\r\n");
            if (bShell)
                ExecuteShellLine(line, t);
            else
                ExecuteMonitorLine(line, t);
            return true;
        }
        if (!m_bLineStarted) {
            m_bLineStarted = true;
            m_tLineStart = in.t;
        }
        if (c == 0x03) { // Ctrl-C drops the line
            m_transcript.Write(m_tLineStart, "CMD", "\\x03");
            m_strLine.clear();
            m_bLineStarted = false;
            m_eMode = EMode::Off;
            Say("<INTERRUPT>\r\n");
            if (bShell)
                ShellPrompt();
            else
                MonitorPrompt();
            return true;
        }
        if (c == 0x08 || c == 0x7f) {
            if (!m_strLine.empty()) {
                m_strLine.pop_back();
                if (m_opts.bEcho)
                    Say("\b \b");
            }
            continue;
        }
        if (c < 0x20)
            continue; // other control characters are ignored
        m_strLine += char(c);
        if (m_opts.bEcho)
            Say(std::string(1, char(c)));
    }
    return !m_script.empty();
}

void CSimBoard::PollConsole() {
    // One check takes one byte, whatever it is; only a transfer stops for Ctrl-C.
    if (m_input.empty())
        return;
    char c = m_input.front().c;
    m_input.pop_front();
    if (c == 0x03 && m_ePoll == EPoll::Transfer) {
        Event("transfer aborted by Ctrl-C");
        m_script.clear();
        m_line.DiscardPending();
        m_ePoll = EPoll::None;
        Say("\r\nAbort\r\n");
        MonitorPrompt();
    }
}

void CSimBoard::ExecuteMonitorLine(const std::string& line, SimClock::time_point t) {
    m_transcript.Write(t, "CMD", CTranscript::Escape(line));
    // The operator waits while the tool still talks to the board (its box comes after the last command).
    if (m_tPowerCycle)
        m_tPowerCycle = SimClock::now() + std::chrono::milliseconds(m_opts.nPowerCycleDelayMs);
    std::vector<std::string> args = SplitWords(line);
    if (args.empty()) {
        if (m_opts.bRepeat && !m_strRepeat.empty()) {
            Event("empty line repeats: " + CTranscript::Escape(m_strRepeat));
            m_bRepeating = true;
            if (!RunMonitorCommand(SplitWords(m_strRepeat)))
                m_strRepeat.clear();
            m_bRepeating = false;
            return;
        }
        MonitorPrompt();
        return;
    }
    bool bOk = RunMonitorCommand(args);
    // U-Boot repeats a repeatable command that succeeded.
    if (bOk && (args[0] == "tftp" || args[0] == "tftpboot" || args[0] == "eeprom" ||
                args[0].starts_with("mw") || args[0].starts_with("cmp")))
        m_strRepeat = line;
    else
        m_strRepeat.clear();
}

bool CSimBoard::RunMonitorCommand(const std::vector<std::string>& args) {
    const std::string& cmd = args[0];
    if (cmd == "tftp" || cmd == "tftpboot") {
        return CmdTftp(args);
    } else if (cmd == "eeprom" && !m_opts.bFaultEepromUnknown) {
        return CmdEeprom(args);
    } else if (cmd == "mw.b") {
        return CmdMemoryWrite(args);
    } else if (cmd == "cmp.b") {
        return CmdCompare(args);
    } else if (cmd == "setenv") {
        CmdSetenv(args);
    } else if (cmd == "saveenv") {
        return CmdSaveenv();
    } else if (cmd == "printenv") {
        CmdPrintenv();
    } else if (cmd == "reset") {
        CmdReset();
    } else if (cmd == "boot") {
        Then([this] { BootLinux(EBootReason::Command); });
    } else if (cmd == "version") {
        Say("U-Boot 2010.06-qan640\r\n");
        MonitorPrompt();
    } else if (cmd == "help" || cmd == "?") {
        Say("boot    - boot Linux from the EEPROM\r\n"
            "cmp     - memory compare\r\n"
            "eeprom  - EEPROM sub-system\r\n"
            "help    - this list\r\n"
            "mw      - memory write (fill)\r\n"
            "printenv- print the environment\r\n"
            "reset   - restart the board\r\n"
            "saveenv - save the environment to the EEPROM\r\n"
            "setenv  - setenv name value...: set (or with no value delete) a variable\r\n"
            "tftp    - tftp [addr] file: load a file over the network\r\n"
            "version - print the monitor's version\r\n");
        MonitorPrompt();
    } else {
        if (m_opts.bUnknownMessage)
            Say("Unknown command '" + cmd + "' - try 'help'\r\n");
        if (cmd == "eeprom")
            PowerCycleLater();
        MonitorPrompt();
        return false;
    }
    return true;
}

void CSimBoard::ExecuteShellLine(const std::string& line, SimClock::time_point t) {
    m_transcript.Write(t, "CMD", CTranscript::Escape(line));
    std::vector<std::string> args = SplitWords(line);
    if (args.empty()) {
        ShellPrompt();
    } else if (args[0] == "reboot") {
        CmdReboot();
    } else if (args[0] == "ifconfig") {
        std::string mac = StoredMac();
        Say("eth0      Link encap:Ethernet  HWaddr " + (mac.empty() ? std::string("(none)") : mac) +
            "\r\n          inet addr:" + kBoardIp + "  Mask:255.255.255.0\r\n");
        ShellPrompt();
    } else if (args[0] == "help") {
        Say("Commands: help ifconfig reboot\r\n");
        ShellPrompt();
    } else {
        Say("-sh: " + args[0] + ": not found\r\n");
        ShellPrompt();
    }
}

// ---- Commands ----

std::optional<std::string> CSimBoard::LookUpFile(const std::string& name) const {
    if (m_opts.strTftpDir.empty()) {
        // No directory: any name is served with made-up contents of the configured size.
        std::string data(size_t(m_opts.nTftpSize), '\0');
        uint32_t seed = 2166136261u;
        for (char c : name)
            seed = (seed ^ uint8_t(c)) * 16777619u;
        for (auto& c : data) {
            seed = seed * 1103515245u + 12345u;
            c = char(seed >> 16);
        }
        return data;
    }
    // The name never leaves the served directory.
    std::string rel = name;
    while (rel.starts_with("/"))
        rel.erase(0, 1);
    if (rel.empty() || rel == ".." || rel.starts_with("../") || rel.find("/../") != std::string::npos ||
        rel.ends_with("/.."))
        return std::nullopt;
    std::ifstream in(m_opts.strTftpDir + "/" + rel, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string data;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.append(buf, size_t(in.gcount()));
        if (data.size() > kMaxTftpFile)
            return std::nullopt;
    }
    return data;
}

bool CSimBoard::CmdTftp(const std::vector<std::string>& args) {
    uint32_t addr = kLoadAddr;
    std::string name;
    if (args.size() == 2) {
        name = args[1];
    } else if (args.size() >= 3) {
        auto a = ParseHex(args[1]);
        if (!a) {
            Say("tftp: bad load address '" + args[1] + "'\r\n");
            MonitorPrompt();
            return false;
        }
        addr = *a;
        name = args[2];
    } else {
        Say("Usage: tftp [loadaddr] file\r\n");
        MonitorPrompt();
        return false;
    }

    if (m_opts.bTftpPollsConsole)
        m_ePoll = EPoll::Transfer;
    Say(Format("Using qan640-eth device\r\nTFTP from server %s; our IP address is %s\r\n", kServerIp,
               kBoardIp) +
        "Filename '" + name + "'.\r\n" + Format("Load address: 0x%x\r\nLoading: ", addr));
    Then([this] { HangUpAt(EHangupStage::Tftp); });

    if (m_opts.bFaultTftpError) {
        // U-Boot's own check before any transfer (net/net.c), here after the device line.
        TftpFailure("*** ERROR: `serverip' not set\r\n");
        return false;
    }
    if (m_opts.bFaultTftpNoHost) {
        // ARP asks four times, a time-out apart, then the transfer gives up.
        Pause(4 * m_opts.nNetTimeoutMs);
        TftpFailure("\r\nARP Retry count exceeded; starting again\r\n");
        return false;
    }
    if (m_opts.bFaultTftpServerSilent) {
        for (int i = 0; i < 10; ++i) {
            Pause(m_opts.nNetTimeoutMs);
            Say("T ");
        }
        Pause(m_opts.nNetTimeoutMs);
        TftpFailure("\r\nRetry count exceeded; starting again\r\n");
        return false;
    }
    std::optional<std::string> data = m_opts.bFaultTftpNotFound ? std::nullopt : LookUpFile(name);
    if (!data) {
        Pause(m_opts.nTftpMs / 4);
        TftpFailure("\r\nTFTP error: 'File not found' (1)\r\nNot retrying...\r\n");
        return false;
    }

    size_t blocks = std::max<size_t>(1, (data->size() + kTftpBlock - 1) / kTftpBlock);
    size_t rows = (blocks + kHashesPerRow - 1) / kHashesPerRow;
    int pause = m_opts.nTftpMs / int(rows);
    for (size_t row = 0; row < rows; ++row) {
        size_t n = std::min<size_t>(kHashesPerRow, blocks - row * kHashesPerRow);
        Say((row > 0 ? "\r\n\t " : "") + std::string(n, '#'));
        Pause(pause);
    }
    Say("\r\ndone\r\n");
    if (!m_opts.bFaultTftpNoSize)
        Say(Format("Bytes transferred = %zu (%zx hex)\r\n", data->size(), data->size()));
    std::string loaded = std::move(*data);
    uint32_t loadAddr = addr;
    Then([this, loaded = std::move(loaded), loadAddr] {
        m_strLoaded = loadAddr == kLoadAddr ? loaded : std::string();
        WriteRam(loadAddr, loaded);
        m_env["filesize"] = Format("%zx", loaded.size());
        Event(Format("transfer of %zu bytes to 0x%x", loaded.size(), loadAddr));
    });
    Then([this] { m_ePoll = EPoll::None; });
    MonitorPrompt();
    return true;
}

void CSimBoard::PowerCycleLater() {
    // The operator powers the board off a while after the EEPROM command has come back (the first one
    // before the power cycle), whatever the board said to it, and a while after any later command.
    if (!m_bJumper || m_tPowerCycle || m_opts.nPowerCycleDelayMs < 0)
        return;
    int delay = m_opts.nPowerCycleDelayMs;
    Then([this, delay] {
        if (!m_tPowerCycle)
            m_tPowerCycle = SimClock::now() + std::chrono::milliseconds(delay);
    });
}

void CSimBoard::TftpFailure(const std::string& strWhy) {
    Say(strWhy);
    Then([this] {
        Event("transfer failed");
        m_ePoll = EPoll::None;
    });
    MonitorPrompt();
}

std::string CSimBoard::ReadRam(uint32_t addr, uint32_t n) const {
    std::string out(n, '\0');
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t a = addr + i;
        auto page = m_ram.find(a / kRamPage);
        // What nobody wrote holds what the SDRAM held at power-on: anything but an image.
        out[i] = page != m_ram.end() ? page->second[a % kRamPage] : char((a * 2654435761u) >> 24);
    }
    return out;
}

void CSimBoard::WriteRam(uint32_t addr, std::string_view data) {
    for (uint32_t i = 0; i < data.size(); ++i) {
        uint32_t a = addr + i;
        auto page = m_ram.find(a / kRamPage);
        if (page == m_ram.end()) // a page written for the first time keeps the rest of its power-on content
            page = m_ram.emplace(a / kRamPage, ReadRam(a / kRamPage * kRamPage, kRamPage)).first;
        page->second[a % kRamPage] = data[i];
    }
}

bool CSimBoard::EepromBoots() const {
    return !m_strBootImage.empty() && m_strEeprom.compare(0, m_strBootImage.size(), m_strBootImage) == 0;
}

bool CSimBoard::CmdMemoryWrite(const std::vector<std::string>& args) {
    auto addr = args.size() >= 3 ? ParseHex(args[1]) : std::nullopt;
    auto value = args.size() >= 3 ? ParseHex(args[2]) : std::nullopt;
    auto count = args.size() == 4 ? ParseHex(args[3]) : std::optional<uint32_t>(1);
    if (!addr || !value || !count || args.size() > 4) {
        Say("Usage:\r\nmw [.b, .w, .l] address value [count]\r\n    - write memory\r\n");
        MonitorPrompt();
        return false;
    }
    uint32_t a = *addr, n = std::min<uint32_t>(*count, kRamSize);
    char c = char(*value);
    Then([this, a, n, c] { WriteRam(a, std::string(n, c)); });
    MonitorPrompt();
    return true;
}

bool CSimBoard::CmdCompare(const std::vector<std::string>& args) {
    std::optional<uint32_t> a1, a2, count;
    if (args.size() == 4) {
        a1 = ParseHex(args[1]);
        a2 = ParseHex(args[2]);
        count = ParseHex(args[3]);
    }
    if (!a1 || !a2 || !count) {
        Say("Usage:\r\ncmp [.b, .w, .l] addr1 addr2 count\r\n    - compare memory\r\n");
        MonitorPrompt();
        return false;
    }
    uint32_t b1 = *a1, b2 = *a2;
    uint32_t n = std::min<uint32_t>(*count, kRamSize);
    std::string one = ReadRam(b1, n), two = ReadRam(b2, n);
    uint32_t nGood = 0;
    while (nGood < n && one[nGood] == two[nGood])
        ++nGood;
    // U-Boot's cmd/mem.c, for the byte size (its width is twice the size: a zero byte shows as "00").
    if (nGood < n)
        Say(Format("byte at 0x%08x (%#0*x) != byte at 0x%08x (%#0*x)\r\n", b1 + nGood, 2,
                   unsigned(uint8_t(one[nGood])), b2 + nGood, 2, unsigned(uint8_t(two[nGood]))));
    Say(Format("Total of %u byte(s) were the same\r\n", nGood));
    MonitorPrompt();
    return nGood == n;
}

bool CSimBoard::CmdEeprom(const std::vector<std::string>& args) {
    if (args.size() != 5 || (args[1] != "write" && args[1] != "read")) {
        // U-Boot's usage text for the command (cmd/eeprom.c).
        Say("Usage:\r\neeprom read  devaddr addr off cnt\r\neeprom write devaddr addr off cnt\r\n"
            "       - read/write `cnt' bytes from `devaddr` EEPROM at offset `off'\r\n");
        MonitorPrompt();
        return false;
    }
    // U-Boot reads the numbers with simple_strtoul: what is not hex ends the number.
    uint32_t addr = ParseHex(args[2]).value_or(0), off = ParseHex(args[3]).value_or(0),
             cnt = ParseHex(args[4]).value_or(0);
    bool bWrite = args[1] == "write";
    if (bWrite && HangUpAt(EHangupStage::Eeprom))
        return false;
    // U-Boot's own words for an EEPROM at I2C address 0x50 (cmd/eeprom.c).
    Say(Format("\r\nEEPROM @0x50 %s: addr %08x  off %04x  count %u ... ", bWrite ? "write" : "read", addr,
               off, cnt));
    // The SPI flash emulation refuses a transfer past its end as a whole, and says so (board/bf537-stamp).
    bool bInvalid = m_opts.bEepromOnSpi && (off >= kEepromSize || cnt > kEepromSize - off);
    if (bInvalid)
        Say("Invalid sector! ");
    if (!bWrite) {
        Pause(m_opts.nEepromMs);
        if (!bInvalid && !m_opts.bFaultEepromNak) {
            Then([this, addr, off, cnt] {
                // An I2C EEPROM's address wraps at its end.
                std::string data;
                for (uint32_t i = 0; i < std::min(cnt, kRamSize); ++i)
                    data += m_strEeprom[(off + i) % kEepromSize];
                WriteRam(addr, data);
            });
        }
        Say("done\r\n");
        MonitorPrompt();
        // The command's result is that of the device's last block.
        return !m_opts.bFaultEepromNak;
    }
    if (m_opts.bFaultEepromRepeatHangs && m_bRepeating) {
        Then([this] {
            m_bEepromWriting = true;
            m_bEepromBootable = false;
            Event("EEPROM write repeated: it never ends");
            m_eMode = EMode::Hung;
        });
        return false;
    }
    Then([this] {
        // From the first byte on, the old image is no longer whole.
        m_bEepromWriting = true;
        m_bEepromBootable = false;
        if (m_opts.bEepromPollsConsole)
            m_ePoll = EPoll::Discard;
    });
    Pause(m_opts.nEepromMs);
    PowerCycleLater();
    if (m_opts.bFaultEepromNoPrompt) {
        Say("I2C bus timeout ");
        Say(std::string(kMonitorPrompt) + " ");
        Then([this] {
            m_bEepromWriting = false;
            Event("EEPROM write failed, the board stopped answering");
            m_eMode = EMode::Hung;
        });
        return false;
    }
    Then([this, addr, off, cnt, bInvalid] {
        std::string data = ReadRam(addr, std::min(cnt, kRamSize));
        size_t nWritten = 0;
        if (!bInvalid && !m_opts.bFaultEepromNak) {
            for (uint32_t i = 0; i < data.size(); ++i) {
                // One 256-byte block in the middle is refused; the command keeps only the last block's
                // result.
                if (m_opts.bFaultEepromNakMiddle && i / 256 == data.size() / 512)
                    continue;
                m_strEeprom[(off + i) % kEepromSize] = data[i];
                ++nWritten;
            }
        }
        if (!m_strLoaded.empty() && m_strEeprom.compare(0, m_strLoaded.size(), m_strLoaded) == 0)
            m_strBootImage = m_strLoaded;
        m_bEepromWriting = false;
        m_bEepromBootable = EepromBoots();
        m_ePoll = EPoll::None;
        Event(Format("EEPROM written: %zu of %u bytes from 0x%x at 0x%x, image %s", nWritten, cnt, addr, off,
                     m_bEepromBootable && m_strBootImage == m_strLoaded ? "complete" : "incomplete"));
    });
    Say("done\r\n");
    MonitorPrompt();
    return !m_opts.bFaultEepromNak;
}

void CSimBoard::CmdSetenv(const std::vector<std::string>& args) {
    if (HangUpAt(EHangupStage::Setenv))
        return;
    if (m_opts.bFaultSetenvNoConfirm) {
        Event("setenv hangs");
        m_eMode = EMode::Hung;
        return;
    }
    if (args.size() < 2) {
        Say("Usage: setenv name value...\r\n");
        MonitorPrompt();
        return;
    }
    std::string value;
    for (size_t i = 2; i < args.size(); ++i)
        value += (i > 2 ? " " : "") + args[i];
    if (value.empty())
        m_env.erase(args[1]);
    else
        m_env[args[1]] = value;
    MonitorPrompt();
}

bool CSimBoard::CmdSaveenv() {
    if (HangUpAt(EHangupStage::Saveenv))
        return false;
    if (m_opts.bSaveenvOnFlash && !m_opts.bFaultSaveenvNoDone)
        return SaveenvToFlash();
    Say("Saving environment to EEPROM...\r\n");
    Pause(SaveMs());
    if (m_opts.bFaultSaveenvNoDone) {
        Say("Write failed, environment not saved\r\n");
        MonitorPrompt();
        return false;
    }
    Say("Writing 1024 bytes at offset 0x3fc00 ... done\r\n");
    Then([this] {
        m_envSaved = m_env;
        std::string mac = StoredMac();
        Event("environment saved, MAC " + (mac.empty() ? std::string("none") : mac));
    });
    MonitorPrompt();
    return true;
}

bool CSimBoard::SaveenvToFlash() {
    // U-Boot's flash save: the erase says "done" before anything is written, and checks the console for
    // Ctrl-C at every sector, which takes the LF of "saveenv\r\n" away.
    constexpr int kSectors = 2;
    Say("Saving Environment to Flash... Un-Protected 2 sectors\r\nErasing Flash...\r\n");
    Then([this] { m_ePoll = EPoll::Discard; });
    int nEraseMs = SaveMs() / (2 * kSectors);
    for (int i = 0; i < kSectors; ++i) {
        Pause(nEraseMs);
        Say(".");
    }
    Say(" done\r\nErased 2 sectors\r\n");
    Then([this] { m_ePoll = EPoll::None; });
    Say("Writing to Flash... ");
    Pause(SaveMs() - kSectors * nEraseMs);
    bool bOk = !m_opts.bFaultSaveenvNotErased && !m_opts.bFaultSaveenvWriteTimeout;
    if (bOk) {
        Say("done\r\nProtected 2 sectors\r\nOK\r\n");
        Then([this] {
            m_envSaved = m_env;
            std::string mac = StoredMac();
            Event("environment saved, MAC " + (mac.empty() ? std::string("none") : mac));
        });
    } else {
        Say(m_opts.bFaultSaveenvNotErased
                ? "Flash not Erased\r\nProtected 2 sectors\r\nFailed (2)\r\n"
                : "Timeout writing to Flash\r\nProtected 2 sectors\r\nFailed (1)\r\n");
        Then([this] { Event("environment not saved: the flash write failed"); });
    }
    MonitorPrompt();
    return bOk;
}

void CSimBoard::CmdPrintenv() {
    std::string out;
    for (const auto& [k, v] : m_env)
        out += k + "=" + v + "\r\n";
    Say(out);
    MonitorPrompt();
}

void CSimBoard::CmdReset() {
    if (HangUpAt(EHangupStage::Reset))
        return;
    Say("resetting ...\r\n");
    Then([this] {
        Event("reset");
        Restart(EBootReason::Reset);
    });
}

void CSimBoard::CmdReboot() {
    if (HangUpAt(EHangupStage::Reboot))
        return;
    Say("\r\nThe system is going down NOW!\r\nSending SIGTERM to all processes\r\nRestarting system.\r\n");
    if (m_opts.bFaultNoPromptAfterReboot) {
        Then([this] {
            Event("reboot hangs: the board never comes back");
            m_input.clear();
            m_eMode = EMode::Hung;
        });
        return;
    }
    Then([this] {
        Event("reboot");
        Restart(EBootReason::Reboot);
    });
}

// ---- Environment and hook ----

std::string CSimBoard::StoredMac() const {
    auto it = m_env.find("bootargs");
    if (it != m_env.end()) {
        for (const auto& word : SplitWords(it->second))
            if (word.starts_with("ethaddr="))
                return word.substr(8);
    }
    it = m_env.find("ethaddr");
    return it != m_env.end() ? it->second : std::string();
}

void CSimBoard::RunHook(const std::string& mac) {
    if (m_opts.strHook.empty())
        return;
    pid_t pid = fork();
    if (pid == 0) {
        // The MAC reaches the command only through the environment: the board's text is never parsed by a
        // shell.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setenv("QAN640_MAC", mac.c_str(), 1);
        int fdNull = open("/dev/null", O_RDONLY);
        if (fdNull >= 0)
            dup2(fdNull, 0);
        dup2(2, 1);
        execl("/bin/sh", "sh", "-c", m_opts.strHook.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    Event(pid > 0 ? Format("hook started (pid %d) with MAC %s", int(pid), mac.empty() ? "none" : mac.c_str())
                  : std::string("hook could not be started"));
}
