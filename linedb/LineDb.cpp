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

std::string LineDbRunId(const std::string& strStation, const std::string& strJournalStem) {
    return strStation + "/" + strJournalStem;
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
    char* pszParseError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(m_strConninfo.c_str(), &pszParseError);
    if (!pOptions) {
        // libpq's reason may quote the text, password included: it is not shown.
        PQfreemem(pszParseError);
        strError =
            "cadeia de conexão do banco de dados inválida (nem \"chave=valor ...\" nem URI postgresql://)";
        return EState::BadConninfo;
    }
    // A password written into the connection string would stand in QAN640db.conf, which every operator
    // reads, or on a command line that ps shows: libpq's own places keep it.
    bool bPassword = false;
    for (PQconninfoOption* p = pOptions; p->keyword; ++p)
        bPassword = bPassword || (p->val && *p->val && strstr(p->keyword, "password"));
    PQconninfoFree(pOptions);
    if (bPassword) {
        strError = "a senha não vai na cadeia de conexão do banco de dados: use ~/.pgpass, PGPASSFILE ou um "
                   "arquivo de serviço (PGSERVICEFILE)";
        return EState::BadConninfo;
    }
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
    auto tNow = std::chrono::steady_clock::now();
    if (tNow < m_tRetryAfter) {
        strError = m_strUnanswered;
        return EState::Unreachable;
    }
    std::string strReason;
    PGconn* pConn = ConnectBounded(keywords, values, strReason);
    if (!pConn) {
        // libpq waits at least 2 s for a server that does not answer; a refusal comes at once. Only then can
        // a ping tell a server that answers but refuses us (password, role, database: a set-up error) from
        // one that is down; after a time-out it would only wait as long again.
        auto tFailed = std::chrono::steady_clock::now();
        bool bTimedOut = tFailed - tNow >= std::chrono::seconds(2);
        bool bAnswers =
            !bTimedOut && !m_stop.StopRequested() && PQpingParams(keywords, values, 1) == PQPING_OK;
        strError = (bAnswers ? "o banco de dados recusou a conexão" : "banco de dados indisponível") +
                   strServer + ": " + strReason;
        if (bTimedOut) {
            m_tRetryAfter = tFailed + std::chrono::seconds(kUnansweredRetryS);
            m_strUnanswered = strError;
        }
        return bAnswers ? EState::Refused : EState::Unreachable;
    }
    m_pConn = pConn;
    ++m_nConnection;
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
    if (!bCheckSchema)
        return EState::Ready;
    std::optional<CPgResult> version =
        Exec("SELECT to_regclass('qan640_schema') IS NOT NULL", {}, strExecError);
    if (version && version->Text(0, 0) == "t")
        version = Exec("SELECT coalesce(max(version), 0) FROM qan640_schema", {}, strExecError);
    if (!version) {
        strError = "o banco de dados recusou a consulta" + strServer + ": " + strExecError;
        bool bBroken = !m_pConn;
        Disconnect();
        return bBroken ? EState::Unreachable : EState::Refused;
    }
    int nVersion = std::atoi(version->Text(0, 0).c_str());
    if (nVersion == kLineDbSchemaVersion) {
        EState eClaim = ClaimStation(strError);
        if (eClaim != EState::Ready)
            Disconnect();
        return eClaim;
    }
    Disconnect();
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

PGconn* CLineDb::ConnectBounded(const char* const* keywords, const char* const* values,
                                std::string& strError) {
    m_pConn = PQconnectStartParams(keywords, values, 1);
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
    if (!m_pConn || PQstatus(m_pConn) != CONNECTION_OK) {
        strError = m_pConn ? OneLine(PQerrorMessage(m_pConn)) : "sem memória";
        Disconnect();
        return nullptr;
    }
    return std::exchange(m_pConn, nullptr);
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
        // The server may still be working on it: asked to stop, and the connection given up either way.
        if (PGcancel* pCancel = PQgetCancel(m_pConn)) {
            char error[256];
            PQcancel(pCancel, error, sizeof error);
            PQfreeCancel(pCancel);
        }
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
    // Version 3: who ran each run and the board's serial number; rows of older stations have neither.
    static const char* const kVersion3[] = {
        "ALTER TABLE qan640_runs ADD COLUMN operator text NOT NULL DEFAULT ''",
        "ALTER TABLE qan640_runs ADD COLUMN serial text NOT NULL DEFAULT ''",
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
