#pragma once

#include <chrono>
#include <string>

// What a run asks of the addresses the line has already given out, at stage 11, before anything carrying
// the MAC is sent. The record of this PC answers today (ledger/RecordMacLedger.h); a store shared by the
// whole line can answer behind the same interface.

// A row showing that an address was stored in a board.
struct SMacStoredRow {
    std::string strWhen; // the run's start as the record has it
    std::string strPort;
    std::string strMac;    // the address the row stored
    std::string strSerial; // the board's serial number in that row; empty when none was recorded
};

// What the ledger says of one address.
struct SMacLookup {
    enum class EStatus {
        Free,
        Stored,     // row says where
        Unreadable, // the record (or a journal of a run that is gone) cannot be read: nothing may be sent
    };
    EStatus eStatus = EStatus::Free;
    SMacStoredRow row;
    std::string strMessage; // for Unreadable (Portuguese, UTF-8)
};

// The next free address of the line's range, reserved for this run.
struct SMacTaken {
    enum class EStatus {
        NoRange,   // no range is configured: the operator types the address
        Taken,     // strMac is reserved for this run
        Exhausted, // every address of the range is stored or reserved
        Unusable,  // the range (or the record) cannot be used; strMessage says why
        // The line's store does not answer: no address is handed out on a guess, the operator types one
        // (checked against this PC's record); strMessage says why.
        Unavailable,
        // The record (or a journal of a run that is gone) cannot be read: nothing is handed out, and a typed
        // address cannot be checked either; strMessage says why.
        Unreadable,
    };
    EStatus eStatus = EStatus::NoRange;
    std::string strMac;     // "02:3A:7C:00:10:00"
    std::string strMessage; // for Exhausted, Unusable and Unavailable (Portuguese, UTF-8)
};

// The run an address is reserved for: what its row in the record and in the line's database will show.
struct SMacRun {
    std::string strRunId; // the line's database's run id
    std::chrono::system_clock::time_point tStart;
    std::string strPort;
};

// An address reserved for this run before anything carrying it is sent.
struct SMacHold {
    enum class EStatus {
        Held,       // strMac is this run's until EndRun
        HeldByRun,  // another run holds it (strMessage says which port or station): nothing may be sent
        Unreadable, // the reservation (or the record) cannot be read or written: nothing may be sent
    };
    EStatus eStatus = EStatus::Held;
    std::string strMessage; // Portuguese, UTF-8
};

class IMacLedger {
public:
    virtual ~IMacLedger() = default;
    // The latest row showing strMac stored in a board (outcome ok, or a run that got past bootargs);
    // letter case and separators do not matter. A record that exists but cannot be read answers Unreadable,
    // never Free.
    virtual SMacLookup FindStored(const std::string& strMac) = 0;
    // The latest row showing a board with this serial number given an address (row.strMac says which): the
    // serial bound to its address. Free when none; a ledger that keeps no serials answers Free.
    virtual SMacLookup FindSerial(const std::string& /*strSerial*/) { return {}; }
    // The lowest address of the range that no row has stored and no live reservation holds, reserved for
    // this run until EndRun; asked again, the same address while it is held.
    virtual SMacTaken TakeNext() = 0;
    // The run that the address about to be sent is for; TakeNext may come before it.
    virtual void BeginRun(const SMacRun& run) = 0;
    // The address (typed, offered or taken) held for the run set by BeginRun, before it goes to the board: a
    // reservation the run held of another address is given back, one of another live run refuses it, and
    // one left by a run that is gone is settled by that run's row (kept while no row of that run is in).
    virtual SMacHold Reserve(const std::string& strMac) = 0;
    // The run is over. With its row saved the reservation goes: the row holds the address the board got and
    // frees one it never did. Without it the reservation stays, durably, until that run's row is in.
    virtual void EndRun(bool bRowSaved = true) = 0;
    // What the last question could not do as it should, for the operator (Portuguese, UTF-8), once; empty
    // when it went as it should. A line-wide store that is down answers from this PC's record alone.
    virtual std::string TakeWarning() { return {}; }
};
