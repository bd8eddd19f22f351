#pragma once

#include "core/StopToken.h"
#include "records/RunRecord.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

// The line's database: every row of every station's record, and the addresses the line has given out.
// Optional: without it each station keeps its record and ledger alone, as before.

// "QAN640db.conf" in the working directory: one libpq connection string ("host=db.line dbname=qan640") or
// URI ("postgresql://station@db.line/qan640"); blank lines and lines beginning with "#" are comments. The
// password never goes here: libpq takes it from ~/.pgpass, PGPASSFILE or a service file.
inline constexpr const char* kLineDbFileName = "QAN640db.conf";

// Rows the database has not confirmed yet, one file per run, beside the record.
inline constexpr const char* kDbOutboxFolderName = ".QAN640db.outbox";

// The schema this program knows; --db-init creates it or brings an older one up to it.
inline constexpr int kLineDbSchemaVersion = 3;

// What the stations' role needs, and no more: rows of runs are only added, never changed or removed;
// reservations change in their own table; a station claims its name once.
inline constexpr const char* kLineDbStationGrants =
    "GRANT USAGE ON SCHEMA public TO station;\n"
    "GRANT SELECT ON qan640_schema TO station;\n"
    "GRANT SELECT, INSERT ON qan640_runs, qan640_stations TO station;\n"
    "GRANT SELECT, INSERT, UPDATE, DELETE ON qan640_macs TO station;\n";

// The file's connection string; nullopt with an empty strError when there is no file, nullopt with the
// reason when it cannot be read or holds no connection string.
std::optional<std::string> ReadLineDbConninfo(const std::string& strDir, std::string& strError);

// The connection string as it may be shown (an error, a log): without its password. One that cannot be
// parsed is not shown at all, as it may hold a password where the parser could not tell.
std::string ConninfoForDisplay(const std::string& strConninfo);

// The run id of a run in the database: the station and the run journal's name, so that the run's row and a
// recovery of the same run after a kill carry the same id.
std::string LineDbRunId(const std::string& strStation, const std::string& strJournalStem);

// One result of a query; frees it.
class CPgResult {
public:
    CPgResult() = default;
    explicit CPgResult(PGresult* p) : m_p(p) {}
    ~CPgResult();
    CPgResult(CPgResult&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    CPgResult& operator=(CPgResult&& other) noexcept;
    CPgResult(const CPgResult&) = delete;
    CPgResult& operator=(const CPgResult&) = delete;

    int Rows() const;
    std::string Text(int nRow, int nColumn) const;
    bool IsNull(int nRow, int nColumn) const;

private:
    PGresult* m_p = nullptr;
};

// One connection to the line's database, used from one thread at a time. Every wait is bounded and yields to
// the stop (SetStop): the connection by the connect time-out, every statement by statement_timeout and, for a
// server that stalls (a frozen disk, a stopped backend), by a deadline of this side that cancels it, so a
// dead server holds a run for a few seconds at most. A connection that broke is made again at the next use.
class CLineDb {
public:
    static constexpr int kConnectTimeoutS = 3;
    static constexpr int kStatementTimeoutMs = 3000;
    // How long this side waits for a statement's answer beyond the server's own time-out.
    static constexpr int kAnswerGraceMs = 2000;
    // After an attempt that no server answered within the connect time, the attempts of the next seconds
    // give the same answer at once: a run's several steps, and each row recovered at a start, would otherwise
    // wait the whole connect time again. A server that refuses at once is asked again every time.
    static constexpr int kUnansweredRetryS = 10;

    enum class EState {
        Ready,        // connected, schema known
        BadConninfo,  // the connection string cannot be parsed: a set-up error
        Unreachable,  // no server answers (down, restarting, network): the line goes on without it
        Refused,      // the server answered and refused (password, role, database, rights)
        NoSchema,     // no tables yet: qan640-provision --db-init
        NewerSchema,  // made by a newer program: this one must not write into it
        StationTaken, // another PC (machine id) holds this station's name: a set-up error
    };

    explicit CLineDb(std::string strConninfo);
    ~CLineDb();
    CLineDb(const CLineDb&) = delete;
    CLineDb& operator=(const CLineDb&) = delete;

    // Connects when not connected and checks the schema's version (unless bCheckSchema is false). The
    // message (Portuguese) says what is wrong, naming the server without its password.
    EState Connect(std::string& strError, bool bCheckSchema = true);
    bool IsReady() const { return m_pConn != nullptr; }
    // Counts the connections made: what a connection holds (its session locks) went with it when this
    // changed.
    int Connection() const { return m_nConnection; }
    void Disconnect();
    const std::string& Conninfo() const { return m_strConninfo; }
    // The stop that ends every wait for the server at once (the statement cancelled, the connection
    // dropped): the run's, for the connection its worker uses.
    void SetStop(CStopToken stop) { m_stop = std::move(stop); }
    // The station this PC is, claimed at each connection: the first PC to claim a name keeps it, and a
    // connection of another machine (its machine id) under that name is refused (StationTaken).
    void SetStation(std::string strStation, std::string strMachineId) {
        m_strStation = std::move(strStation);
        m_strMachineId = std::move(strMachineId);
    }

    // One statement with its parameters (never text built into the statement). Null parameters are given as
    // nullptr. On failure the result is empty, strError says why and, when the connection broke, it is
    // dropped (the next Connect makes it again).
    std::optional<CPgResult> Exec(const char* pszSql, const std::vector<const char*>& params,
                                  std::string& strError);
    // As Exec, for a statement whose failure is a unique violation: bUnique tells it apart.
    std::optional<CPgResult> Exec(const char* pszSql, const std::vector<const char*>& params,
                                  std::string& strError, bool& bUnique);
    // Rolls back the transaction begun, if any (after a failed statement).
    void Rollback();

    // Creates the schema, or brings an older one up to this program's; refuses a newer one. Idempotent.
    bool InitSchema(std::string& strError);

private:
    // Waits until the connection's socket can be read (or written), the deadline passes or a stop comes:
    // false then, with strError saying which.
    bool WaitForSocket(bool bWrite, std::chrono::steady_clock::time_point tDeadline, std::string& strError);
    // Connects without blocking: the connect time-out and a stop both end the wait.
    PGconn* ConnectBounded(const char* const* keywords, const char* const* values, std::string& strError);
    // Sends the statement and waits for its result, bounded and stoppable; null with strError on failure.
    PGresult* ExecBounded(const char* pszSql, const std::vector<const char*>& params, std::string& strError);

    // The station's claim on its name, at each connection: Ready, or what stands in the way (strError).
    EState ClaimStation(std::string& strError);

    std::string m_strConninfo;
    CStopToken m_stop;
    std::string m_strStation;
    std::string m_strMachineId;
    PGconn* m_pConn = nullptr;
    int m_nConnection = 0;
    std::chrono::steady_clock::time_point m_tRetryAfter{};
    std::string m_strUnanswered;
};
