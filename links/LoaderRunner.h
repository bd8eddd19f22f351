#pragma once

#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// What one chunk of the loader's output asked for.
struct SLoaderChunkResult {
    bool m_bEnterRequested = false; // a "Press" prompt: answer with one line feed
    bool m_bFailed = false;         // a "Failed" line
    bool m_bFinished = false;       // the loader's closing "run minicom or kermit" line
};

// Scans one chunk of loader output line by line and shows the lines the operator should see. The chunk is
// one read with a line feed appended, so its last piece is a line too. A line is the text before a line
// feed (a carriage return stays part of it). Per line, in order: the closing line ends the scan unseen;
// longer than 2 characters, a "Press" line is answered rather than shown and any other is shown (followed
// by a line break unless it begins with "["); a "Failed" line ends the scan.
SLoaderChunkResult ScanLoaderChunk(std::string_view chunk, CLogConsole& log);

// What tests and benchmarks change about the loader runner; the defaults are what a run uses.
struct SLoaderOptions {
    static constexpr uint32_t kPassPauseMs = 2000;
    static constexpr uint32_t kFinalPauseMs = 1000;

    std::string strProgram = "bfin-uclinux-ldr"; // a name without "/" is looked up on PATH
    uint32_t dwPassPauseMs = kPassPauseMs;       // after each reading pass
    uint32_t dwFinalPauseMs = kFinalPauseMs;     // before returning
};

// Runs the external loader that pushes the first-stage image into the board over the serial port, answers
// its "Press" prompts, shows its output in the log and judges it by its exit code.
//
// The child is started without a shell: the port, as the device path that CUart opens (PortDevicePath), is
// one argument whatever it contains. Its standard output and standard error share one pipe to the runner,
// its standard input is a pipe from the runner, and it inherits the working directory (the image path is
// relative to it) and, as its descriptor 3, the port's claim (SharePortClaim); every other descriptor is
// closed in the child. The child dies with this program.
//
// While the child runs, run.m_hLoaderProcess holds its process descriptor, so the window can end it from
// the GUI thread; the runner clears it before it reaps the child. Ending the child that way, or raising the
// stop request, ends every wait of the runner at once, and the result is then 0. The child leads a process
// group of its own: however its run ends, whatever it started (a wrapper's real loader) is ended with it.
class CLoaderRunner {
public:
    static constexpr int kMaxPasses = 40;
    static constexpr size_t kChunkSize = 999;

    CLoaderRunner(CRunState& run, CLogConsole& log, CStopToken stop = {}, SLoaderOptions options = {});

    // Before anything touches the board: the loader program is there to be started (a name without "/" on
    // PATH) and its image can be read. False with the reason (UTF-8) when either is missing.
    bool CheckSetUp(std::string& strReason) const;

    // The open lock file of the run's claim on its port (-1: none). The loader inherits it as its descriptor
    // 3, so the claim lasts while the loader, or anything it started, still holds the port, even past the
    // end of this program.
    void SharePortClaim(int fdClaim) { m_fdPortClaim = fdClaim; }

    // 1 when the loader ran and ended with exit code 0, else 0. The loader has ended and every descriptor
    // of the call is closed when it returns, so the serial port is free.
    int RunBfinUcLinux();
    // Why the last call gave 0 (UTF-8: it cannot start, its exit code, the signal that ended it); empty
    // after a success or a stop.
    const std::string& FailureReason() const { return m_strFailure; }

    // Reading passes of the last call so far, and the output bytes read away unshown after the reading
    // loop. Readable from any thread while a call runs.
    int Passes() const { return m_nPasses; }
    uint64_t DrainedBytes() const { return m_nDrainedBytes; }

    static const char* const kImagePath;

private:
    // The child of one call and the runner's ends of its pipes, shared by the steps below.
    struct SCall;
    // Makes the pipes, starts the child and publishes its handle; false when nothing runs.
    bool StartLoader(SCall& call);
    // The reading passes: read, show, answer "Press", pause. False on a stop.
    bool ReadAndAnswer(SCall& call);
    // Waits for the child to end, reading away what it still prints. False on a stop.
    bool WaitForExit(SCall& call);
    // Clears the handle, reaps the ended child and closes the pipes; 1 for exit code 0.
    int ReleaseLoader(SCall& call);
    // On a stop: clears the handle, ends and reaps the child; 0.
    int AbandonLoader(SCall& call);

    CRunState& m_run;
    CLogConsole& m_log;
    CStopToken m_stop;
    SLoaderOptions m_options;
    std::string m_strFailure;
    int m_fdPortClaim = -1;
    std::atomic<int> m_nPasses = 0;
    std::atomic<uint64_t> m_nDrainedBytes = 0;
};
