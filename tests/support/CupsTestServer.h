#pragma once

#include "links/ChildProcess.h"

#include <string>
#include <vector>

// A CUPS server of its own for a test or a benchmark: cupsd from the distribution in a fresh folder under
// /tmp (its configuration, spool and logs there), listening on a Unix socket in that folder only. Its queues'
// device is a backend of the folder's that writes each job's document, as sent, to "<out>/<queue>-<job id>".
// The destructor stops the server and removes the folder.
class CCupsTestServer {
public:
    CCupsTestServer() = default;
    ~CCupsTestServer();
    CCupsTestServer(const CCupsTestServer&) = delete;
    CCupsTestServer& operator=(const CCupsTestServer&) = delete;

    // Empty once the server takes requests, otherwise what went wrong (cupsd missing included).
    std::string Start();
    // Ends the server (SIGTERM) and waits for it: a print server that is gone.
    void Stop();
    const std::string& Socket() const { return m_strSocket; }
    // A queue that takes jobs; with bStopped it is made and then stopped (cupsdisable).
    std::string AddQueue(const std::string& strName, bool bStopped = false);
    // The document of a job once the backend has written it, waited for nTimeoutMs at most ("" if none).
    std::string JobDocument(const std::string& strQueue, int nJobId, int nTimeoutMs) const;

private:
    // A CUPS tool run against this server (-h), waited for: empty when it succeeded.
    std::string RunTool(std::vector<std::string> args) const;
    std::string m_strFolder;
    std::string m_strSocket;
    CChildProcess m_cupsd;
    bool m_bRunning = false;
};
