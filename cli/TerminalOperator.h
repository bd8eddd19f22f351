#pragma once

#include "core/LogBox.h"
#include "provisioning/Operator.h"
#include "provisioning/RunProgress.h"
#include "provisioning/RunResult.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The person at the bench as a terminal meets them: each message box is its text on standard error after
// the stage ("[8/17] ..."), a progress line per stage, and the MAC address either given beforehand or asked
// for on standard input at the stage where the window shows its dialog.
//
// Interactive (the default), the stage-8 box waits for a line (Enter) on standard input; non-interactive,
// every box only informs. Every read of standard input ends at once on a stop.
class CTerminalOperator : public IOperator, public IRunObserver {
public:
    // strMac: the address to answer with (already validated), or empty to ask for it; offered: the
    // prefixes the prefix file offers, for asking and for judging the answer; bReuseMac: an address the
    // record shows stored in a board is taken as the same board again (otherwise the run is refused).
    CTerminalOperator(std::string strMac, std::vector<std::string> offered, bool bInteractive,
                      bool bReuseMac = false);

    void ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) override;
    bool ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) override;
    EReuse ConfirmMacReuse(const std::string& strQuestion, const CStopToken& stop) override;
    // The serial number given beforehand (--serial); empty: asked at the terminal when interactive.
    void SetSerial(std::string strSerial) { m_strSerial = std::move(strSerial); }
    bool AskSerialNumber(std::string& strSerial, const std::string& strError,
                         const CStopToken& stop) override;
    // Read at the terminal when interactive; without one the label stays unchecked.
    bool AskLabelScan(std::string& strScanned, const std::string& strError, const CStopToken& stop) override;
    void ShowWarning(const std::string& strText) override { Say("Aviso: " + strText); }
    void OnStageStarted(int nStage) override;

    // Called a few times a second from the program's main thread while the run goes on: one line every
    // kWaitReportS while the MAC check waits for the board.
    void ReportWaiting();
    static constexpr int kWaitReportS = 10;

    double ElapsedSeconds() const { return m_progress.ElapsedSeconds(); }
    // How long, in seconds of silence on the line, the run waits at stage 9 for the board to come back: what
    // the stage-8 box says when it does not wait for Enter.
    void SetRebootWaitS(uint32_t dwSeconds) { m_dwRebootWaitS = dwSeconds; }

private:
    enum class ERead { Line, End, Stopped };
    ERead ReadLine(std::string& strLine, const CStopToken& stop);
    // pszPrompt, then a line read; false at the input's end or a stop.
    bool AskLine(const char* pszPrompt, std::string& strAnswer, const CStopToken& stop);
    // Each line of the text after the stage, "[8/17] ...", CR LF taken as one line end.
    void Say(const std::string& strText);

    std::string m_strMac;
    std::string m_strSerial;
    std::vector<std::string> m_offered;
    bool m_bInteractive;
    bool m_bReuseMac;
    bool m_bPrefixesShown = false;
    uint32_t m_dwRebootWaitS = 0;
    CRunProgress m_progress;
    // The stage and when the MAC check began, for the main thread.
    std::atomic<int> m_nStageNow = RUN_STAGE_NONE;
    std::atomic<bool> m_bLabelAsked = false;
    std::atomic<std::chrono::steady_clock::time_point> m_tVerifyStart{};
    int m_nReportedS = 0;   // main thread only
    std::string m_strInput; // read from standard input but not yet taken as a line
};

// --echo: what the log console hands its box goes to standard output as it comes, the board's bytes
// among it.
class CEchoLogBox : public ILogBox {
public:
    int GetLineCount() override { return 1; }
    int LineIndex(int) override { return 0; }
    int GetFirstVisibleLine() override { return 0; }
    void SetText(const std::string& text) override { AppendText(text); }
    void AppendText(const std::string& text) override {
        fwrite(text.data(), 1, text.size(), stdout);
        fflush(stdout);
    }
    void SetSel(int, int) override {}
    void ScrollCaret() override {}
    void SetFirstVisibleLine(int) override {}
};
