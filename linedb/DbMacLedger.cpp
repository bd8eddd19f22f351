#include "linedb/DbMacLedger.h"

#include "core/SystemError.h"
#include "records/RunArchive.h"
#include "records/RunRecord.h"

#include <charconv>
#include <set>

namespace {

constexpr int kTakeAttempts = 5;
constexpr int64_t kReservationTag = int64_t(0x5140) << 48;
// Held by the transaction that takes an address, so that takings across the line go one at a time.
constexpr int64_t kTakingLockKey = int64_t(0x5141) << 48;

std::string DownWarning(const std::string& strError) {
    return std::string(
               "Banco de dados da linha indisponível: MAC conferido só com o registro desta estação (") +
           kRunRecordFileName + "): " + strError;
}

} // namespace

CDbMacLedger::CDbMacLedger(CLineDb& db, std::string strStation, std::string strDir)
    : m_db(db), m_strStation(std::move(strStation)), m_strDir(strDir), m_local(std::move(strDir)) {}

int64_t CDbMacLedger::ReservationKey(uint64_t nMac) {
    return kReservationTag | int64_t(nMac & 0xFFFFFFFFFFFFull);
}

std::string CDbMacLedger::TakeWarning() {
    return std::exchange(m_strWarning, std::string());
}

namespace {

// A stored address as the database's row of it shows it: columns state, station, the start's epoch, port,
// serial and address.
SMacLookup LookupOfRow(const CPgResult& found) {
    double dEpoch = 0;
    std::string strEpoch = found.Text(0, 2);
    std::from_chars(strEpoch.data(), strEpoch.data() + strEpoch.size(), dEpoch);
    SMacLookup lookup;
    lookup.eStatus = SMacLookup::EStatus::Stored;
    SMacStoredRow& row = lookup.row;
    row.strWhen = FormatIsoTime(
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(dEpoch))));
    row.strPort = found.Text(0, 0) == "stored"
                      ? found.Text(0, 3) + " da estação " + found.Text(0, 1)
                      : "(endereço reservado por uma execução da estação " + found.Text(0, 1) + ")";
    row.strSerial = found.Text(0, 4);
    row.strMac = found.Text(0, 5);
    return lookup;
}

} // namespace

SMacLookup CDbMacLedger::FindStored(const std::string& strMac) {
    SMacLookup local = m_local.FindStored(strMac);
    std::optional<uint64_t> nMac = MacValue(strMac);
    if (!nMac || local.eStatus == SMacLookup::EStatus::Unreadable)
        return local;
    std::string strError;
    if (m_db.Connect(strError) != CLineDb::EState::Ready) {
        m_strWarning = DownWarning(strError);
        return local;
    }
    std::string strMacText = MacText(*nMac);
    std::optional<CPgResult> found =
        m_db.Exec("SELECT m.state, m.station, extract(epoch FROM coalesce(r.started, m.at))::text,"
                  " coalesce(r.port, ''), coalesce(r.serial, ''), upper(m.mac::text) FROM qan640_macs m LEFT "
                  "JOIN qan640_runs r "
                  "ON r.run_id = m.run_id"
                  " WHERE m.mac = $1::macaddr",
                  {strMacText.c_str()}, strError);
    if (!found) {
        m_strWarning = DownWarning(strError);
        return local;
    }
    bool bOwnReservation = m_nReserved == nMac;
    if (found->Rows() == 0 || (found->Text(0, 0) == "reserved" && bOwnReservation))
        return local;
    return LookupOfRow(*found);
}

SMacLookup CDbMacLedger::FindSerial(const std::string& strSerial) {
    // This PC's record first: its rows may still wait in the outbox.
    SMacLookup local = m_local.FindSerial(strSerial);
    if (strSerial.empty() || local.eStatus != SMacLookup::EStatus::Free)
        return local;
    std::string strError;
    if (m_db.Connect(strError) != CLineDb::EState::Ready) {
        m_strWarning = DownWarning(strError);
        return local;
    }
    // The latest row of any station whose board kept its address with this serial.
    std::optional<CPgResult> found = m_db.Exec(
        "SELECT m.state, r.station, extract(epoch FROM r.started)::text, r.port, r.serial, upper(r.mac_sent)"
        " FROM qan640_runs r JOIN qan640_macs m ON m.run_id = r.run_id AND m.state = 'stored'"
        " WHERE r.serial = $1 ORDER BY r.started DESC LIMIT 1",
        {strSerial.c_str()}, strError);
    if (!found) {
        m_strWarning = DownWarning(strError);
        return local;
    }
    return found->Rows() == 0 ? local : LookupOfRow(*found);
}

SMacTaken CDbMacLedger::TakeNext() {
    SMacTaken taken;
    std::optional<SMacRange> range = ReadMacRange(m_strDir, taken);
    if (!range)
        return taken;
    if (m_nReserved && *m_nReserved >= range->nFirst && *m_nReserved <= range->nLast) {
        taken.eStatus = SMacTaken::EStatus::Taken;
        taken.strMac = MacText(*m_nReserved);
        return taken;
    }
    EndRun();
    std::string strError;
    if (m_db.Connect(strError) != CLineDb::EState::Ready) {
        taken.eStatus = SMacTaken::EStatus::Unavailable;
        taken.strMessage = "Banco de dados da linha indisponível: sem ele nenhum endereço da faixa é dado (" +
                           strError + ")";
        return taken;
    }
    // This station's rows the database has not got yet go first: they may hold addresses of the range.
    CLineDbOutlet outlet(m_db, m_strDir, m_strStation);
    CRunArchive archive(m_strDir);
    archive.SetStation(m_strStation, &outlet);
    archive.RecoverInterruptedRuns();
    for (int nAttempt = 0; nAttempt < kTakeAttempts; ++nAttempt) {
        bool bRetry = false;
        taken = TakeNextOnce(*range, bRetry);
        if (!bRetry)
            return taken;
    }
    return taken;
}

std::optional<std::set<int64_t>> CDbMacLedger::HeldSessionLocks(std::string& strError) {
    std::optional<CPgResult> locks = m_db.Exec(
        "SELECT classid::text, objid::text FROM pg_locks WHERE locktype = 'advisory' AND objsubid = 1"
        " AND granted AND database = (SELECT oid FROM pg_database WHERE datname = current_database())",
        {}, strError);
    if (!locks)
        return std::nullopt;
    std::set<int64_t> held;
    for (int i = 0; i < locks->Rows(); ++i)
        held.insert(int64_t(std::stoull(locks->Text(i, 0)) << 32 | std::stoull(locks->Text(i, 1))));
    return held;
}

SMacTaken CDbMacLedger::TakeNextOnce(const SMacRange& range, bool& bRetry) {
    SMacTaken taken;
    taken.eStatus = SMacTaken::EStatus::Unusable;
    std::string strError;
    auto fail = [&] {
        m_db.Rollback();
        // A connection lost on the way is an outage like a server down at the start.
        if (!m_db.IsReady())
            taken.eStatus = SMacTaken::EStatus::Unavailable;
        taken.strMessage =
            (m_db.IsReady() ? "Banco de dados da linha: " : "Banco de dados da linha indisponível: ") +
            strError;
        return taken;
    };
    // This station's record counts too: addresses stored before the line had its database.
    CRangeUse use(range);
    if (!ForEachStoredMacIn(m_strDir,
                            [&](uint64_t nMac, std::string_view, std::string_view) { use.MarkUsed(nMac); })) {
        taken.eStatus = SMacTaken::EStatus::Unreadable;
        taken.strMessage = kRunRecordFileName + (": " + SystemErrorText(errno));
        return taken;
    }

    std::string strTakingKey = std::to_string(kTakingLockKey);
    if (!m_db.Exec("BEGIN", {}, strError) ||
        !m_db.Exec("SELECT pg_advisory_xact_lock($1::bigint)", {strTakingKey.c_str()}, strError))
        return fail();
    std::optional<std::set<int64_t>> held = HeldSessionLocks(strError);
    if (!held)
        return fail();
    std::string strFirst = MacText(range.nFirst), strLast = MacText(range.nLast);
    // A reservation is settled when its station's row of that run is in: the row turned the address
    // "stored" if the board got it, so one still "reserved" then was never stored.
    std::optional<CPgResult> rows = m_db.Exec(
        "SELECT m.mac::text, m.state, EXISTS (SELECT 1 FROM qan640_runs r WHERE CASE WHEN m.run_id IS NULL"
        " THEN r.station = m.station AND r.mac_sent = upper(m.mac::text) AND r.received >= m.at"
        " ELSE r.run_id = m.run_id END)"
        " FROM qan640_macs m WHERE m.mac BETWEEN $1::macaddr AND $2::macaddr",
        {strFirst.c_str(), strLast.c_str()}, strError);
    if (!rows)
        return fail();
    std::set<uint64_t> rowed;
    for (int i = 0; i < rows->Rows(); ++i) {
        std::optional<uint64_t> nMac = MacValue(rows->Text(i, 0));
        if (!nMac)
            continue;
        rowed.insert(*nMac);
        bool bSettled = rows->Text(i, 2) == "t";
        if (rows->Text(i, 1) == "stored" || held->count(ReservationKey(*nMac)) || !bSettled)
            use.MarkUsed(*nMac);
    }
    std::optional<uint64_t> nFree = use.LowestFree();
    if (!nFree) {
        m_db.Rollback();
        taken.eStatus = SMacTaken::EStatus::Exhausted;
        taken.strMessage = MacRangeExhaustedText(range);
        return taken;
    }
    uint64_t nMac = *nFree;
    std::string strMac = MacText(nMac), strKey = std::to_string(ReservationKey(nMac));
    bool bUnique = false;
    const char* pszReserve = rowed.count(nMac)
                                 ? "UPDATE qan640_macs SET run_id = NULL, station = $2, at = now()"
                                   " WHERE mac = $1::macaddr AND state = 'reserved'"
                                 : "INSERT INTO qan640_macs (mac, state, run_id, station, at)"
                                   " VALUES ($1::macaddr, 'reserved', NULL, $2, now())";
    if (!m_db.Exec(pszReserve, {strMac.c_str(), m_strStation.c_str()}, strError, bUnique)) {
        // Someone wrote the address without the taking lock (by hand, another program): ask again.
        bRetry = bUnique;
        return fail();
    }
    if (!m_db.Exec("SELECT pg_advisory_lock($1::bigint)", {strKey.c_str()}, strError) ||
        !m_db.Exec("COMMIT", {}, strError))
        return fail();
    m_nReserved = nMac;
    m_nReservedOn = m_db.Connection();
    taken.eStatus = SMacTaken::EStatus::Taken;
    taken.strMac = strMac;
    return taken;
}

void CDbMacLedger::BeginRun(const SMacRun& run) {
    m_run = run;
    m_local.BeginRun(run);
}

SMacHold CDbMacLedger::Reserve(const std::string& strMac) {
    // This PC's other runs first: the database may be down.
    SMacHold hold = m_local.Reserve(strMac);
    std::optional<uint64_t> nMac = MacValue(strMac);
    if (hold.eStatus != SMacHold::EStatus::Held || !nMac)
        return hold;
    if (m_nReserved != nMac)
        ReleaseInDb();
    std::string strError;
    if (m_db.Connect(strError) != CLineDb::EState::Ready) {
        m_strWarning = DownWarning(strError);
        return hold;
    }
    hold = ReserveInDb(*nMac);
    if (hold.eStatus != SMacHold::EStatus::Held)
        m_local.EndRun();
    return hold;
}

SMacHold CDbMacLedger::ReserveInDb(uint64_t nMac) {
    SMacHold hold;
    std::string strError;
    std::string strMac = MacText(nMac), strKey = std::to_string(ReservationKey(nMac));
    std::string strTakingKey = std::to_string(kTakingLockKey), strRunId = m_run.strRunId;
    auto fail = [&] {
        m_db.Rollback();
        hold.eStatus = SMacHold::EStatus::Unreadable;
        hold.strMessage = "Banco de dados da linha: " + strError;
        return hold;
    };
    if (!m_db.Exec("BEGIN", {}, strError) ||
        !m_db.Exec("SELECT pg_advisory_xact_lock($1::bigint)", {strTakingKey.c_str()}, strError))
        return fail();
    // A reservation of this address by another run stands while its lock is held or its run has no row.
    std::optional<CPgResult> found = m_db.Exec(
        "SELECT m.state, m.station, coalesce(m.run_id, ''), EXISTS (SELECT 1 FROM pg_locks l WHERE"
        " l.locktype = 'advisory' AND l.granted AND l.objsubid = 1 AND l.pid <> pg_backend_pid() AND"
        " l.database = (SELECT oid FROM pg_database WHERE datname = current_database()) AND"
        " (l.classid::bigint << 32 | l.objid::bigint) = $2::bigint), EXISTS (SELECT 1 FROM qan640_runs r"
        " WHERE r.run_id = m.run_id) FROM qan640_macs m WHERE m.mac = $1::macaddr",
        {strMac.c_str(), strKey.c_str()}, strError);
    if (!found)
        return fail();
    bool bOwn = m_nReserved == nMac;
    if (found->Rows() > 0 && found->Text(0, 0) == "stored") {
        m_db.Rollback();
        return hold; // the record's question says where it is stored
    }
    if (found->Rows() > 0 && !bOwn && (found->Text(0, 3) == "t" || found->Text(0, 4) != "t")) {
        m_db.Rollback();
        hold.eStatus = SMacHold::EStatus::HeldByRun;
        hold.strMessage = strMac + ": execução da estação " + found->Text(0, 1);
        return hold;
    }
    const char* pszReserve = found->Rows() > 0
                                 ? "UPDATE qan640_macs SET run_id = $3, station = $2, at = now()"
                                   " WHERE mac = $1::macaddr AND state = 'reserved'"
                                 : "INSERT INTO qan640_macs (mac, state, run_id, station, at)"
                                   " VALUES ($1::macaddr, 'reserved', $3, $2, now())";
    if (!m_db.Exec(pszReserve, {strMac.c_str(), m_strStation.c_str(), strRunId.c_str()}, strError))
        return fail();
    if ((!bOwn && !m_db.Exec("SELECT pg_advisory_lock($1::bigint)", {strKey.c_str()}, strError)) ||
        !m_db.Exec("COMMIT", {}, strError))
        return fail();
    m_nReserved = nMac;
    m_nReservedOn = m_db.Connection();
    return hold;
}

void CDbMacLedger::EndRun(bool bRowSaved) {
    m_local.EndRun(bRowSaved);
    ReleaseInDb();
}

void CDbMacLedger::ReleaseInDb() {
    if (!m_nReserved)
        return;
    std::string strMac = MacText(*m_nReserved), strKey = std::to_string(ReservationKey(*m_nReserved));
    m_nReserved.reset();
    // A connection that broke took the lock with it; the run's row settles the reservation then.
    if (!m_db.IsReady() || m_db.Connection() != m_nReservedOn)
        return;
    std::string strError;
    // With every row of this station in the database, a reservation still "reserved" was never stored. A row
    // still waiting may be the one that stored it: the reservation then stays until that row settles it.
    if (LineDbOutboxRows(m_strDir).empty())
        m_db.Exec("DELETE FROM qan640_macs WHERE mac = $1::macaddr AND state = 'reserved' AND station = $2"
                  " AND (run_id IS NULL OR run_id = $3)",
                  {strMac.c_str(), m_strStation.c_str(), m_run.strRunId.c_str()}, strError);
    m_db.Exec("SELECT pg_advisory_unlock($1::bigint)", {strKey.c_str()}, strError);
}
