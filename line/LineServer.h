#pragma once

#include "core/StopToken.h"
#include "linedb/LineDb.h"

#include <atomic>
#include <condition_variable>
#include <httplib.h>
#include <mutex>
#include <string>
#include <thread>

// The line's page: one HTML page with its script and style, the figures as JSON (/api/estado), the same
// figures pushed as Server-Sent Events whenever a station's row goes in (/api/eventos), and a failed run's
// log
// (/api/log?run=ID). One thread keeps a connection to the database that LISTENs for the rows' notifications
// and computes the figures once per change; requests are answered from those figures, so a flood of requests
// never reaches the database. Only a log is read per request, on a connection of its own.
struct SLineServerConfig {
    std::string strConninfo;
    std::string strHost = "127.0.0.1";
    int nPort = 8640;         // 0: any free port
    std::string strDir = "."; // where the line's range of addresses (QAN640macrange.conf) is read
    int nMacWarning = 500;    // fewer addresses left than this: the page warns
};

class CLineServer {
public:
    // A connection holds a thread while it is read, so a client that sends slowly holds one for kReadTimeoutS
    // at most (and an idle kept-alive one as long).
    static constexpr int kPoolThreads = 32;
    // Each open event stream holds a thread of the pool: the rest stay for pages and JSON.
    static constexpr int kMaxStreams = 12;
    static constexpr int kReadTimeoutS = 2;
    static constexpr int kWriteTimeoutS = 5;
    static constexpr size_t kMaxPayloadBytes = 4096;
    // The figures are computed again at least this often without a notification (the hour, the day).
    static constexpr int kRefreshMs = 10000;
    static constexpr int kRetryMs = 1000;

    explicit CLineServer(SLineServerConfig config);
    ~CLineServer();
    CLineServer(const CLineServer&) = delete;
    CLineServer& operator=(const CLineServer&) = delete;

    // Binds the address and starts serving; false with strError (Portuguese) when the address cannot be had.
    bool Start(std::string& strError);
    int Port() const { return m_nPort; }
    void Stop();
    // The figures as the page has them now (JSON).
    std::string CurrentJson();

private:
    void Routes();
    void WatchDatabase();
    void Publish(const std::string& strJson);
    void StreamEvents(const httplib::Request& request, httplib::Response& response);
    void ServeLog(const httplib::Request& request, httplib::Response& response);

    SLineServerConfig m_config;
    httplib::Server m_server;
    int m_nPort = 0;
    std::thread m_listener;
    std::thread m_watcher;
    CStopSource m_stop;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_strJson;
    uint64_t m_nVersion = 0;
    bool m_bStopping = false;
    std::atomic<int> m_nStreams{0};

    std::mutex m_logMutex;
    CLineDb m_logDb;
};
