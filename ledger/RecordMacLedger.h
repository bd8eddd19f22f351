#pragma once

#include "core/UniqueFd.h"
#include "provisioning/MacLedger.h"
#include "records/RunRecord.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The line's block of addresses: "QAN640macrange.conf" in the working directory, optional. Two addresses,
// the first and the last of the range, each alone on its line, in any letter case, with colons, hyphens or
// nothing between the bytes; blank lines and lines beginning with "#" are comments.
inline constexpr const char* kMacRangeFileName = "QAN640macrange.conf";

// The reservations of addresses taken from the range by runs still under way: one locked file per address
// in a hidden folder beside the record.
inline constexpr const char* kMacReservationFolderName = ".QAN640macs.reserved";

struct SMacRange {
    uint64_t nFirst = 0;
    uint64_t nLast = 0;
};

// Which addresses of a range are taken, for the lowest one that is free.
class CRangeUse {
public:
    explicit CRangeUse(const SMacRange& range)
        : m_range(range), m_used(size_t(range.nLast - range.nFirst + 1)) {}
    // An address outside the range is no matter.
    void MarkUsed(uint64_t nMac) {
        if (nMac >= m_range.nFirst && nMac <= m_range.nLast)
            m_used[size_t(nMac - m_range.nFirst)] = true;
    }
    // None when every address is taken.
    std::optional<uint64_t> LowestFree() const {
        for (size_t i = 0; i < m_used.size(); ++i)
            if (!m_used[i])
                return m_range.nFirst + i;
        return std::nullopt;
    }

private:
    SMacRange m_range;
    std::vector<bool> m_used;
};

// The range file's text read against the prefixes the prefix file offers: the range, or the message that
// says what is wrong (naming the line where there is one) in strError.
std::optional<SMacRange> ParseMacRange(std::string_view text, const std::vector<std::string>& offered,
                                       std::string& strError);

// The range file in strDir read and judged: the range, or nullopt with taken saying why (NoRange without the
// file, Unusable with the message otherwise).
std::optional<SMacRange> ReadMacRange(const std::string& strDir, SMacTaken& taken);

// Every row of the record's text that shows an address stored in a board (outcome ok, or a run that got past
// bootargs): fn gets the address and the row's start and port fields as written (RecordFieldText gives their
// text).
void ForEachStoredMac(std::string_view text,
                      const std::function<void(uint64_t, std::string_view, std::string_view)>& fn);

// The same for the record in strDir (none yet: no row): false when it exists and could not be read to its
// end (errno says why).
bool ForEachStoredMacIn(const std::string& strDir,
                        const std::function<void(uint64_t, std::string_view, std::string_view)>& fn);

// The message of a range with no free address left.
std::string MacRangeExhaustedText(const SMacRange& range);

// The ledger of one PC: the record in strDir (the CSV is the only truth; it is read at each question) and the
// reservations beside it. Taking an address holds the record's lock from the reading to the reservation, so
// two processes never take the same one; a reservation lives as long as its file's lock, which dies with its
// process, and a run killed after bootargs keeps its address through the row its journal leaves.
class CRecordMacLedger : public IMacLedger {
public:
    explicit CRecordMacLedger(std::string strDir = ".");
    ~CRecordMacLedger() override { EndRun(false); }
    CRecordMacLedger(const CRecordMacLedger&) = delete;
    CRecordMacLedger& operator=(const CRecordMacLedger&) = delete;

    SMacLookup FindStored(const std::string& strMac) override;
    SMacLookup FindSerial(const std::string& strSerial) override;
    SMacTaken TakeNext() override;
    void BeginRun(const SMacRun& run) override;
    SMacHold Reserve(const std::string& strMac) override;
    void EndRun(bool bRowSaved = true) override;

private:
    // The latest row that stored an address and that fnWanted takes (given its address and serial field).
    SMacLookup FindRow(const std::function<bool(uint64_t, std::string_view)>& fnWanted);
    // The record opened and locked in fdRecord, or false with strError (fdRecord closed: it cannot be
    // opened).
    bool LockRecord(CUniqueFd& fdRecord, std::string& strError);
    // Under the record's lock: every address other runs hold, with who holds it (reservations of runs that
    // are gone settled by their rows first).
    bool ReadHolds(int fdRecord, std::map<uint64_t, std::string>& held, std::string& strError);
    // Under the record's lock: nMac reserved for this run.
    bool Hold(uint64_t nMac, std::string& strError);

    std::string m_strDir;
    SMacRun m_run;
    CUniqueFd m_fdReservation;
    std::string m_strReservationPath;
    uint64_t m_nReserved = 0;
    bool m_bNamed = false; // the reservation's file names the run
};
