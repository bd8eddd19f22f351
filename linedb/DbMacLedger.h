#pragma once

#include "ledger/RecordMacLedger.h"
#include "linedb/LineDbRows.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>

// The ledger of a whole line, in its database (LineDb.h), for the range of QAN640macrange.conf (every station
// may hold the same file).
//
// The address is the key of the database's table of addresses given out, so no two runs anywhere hold one
// address, whatever a client does. Taking the next address is one transaction, serialized across the line
// by a lock of that transaction: the lowest address of the range that is neither stored nor reserved goes
// in as "reserved". The reserving connection also holds a session lock on the address, which dies with the
// connection (the process killed, the server restarted): a reservation whose lock is gone is free again once
// its station's row of that run shows that the board did not get the address (the row that stored it turns
// it "stored" in the same transaction). Until then it stays taken: the row may still be waiting in the
// station's outbox.
//
// The typed address is checked against this PC's record as well as the database, so the check is never
// weaker than without the database; with the database down it is checked against the record alone (and
// TakeWarning says so), while taking the next address is refused: no address is handed out on a guess.
class CDbMacLedger : public IMacLedger {
public:
    CDbMacLedger(CLineDb& db, std::string strStation, std::string strDir = ".");
    ~CDbMacLedger() override { EndRun(false); }
    CDbMacLedger(const CDbMacLedger&) = delete;
    CDbMacLedger& operator=(const CDbMacLedger&) = delete;

    SMacLookup FindStored(const std::string& strMac) override;
    SMacLookup FindSerial(const std::string& strSerial) override;
    SMacTaken TakeNext() override;
    void BeginRun(const SMacRun& run) override;
    SMacHold Reserve(const std::string& strMac) override;
    void EndRun(bool bRowSaved = true) override;
    std::string TakeWarning() override;

    // The lock key of an address's reservation (a tag in the high bits keeps it apart from other programs'
    // locks in the same database).
    static int64_t ReservationKey(uint64_t nMac);

private:
    SMacTaken TakeNextOnce(const SMacRange& range, bool& bRetry);
    // The keys of the line's reservation locks held now, by any connection (their runs are alive).
    std::optional<std::set<int64_t>> HeldSessionLocks(std::string& strError);
    // nMac reserved in the database for this run's id, in one transaction under the taking lock.
    SMacHold ReserveInDb(uint64_t nMac);
    // This run's reservation in the database given back (or left to its row, while rows wait to be sent).
    void ReleaseInDb();

    CLineDb& m_db;
    std::string m_strStation;
    std::string m_strDir;
    CRecordMacLedger m_local;
    SMacRun m_run;
    std::optional<uint64_t> m_nReserved;
    int m_nReservedOn = 0; // the connection that holds the reservation's lock
    std::string m_strWarning;
};
