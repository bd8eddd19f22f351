#include "linedb/LineDb.h"

#include "core/SystemError.h"
#include "core/UniqueFd.h"
#include "records/DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxConfBytes = 65536;
constexpr const char* kSqlStateUniqueViolation = "23505";
// Serializes --db-init runs of several stations at once.
constexpr const char* kSchemaLockKey = "5855016420071342081";

// libpq's messages end with a line break and may span lines.
std::string OneLine(const char* pszMessage) {
    return OneLineText(pszMessage ? pszMessage : "");
}

// A failed connection's message, verbose: a server's error reads "<severity>:  <SQLSTATE>: <text>" followed
// by a LOCATION line. bAnswered tells whether the server answered with an error other than "starting up" or
// "shutting down" (57P03, which passes); the text comes back on one line without the code and the location.
std::string ServerRefusal(const char* pszMessage, bool& bAnswered) {
    std::string strText = pszMessage ? pszMessage : "";
    bAnswered = false;
    for (size_t pos = strText.find(":  "); pos != std::string::npos; pos = strText.find(":  ", pos + 1)) {
        std::string_view code = std::string_view(strText).substr(pos + 3, 7);
        bool bCode = code.size() == 7 && code.substr(5) == ": " &&
                     std::all_of(code.begin(), code.begin() + 5,
                                 [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); });
        if (!bCode)
            continue;
        bAnswered = code.substr(0, 5) != "57P03";
        strText.erase(pos + 3, 7);
        break;
    }
    for (size_t pos; (pos = strText.find("LOCATION:")) != std::string::npos;)
        strText.erase(pos, strText.find('\n', pos) == std::string::npos ? std::string::npos
                                                                        : strText.find('\n', pos) - pos);
    return OneLine(strText.c_str());
}

} // namespace

std::optional<std::string> ReadLineDbConninfo(const std::string& strDir, std::string& strError) {
    strError.clear();
    CUniqueFd fd(open((strDir + "/" + kLineDbFileName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsOpen()) {
        if (errno != ENOENT)
            strError = std::string(kLineDbFileName) + ": " + SystemErrorText(errno);
        return std::nullopt;
    }
    std::string strText = ReadAllBounded(fd.Get(), kMaxConfBytes);
    std::string_view text = strText;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    std::optional<std::string> conninfo;
    for (int nLine = 1; !text.empty(); ++nLine) {
        size_t nl = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line[0] == '#')
            continue;
        if (conninfo) {
            strError = std::string(kLineDbFileName) + ", linha " + std::to_string(nLine) +
                       ": só cabe uma cadeia de conexão";
            return std::nullopt;
        }
        conninfo = std::string(line);
    }
    if (!conninfo)
        strError = std::string(kLineDbFileName) + ": não há cadeia de conexão";
    return conninfo;
}

std::string ConninfoForDisplay(const std::string& strConninfo) {
    char* pszError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(strConninfo.c_str(), &pszError);
    if (!pOptions) {
        PQfreemem(pszError);
        return "(cadeia de conexão ilegível)";
    }
    std::string strShown;
    for (PQconninfoOption* p = pOptions; p->keyword; ++p) {
        // "password" and "sslpassword" (the client key's) alike.
        if (!p->val || strstr(p->keyword, "password"))
            continue;
        std::string strValue;
        for (const char* c = p->val; *c; ++c) {
            if (*c == '\'' || *c == '\\')
                strValue += '\\';
            strValue += *c;
        }
        if (!strShown.empty())
            strShown += ' ';
        bool bQuote = strValue.empty() || strValue.find_first_of(" '\\") != std::string::npos;
        strShown += std::string(p->keyword) + "=" + (bQuote ? "'" + strValue + "'" : strValue);
    }
    PQconninfoFree(pOptions);
    return strShown;
}

CPgResult::~CPgResult() {
    if (m_p)
        PQclear(m_p);
}

CPgResult& CPgResult::operator=(CPgResult&& other) noexcept {
    if (this != &other) {
        if (m_p)
            PQclear(m_p);
        m_p = other.m_p;
        other.m_p = nullptr;
    }
    return *this;
}

int CPgResult::Rows() const {
    return m_p ? PQntuples(m_p) : 0;
}

std::string CPgResult::Text(int nRow, int nColumn) const {
    return m_p && nRow < PQntuples(m_p) && nColumn < PQnfields(m_p) ? PQgetvalue(m_p, nRow, nColumn) : "";
}

bool CPgResult::IsNull(int nRow, int nColumn) const {
    return !m_p || PQgetisnull(m_p, nRow, nColumn);
}

CLineDb::CLineDb(std::string strConninfo) : m_strConninfo(std::move(strConninfo)) {}

CLineDb::~CLineDb() {
    Disconnect();
}

void CLineDb::Disconnect() {
    if (m_pConn)
        PQfinish(m_pConn);
    m_pConn = nullptr;
}

CLineDb::EState CLineDb::Connect(std::string& strError, bool bCheckSchema) {
    strError.clear();
    if (m_pConn)
        return EState::Ready;
    if (!CheckConninfo(strError))
        return EState::BadConninfo;
    if (std::chrono::steady_clock::now() < m_tRetryAfter) {
        strError = m_strUnanswered;
        return EState::Unreachable;
    }
    EState eState = Open(strError);
    if (eState != EState::Ready || !bCheckSchema)
        return eState;
    eState = CheckSchema(strError);
    if (eState == EState::Ready)
        eState = ClaimStation(strError);
    if (eState != EState::Ready)
        Disconnect();
    return eState;
}

bool CLineDb::CheckConninfo(std::string& strError) const {
    char* pszParseError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(m_strConninfo.c_str(), &pszParseError);
    if (!pOptions) {
        // libpq's reason may quote the text, password included: it is not shown.
        PQfreemem(pszParseError);
        strError =
            "cadeia de conexão do banco de dados inválida (nem \"chave=valor ...\" nem URI postgresql://)";
        return false;
    }
    // A password written into the connection string would stand in QAN640db.conf, which every operator
    // reads, or on a command line that ps shows: libpq's own places keep it.
    bool bPassword = false;
    for (PQconninfoOption* p = pOptions; p->keyword; ++p)
        bPassword = bPassword || (p->val && *p->val && strstr(p->keyword, "password"));
    PQconninfoFree(pOptions);
    if (bPassword)
        strError = "a senha não vai na cadeia de conexão do banco de dados: use ~/.pgpass, PGPASSFILE ou um "
                   "arquivo de serviço (PGSERVICEFILE)";
    return !bPassword;
}

CLineDb::EState CLineDb::Open(std::string& strError) {
    std::string strServer = " (" + ConninfoForDisplay(m_strConninfo) + ")";
    // The connection string's own settings win over these defaults, which come before it. Over TCP a server
    // that vanished mid-statement is noticed by the keepalives and the unacknowledged-data limit, since
    // statement_timeout is the server's own.
    std::string strTimeout = std::to_string(kConnectTimeoutS);
    const char* keywords[] = {"connect_timeout",
                              "keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "tcp_user_timeout",
                              "dbname",
                              "fallback_application_name",
                              nullptr};
    const char* values[] = {strTimeout.c_str(),    "1",      "3",    "1", "2", "5000",
                            m_strConninfo.c_str(), "qan640", nullptr};
    auto tStart = std::chrono::steady_clock::now();
    std::string strReason;
    bool bAnswered = false;
    m_pConn = ConnectBounded(keywords, values, strReason, bAnswered);
    if (!m_pConn) {
        // A server that answered and refused us (password, role, database) is a set-up error; one that did
        // not answer is down, and is not asked again for a while after a whole connect time spent waiting.
        strError = (bAnswered ? "o banco de dados recusou a conexão" : "banco de dados indisponível") +
                   strServer + ": " + strReason;
        auto tFailed = std::chrono::steady_clock::now();
        if (!bAnswered && tFailed - tStart >= std::chrono::seconds(2)) {
            m_tRetryAfter = tFailed + std::chrono::seconds(kUnansweredRetryS);
            m_strUnanswered = strError;
        }
        return bAnswered ? EState::Refused : EState::Unreachable;
    }
    ++m_nConnection;
    // Never a wait inside libpq: sending goes through ExecBounded's bounded wait, and closing a connection
    // whose server stopped reading does not wait to flush its goodbye.
    PQsetnonblocking(m_pConn, 1);
    // The server's notices (a lock already gone with an earlier connection) are no news for the operator.
    PQsetNoticeProcessor(
        m_pConn, [](void*, const char*) {}, nullptr);
    std::string strTimeoutMs = std::to_string(kStatementTimeoutMs);
    std::string strExecError;
    if (!Exec("SELECT set_config('statement_timeout', $1, false)", {strTimeoutMs.c_str()}, strExecError)) {
        strError = "banco de dados indisponível" + strServer + ": " + strExecError;
        Disconnect();
        return EState::Unreachable;
    }
    return EState::Ready;
}

CLineDb::EState CLineDb::CheckSchema(std::string& strError) {
    std::string strServer = " (" + ConninfoForDisplay(m_strConninfo) + ")";
    std::string strExecError;
    std::optional<CPgResult> version =
        Exec("SELECT to_regclass('qan640_schema') IS NOT NULL", {}, strExecError);
    if (version && version->Text(0, 0) == "t")
        version = Exec("SELECT coalesce(max(version), 0) FROM qan640_schema", {}, strExecError);
    if (!version) {
        strError = "o banco de dados recusou a consulta" + strServer + ": " + strExecError;
        return m_pConn ? EState::Refused : EState::Unreachable;
    }
    int nVersion = std::atoi(version->Text(0, 0).c_str());
    if (nVersion == kLineDbSchemaVersion)
        return EState::Ready;
    if (nVersion > kLineDbSchemaVersion) {
        strError = "o banco de dados" + strServer + " tem o esquema versão " + std::to_string(nVersion) +
                   ", mais novo que o deste programa (" + std::to_string(kLineDbSchemaVersion) +
                   "): atualize o programa";
        return EState::NewerSchema;
    }
    strError = "o banco de dados" + strServer + " não tem o esquema versão " +
               std::to_string(kLineDbSchemaVersion) + ": execute qan640-provision --db-init";
    return EState::NoSchema;
}

std::optional<CPgResult> CLineDb::Exec(const char* pszSql, const std::vector<const char*>& params,
                                       std::string& strError) {
    bool bUnique = false;
    return Exec(pszSql, params, strError, bUnique);
}

std::optional<CPgResult> CLineDb::Exec(const char* pszSql, const std::vector<const char*>& params,
                                       std::string& strError, bool& bUnique) {
    bUnique = false;
    if (!m_pConn) {
        strError = "sem conexão com o banco de dados";
        return std::nullopt;
    }
    PGresult* pResult = ExecBounded(pszSql, params, strError);
    if (!m_pConn)
        return std::nullopt; // given up: stopped, or no answer in time
    ExecStatusType eStatus = pResult ? PQresultStatus(pResult) : PGRES_FATAL_ERROR;
    if (eStatus == PGRES_COMMAND_OK || eStatus == PGRES_TUPLES_OK)
        return CPgResult(pResult);
    const char* pszState = pResult ? PQresultErrorField(pResult, PG_DIAG_SQLSTATE) : nullptr;
    bUnique = pszState && strcmp(pszState, kSqlStateUniqueViolation) == 0;
    strError = OneLine(pResult ? PQresultErrorMessage(pResult) : "");
    if (strError.empty())
        strError = OneLine(PQerrorMessage(m_pConn));
    if (pResult)
        PQclear(pResult);
    if (PQstatus(m_pConn) == CONNECTION_BAD)
        Disconnect();
    return std::nullopt;
}

bool CLineDb::WaitForSocket(bool bWrite, std::chrono::steady_clock::time_point tDeadline,
                            std::string& strError) {
    for (;;) {
        if (m_stop.StopRequested()) {
            strError = "interrompido";
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            strError = "o banco de dados não respondeu a tempo";
            return false;
        }
        pollfd fds[2] = {{PQsocket(m_pConn), short(bWrite ? POLLOUT : POLLIN), 0},
                         {m_stop.WakeFd(), POLLIN, 0}};
        int nReady = poll(fds, fds[1].fd < 0 ? 1 : 2, int(std::min<int64_t>(left.count(), 1000)));
        if (nReady < 0 && errno != EINTR) {
            strError = SystemErrorText(errno);
            return false;
        }
        if (nReady > 0 && fds[0].revents)
            return true;
    }
}

PGconn* CLineDb::ConnectBounded(const char* const* keywords, const char* const* values, std::string& strError,
                                bool& bAnswered) {
    bAnswered = false;
    m_pConn = PQconnectStartParams(keywords, values, 1);
    // Verbose while connecting, so that a refusal carries the server's SQLSTATE, which tells it apart from
    // libpq's own failures (no server) in any language the server speaks.
    if (m_pConn)
        PQsetErrorVerbosity(m_pConn, PQERRORS_VERBOSE);
    auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectTimeoutS);
    PostgresPollingStatusType eStatus = PGRES_POLLING_WRITING;
    while (m_pConn && PQstatus(m_pConn) != CONNECTION_BAD && eStatus != PGRES_POLLING_OK &&
           eStatus != PGRES_POLLING_FAILED) {
        if (!WaitForSocket(eStatus == PGRES_POLLING_WRITING, tDeadline, strError)) {
            Disconnect();
            return nullptr;
        }
        eStatus = PQconnectPoll(m_pConn);
    }
    if (m_pConn && PQstatus(m_pConn) == CONNECTION_OK) {
        PQsetErrorVerbosity(m_pConn, PQERRORS_DEFAULT);
        return std::exchange(m_pConn, nullptr);
    }
    strError = m_pConn ? ServerRefusal(PQerrorMessage(m_pConn), bAnswered) : "sem memória";
    // Asked for a password that no file gives: the server answered.
    bAnswered = bAnswered || (m_pConn && PQconnectionNeedsPassword(m_pConn));
    Disconnect();
    return nullptr;
}

PGresult* CLineDb::ExecBounded(const char* pszSql, const std::vector<const char*>& params,
                               std::string& strError) {
    auto tDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatementTimeoutMs + kAnswerGraceMs);
    bool bSent = PQsendQueryParams(m_pConn, pszSql, int(params.size()), nullptr, params.data(), nullptr,
                                   nullptr, 0) == 1;
    bool bWaited = bSent;
    for (int nFlush = bSent ? PQflush(m_pConn) : -1; bWaited && nFlush == 1; nFlush = PQflush(m_pConn))
        bWaited = WaitForSocket(true, tDeadline, strError);
    while (bWaited && PQisBusy(m_pConn)) {
        bWaited = WaitForSocket(false, tDeadline, strError) && PQconsumeInput(m_pConn) == 1;
        if (!bWaited && strError.empty())
            strError = OneLine(PQerrorMessage(m_pConn));
    }
    if (bSent && !bWaited) {
        // The connection is given up. No cancel request: libpq's waits for the server without a limit, and a
        // stalled server never answers it; the statement's own time-out ends it on the server, which then
        // finds the connection gone and rolls its transaction back.
        Disconnect();
        return nullptr;
    }
    // The last result is the statement's; a failed send leaves none, and libpq's message says why.
    PGresult* pLast = nullptr;
    while (PGresult* pResult = PQgetResult(m_pConn)) {
        if (pLast)
            PQclear(pLast);
        pLast = pResult;
    }
    return pLast;
}

CLineDb::EState CLineDb::ClaimStation(std::string& strError) {
    if (m_strStation.empty())
        return EState::Ready;
    std::string strExecError;
    std::optional<CPgResult> claim = Exec(
        "WITH mine AS (INSERT INTO qan640_stations (station, machine_id) VALUES ($1, $2)"
        " ON CONFLICT (station) DO NOTHING RETURNING machine_id)"
        " SELECT machine_id FROM mine UNION ALL SELECT machine_id FROM qan640_stations WHERE station = $1",
        {m_strStation.c_str(), m_strMachineId.c_str()}, strExecError);
    if (!claim) {
        strError =
            std::string(m_pConn ? "o banco de dados recusou a consulta" : "banco de dados indisponível") +
            " (" + ConninfoForDisplay(m_strConninfo) + "): " + strExecError;
        return m_pConn ? EState::Refused : EState::Unreachable;
    }
    if (claim->Text(0, 0) == m_strMachineId)
        return EState::Ready;
    strError = "a estação \"" + m_strStation +
               "\" já pertence a outro computador no banco de dados da linha"
               " (identificador de máquina " +
               claim->Text(0, 0) + "): dê a esta um nome próprio em " + kStationFileName;
    return EState::StationTaken;
}

void CLineDb::Rollback() {
    std::string strIgnored;
    if (m_pConn && PQtransactionStatus(m_pConn) != PQTRANS_IDLE)
        Exec("ROLLBACK", {}, strIgnored);
}

bool CLineDb::InitSchema(std::string& strError) {
    // Version 1. A later version adds its steps after these, each run only when the stored version is older.
    static const char* const kVersion1[] = {
        "CREATE TABLE qan640_runs ("
        " run_id text PRIMARY KEY,"
        " station text NOT NULL,"
        " started timestamptz NOT NULL,"
        " ended timestamptz NOT NULL,"
        " port text NOT NULL,"
        " mac_sent text NOT NULL,"
        " mac_read text NOT NULL,"
        " outcome text NOT NULL CHECK (outcome IN ('ok', 'failed', 'stopped', 'interrupted')),"
        " stage integer NOT NULL,"
        " message text NOT NULL,"
        " duration_s double precision NOT NULL,"
        " log_file text NOT NULL,"
        // The server's time of arrival: a row waiting in a station's outbox arrives late.
        " received timestamptz NOT NULL DEFAULT now())",
        "CREATE INDEX qan640_runs_started ON qan640_runs (started)",
        "CREATE INDEX qan640_runs_mac_sent ON qan640_runs (mac_sent)",
        // The address itself is the key: two boards never get one address, whatever a client does.
        "CREATE TABLE qan640_macs ("
        " mac macaddr PRIMARY KEY,"
        " state text NOT NULL CHECK (state IN ('reserved', 'stored')),"
        " run_id text,"
        " station text NOT NULL,"
        " at timestamptz NOT NULL)",
    };
    // Version 2: which machine each station name belongs to.
    static const char* const kVersion2[] = {
        "CREATE TABLE qan640_stations (station text PRIMARY KEY, machine_id text NOT NULL,"
        " claimed timestamptz NOT NULL DEFAULT now())",
    };
    // Version 3: each row announced as it goes in (the line's page listens), the indexes of the page's
    // queries, the log of each failed run beside its row, and who ran each run and the board's serial number
    // (rows of older stations have neither).
    static const char* const kVersion3[] = {
        "CREATE FUNCTION qan640_announce_run() RETURNS trigger LANGUAGE plpgsql AS"
        " $$BEGIN PERFORM pg_notify('qan640_runs', NEW.run_id); RETURN NULL; END$$",
        "CREATE TRIGGER qan640_runs_announce AFTER INSERT ON qan640_runs FOR EACH ROW"
        " EXECUTE FUNCTION qan640_announce_run()",
        // The last run of each station and port, found by skipping along this index.
        "CREATE INDEX qan640_runs_slot ON qan640_runs (station, port, started)",
        "CREATE TABLE qan640_run_logs (run_id text PRIMARY KEY REFERENCES qan640_runs ON DELETE CASCADE,"
        " log text NOT NULL)",
        "ALTER TABLE qan640_runs ADD COLUMN operator text NOT NULL DEFAULT ''",
        "ALTER TABLE qan640_runs ADD COLUMN serial text NOT NULL DEFAULT ''",
        // A serial asked before its board gets an address: is it bound to another one anywhere on the line?
        "CREATE INDEX qan640_runs_serial ON qan640_runs (serial) WHERE serial <> ''",
    };
    auto fail = [&](const std::string& strWhat) {
        strError = strWhat;
        Rollback();
        return false;
    };
    std::string strExecError;
    if (!Exec("BEGIN", {}, strExecError) ||
        !Exec("SELECT pg_advisory_xact_lock($1::bigint)", {kSchemaLockKey}, strExecError) ||
        !Exec("CREATE TABLE IF NOT EXISTS qan640_schema (version integer NOT NULL)", {}, strExecError))
        return fail(strExecError);
    std::optional<CPgResult> version =
        Exec("SELECT coalesce(max(version), 0) FROM qan640_schema", {}, strExecError);
    if (!version)
        return fail(strExecError);
    int nVersion = std::atoi(version->Text(0, 0).c_str());
    if (nVersion > kLineDbSchemaVersion)
        return fail("o esquema do banco de dados é a versão " + std::to_string(nVersion) +
                    ", mais nova que a deste programa (" + std::to_string(kLineDbSchemaVersion) +
                    "): nada foi alterado");
    if (nVersion < 1) {
        for (const char* pszSql : kVersion1)
            if (!Exec(pszSql, {}, strExecError))
                return fail(strExecError);
    }
    if (nVersion < 2) {
        for (const char* pszSql : kVersion2)
            if (!Exec(pszSql, {}, strExecError))
                return fail(strExecError);
    }
    if (nVersion < 3) {
        for (const char* pszSql : kVersion3)
            if (!Exec(pszSql, {}, strExecError))
                return fail(strExecError);
    }
    std::string strVersion = std::to_string(kLineDbSchemaVersion);
    if (!Exec("DELETE FROM qan640_schema", {}, strExecError) ||
        !Exec("INSERT INTO qan640_schema (version) VALUES ($1::integer)", {strVersion.c_str()},
              strExecError) ||
        !Exec("COMMIT", {}, strExecError))
        return fail(strExecError);
    return true;
}

int CLineDb::WaitForNotifications(int nTimeoutMs, std::string& strError) {
    if (!m_pConn) {
        strError = "sem conexão com o banco de dados";
        return -1;
    }
    auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nCount = 0;
        while (PGnotify* pNotify = PQnotifies(m_pConn)) {
            ++nCount;
            PQfreemem(pNotify);
        }
        if (nCount > 0)
            return nCount;
        std::string strWaitError;
        if (!WaitForSocket(false, tDeadline, strWaitError)) {
            // WaitForSocket counts whole milliseconds: less than one left is the time-out.
            if (!m_stop.StopRequested() &&
                std::chrono::steady_clock::now() + std::chrono::milliseconds(1) >= tDeadline)
                return 0;
            strError = strWaitError;
            return -1;
        }
        if (PQconsumeInput(m_pConn) != 1) {
            strError = OneLine(PQerrorMessage(m_pConn));
            Disconnect();
            return -1;
        }
    }
}
