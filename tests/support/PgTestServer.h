#pragma once

#include <pwd.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A PostgreSQL server of its own for a test or a benchmark, from the distribution's packages: a cluster made
// by initdb in a fresh folder under /tmp, reached through a Unix socket in that folder only (no TCP port),
// every role trusted. Run by root, the server runs as the "postgres" user (or "nobody"), which initdb and the
// server require. The destructor stops it and removes the folder; should the test's process be killed first
// (a time-out), a watcher it started stops the server and removes the folder when the process is gone.
class CPgTestServer {
public:
    CPgTestServer() = default;
    ~CPgTestServer();
    CPgTestServer(const CPgTestServer&) = delete;
    CPgTestServer& operator=(const CPgTestServer&) = delete;

    // Makes the cluster the first time, then starts the server and waits until it takes connections.
    // Empty on success, otherwise what went wrong (the server's binaries missing included).
    std::string Start();
    // Stops the server and waits for its end; the cluster stays for the next Start.
    std::string Stop();

    // Sends nSignal to the server and every process of it (SIGSTOP: a frozen storage, a stuck server; SIGCONT
    // thaws it); false when the server's process is not found.
    bool SignalAll(int nSignal) const;

    // The connection string of the cluster's "postgres" database as the role "qan".
    std::string Conninfo() const;
    const std::string& Folder() const { return m_strFolder; }
    // The first value of a statement's answer on a connection of its own ("" for none), or "error: ..."
    // (so that a failed statement shows in the test's comparison).
    std::string Query(const char* pszSql) const;

private:
    std::string Run(const std::string& strProgram, const std::vector<std::string>& args);
    std::string StartWatcher(const passwd* pUser);

    std::string m_strFolder;
    std::string m_strBinDir;
    bool m_bRunning = false;
    int m_fdWatcher = -1; // the watcher waits for this pipe's end, which the process's death closes
    pid_t m_pidWatcher = -1;
};
