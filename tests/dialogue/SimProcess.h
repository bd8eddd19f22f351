#pragma once

#include "provisioning/Provisioning.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The virtual board as a child of the test. The destructor always ends and reaps it, also when an
// assertion failed half-way; if the test process dies, the kernel ends the board too.
class CSimProcess {
public:
    explicit CSimProcess(const std::vector<std::string>& args, const std::string& strWorkDir = {});
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // The port path from the board's first line; empty when it did not start.
    const std::string& Port() const { return m_strPort; }
    int Pid() const { return m_pid; }
    void Signal(int sig) const;
    // The exit status once the board has ended by itself within `timeout`.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);

    // qan640-sim next to the test program.
    static std::string Path();

    struct SRun {
        int nExit = -1;
        std::string strOut;
        std::string strErr;
    };
    // Runs the board to its end (for option errors and --help), killing it after `timeout`.
    static SRun RunToEnd(const std::vector<std::string>& args, std::chrono::milliseconds timeout);

private:
    int m_pid = -1;
    int m_fdOut = -1;
    std::string m_strPort;
    std::string m_strLinkDir;
};

// The test's own end of the board's port: opened raw, read and written directly.
class CRawPort {
public:
    explicit CRawPort(const std::string& strPath);
    ~CRawPort();
    CRawPort(const CRawPort&) = delete;
    CRawPort& operator=(const CRawPort&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    void Send(const std::string& bytes);
    // Reads until the text read so far contains `text` or `timeout` passes; returns everything read.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds timeout);
    // Everything that arrives until the line has been quiet for `quiet`.
    std::string ReadQuiet(std::chrono::milliseconds quiet);
    void Close();

private:
    int m_fd = -1;
};

struct STranscriptEntry {
    double dTime = 0;
    std::string strKind;
    std::string strText;
};
std::vector<STranscriptEntry> ReadTranscript(const std::string& strPath);
// The texts of the CMD entries, in order.
std::vector<std::string> TranscriptCommands(const std::string& strPath);
// Seconds on the clock the board stamps its transcript with.
double MonotonicSeconds();

// Options that make the board quick for tests: full speed, short boot and transfer, short power cycle.
std::vector<std::string> FastBoardArgs();

// A working directory ready for whole runs: the loader's first-stage image in U-Boot_Producao/ and the
// production image (1000 bytes) in tftp/, the folder the board serves.
void WriteWholeRunFiles(const std::string& strDir);
// The board for whole runs in such a directory: quick options, the first-stage image, the served folder,
// then `extra`.
std::vector<std::string> WholeRunBoardArgs(const std::vector<std::string>& extra);
// What whole runs against that board are given: the loader's pauses shortened, and pArp as the ARP service
// (null: the platform's, to be used only inside a test's own network namespaces).
SRunOptions WholeRunOptions(IArpQuery* pArp);
// The board's Linux hook that gives the board's end of a test veth pair (qb0 in namespace strBoardNs) the
// MAC address the board stored, or strMac when given.
std::string MacHookFor(const std::string& strBoardNs, const std::string& strMac = "$QAN640_MAC");
// For programs that run whole runs outside a test fixture (the benchmarks): writes the whole-run files into
// strDir, makes it the working directory and puts the stand-in loader (build/test-path) first on PATH.
void UseWholeRunDir(const std::string& strDir);
