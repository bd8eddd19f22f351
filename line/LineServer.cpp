#include "line/LineServer.h"

#include "line/LineJson.h"
#include "line/LinePage.h"
#include "linedb/LineView.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr const char* kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self';"
    " connect-src 'self'; base-uri 'none'; form-action 'none';"
    " frame-ancestors 'none'";

std::chrono::system_clock::time_point LocalDayStart(std::chrono::system_clock::time_point tNow) {
    time_t t = std::chrono::system_clock::to_time_t(tNow);
    struct tm day = {};
    localtime_r(&t, &day);
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(mktime(&day));
}

} // namespace

CLineServer::CLineServer(SLineServerConfig config)
    : m_config(std::move(config)), m_strJson(LineOfflineJson("conectando ao banco de dados da linha")),
      m_nVersion(1), m_logDb(m_config.strConninfo) {
    m_logDb.SetStop(m_stop.Token());
}

CLineServer::~CLineServer() {
    Stop();
}

bool CLineServer::Start(std::string& strError) {
    m_server.new_task_queue = [] { return new httplib::ThreadPool(kPoolThreads); };
    m_server.set_payload_max_length(kMaxPayloadBytes);
    m_server.set_read_timeout(kReadTimeoutS);
    m_server.set_write_timeout(kWriteTimeoutS);
    m_server.set_keep_alive_timeout(kReadTimeoutS);
    m_server.set_keep_alive_max_count(100);
    m_server.set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"Referrer-Policy", "no-referrer"},
                                  {"X-Frame-Options", "DENY"}});
    Routes();
    m_nPort = m_config.nPort == 0
                  ? m_server.bind_to_any_port(m_config.strHost)
                  : (m_server.bind_to_port(m_config.strHost, m_config.nPort) ? m_config.nPort : -1);
    if (m_nPort <= 0) {
        strError = "não foi possível escutar em " + m_config.strHost + ":" + std::to_string(m_config.nPort);
        return false;
    }
    m_listener = std::thread([this] { m_server.listen_after_bind(); });
    // A stop before the listener runs would find nothing to stop, and its thread would never end.
    for (int i = 0; i < 2000 && !m_server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_watcher = std::thread([this] { WatchDatabase(); });
    return true;
}

void CLineServer::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_changed.notify_all();
    m_stop.RequestStop();
    m_server.stop();
    if (m_listener.joinable())
        m_listener.join();
    if (m_watcher.joinable())
        m_watcher.join();
}

std::string CLineServer::CurrentJson() {
    std::lock_guard lock(m_mutex);
    return m_strJson;
}

void CLineServer::Publish(const std::string& strJson) {
    {
        std::lock_guard lock(m_mutex);
        if (strJson == m_strJson)
            return;
        m_strJson = strJson;
        ++m_nVersion;
    }
    m_changed.notify_all();
}

void CLineServer::Routes() {
    auto asset = [](const char* pszBody, const char* pszType) {
        return [pszBody, pszType](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-cache");
            response.set_content(pszBody, pszType);
        };
    };
    m_server.Get("/", asset(kLinePageHtml, "text/html; charset=utf-8"));
    m_server.Get("/linha.js", asset(kLinePageScript, "text/javascript; charset=utf-8"));
    m_server.Get("/linha.css", asset(kLinePageStyle, "text/css; charset=utf-8"));
    m_server.Get("/api/estado", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(CurrentJson(), "application/json; charset=utf-8");
    });
    m_server.Get("/api/eventos", [this](const httplib::Request& request, httplib::Response& response) {
        StreamEvents(request, response);
    });
    m_server.Get("/api/log", [this](const httplib::Request& request, httplib::Response& response) {
        ServeLog(request, response);
    });
}

void CLineServer::StreamEvents(const httplib::Request&, httplib::Response& response) {
    if (++m_nStreams > kMaxStreams) {
        --m_nStreams;
        response.status = 503;
        response.set_header("Retry-After", "5");
        response.set_content("muitas páginas abertas", "text/plain; charset=utf-8");
        return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, nSeen = uint64_t(0)](size_t, httplib::DataSink& sink) mutable {
            std::string strEvent;
            {
                std::unique_lock lock(m_mutex);
                // A comment now and then keeps proxies from closing a quiet stream and finds a vanished
                // client.
                m_changed.wait_for(lock, std::chrono::seconds(15),
                                   [&] { return m_bStopping || m_nVersion != nSeen; });
                if (m_bStopping)
                    return false;
                strEvent = m_nVersion == nSeen ? std::string(": ok\n\n") : "data: " + m_strJson + "\n\n";
                nSeen = m_nVersion;
            }
            return sink.write(strEvent.data(), strEvent.size());
        },
        [this](bool) { --m_nStreams; });
}

void CLineServer::ServeLog(const httplib::Request& request, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    std::string strRunId = request.get_param_value("run");
    std::string strError;
    std::optional<std::string> log;
    {
        // One connection for logs: a flood of log requests waits here, not at the database.
        std::lock_guard lock(m_logMutex);
        if (m_logDb.Connect(strError) == CLineDb::EState::Ready)
            log = FetchRunLog(m_logDb, strRunId, strError);
    }
    if (log) {
        response.set_content(*log, "text/plain; charset=utf-8");
        return;
    }
    response.status = strError.empty() ? 404 : 503;
    response.set_content(strError.empty() ? "não há log desta execução" : strError,
                         "text/plain; charset=utf-8");
}

void CLineServer::WatchDatabase() {
    CLineDb db(m_config.strConninfo);
    db.SetStop(m_stop.Token());
    int nListening = 0;
    std::string strShown;
    while (!m_stop.StopRequested()) {
        std::string strError;
        if (db.Connect(strError) == CLineDb::EState::Ready && db.Connection() != nListening) {
            std::string strSql = std::string("LISTEN ") + kLineDbRunsChannel;
            if (db.Exec("SET default_transaction_read_only = on", {}, strError) &&
                db.Exec(strSql.c_str(), {}, strError))
                nListening = db.Connection();
        }
        if (db.IsReady() && nListening == db.Connection()) {
            SMacTaken taken;
            std::optional<SMacRange> range = ReadMacRange(m_config.strDir, taken);
            auto tDayStart = LocalDayStart(std::chrono::system_clock::now());
            if (std::optional<SLineView> view = FetchLineView(db, tDayStart, range, strError)) {
                Publish(LineViewJson(*view, tDayStart, m_config.nMacWarning));
                if (!strShown.empty())
                    fprintf(stderr, "qan640-line: banco de dados da linha de volta\n");
                strShown.clear();
                if (db.WaitForNotifications(kRefreshMs, strError) >= 0)
                    continue;
            }
        }
        if (m_stop.StopRequested())
            break;
        if (strError.empty())
            strError = "banco de dados indisponível";
        if (strError != strShown)
            fprintf(stderr, "qan640-line: %s\n", strError.c_str());
        strShown = strError;
        Publish(LineOfflineJson(strError));
        m_stop.Token().SleepFor(kRetryMs);
    }
}
