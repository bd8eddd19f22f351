#pragma once

#include "core/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The journal of a run: what makes a run that never reached its end (killed, power lost) show in the record.
//
// Each run keeps a small file of its own in a hidden folder beside the record, created at its start and held
// under a lock for as long as the process lives. At each stage the run appends an entry with its row as it
// stands (outcome "interrupted", its last stage, the MAC once sent); at its verdict an entry with the final
// row and the record's size at that moment, then it appends the row to the record and removes the journal.
// A journal whose lock can be taken belongs to a process that is gone: the next start of either program (and
// each run, before it starts) appends the last entry's row, a final row only when the record does not hold
// that exact line after the size noted, then ends the run's log with the entry's closing line and removes the
// journal. So the record keeps one row per run and every run is in it; lock liveness, unlike a process id,
// cannot be fooled by a reused id or by another machine sharing the folder.
//
// Entries are appended, each one write and flushed, never rewritten: a lost write leaves the previous entry
// whole, and a checksum tells a torn entry from a complete one. The lock stays on one file this way, which a
// rewrite by renaming would replace.
inline constexpr const char* kRunJournalFolderName = ".QAN640runs.journal";

struct SRunJournalEntry {
    bool bFinal = false;        // the verdict's row rather than an interrupted one
    int64_t nRecordSize = -1;   // a final entry's record size before its row was appended
    std::string strLogFile;     // the run log, relative to the record's folder; empty when there is none
    std::string strClosingLine; // the run log's last line (Windows-1252, no line end, no control characters)
    std::string strRow;         // the record's row with its line end (no other control characters)
};

// One entry as a line of the journal, and the last complete entry of a journal's text.
std::string FormatRunJournalEntry(const SRunJournalEntry& entry);
std::optional<SRunJournalEntry> LastRunJournalEntry(std::string_view text);

// The running side: one journal per run.
class CRunJournal {
public:
    CRunJournal() = default;
    CRunJournal(const CRunJournal&) = delete;
    CRunJournal& operator=(const CRunJournal&) = delete;

    // Creates the journal in strDir's journal folder, named after strStem, and locks it. Empty on success,
    // otherwise the reason.
    std::string Create(const std::string& strDir, const std::string& strStem);
    bool IsOpen() const { return m_fd.IsOpen(); }
    // The name it was created with, without folder and suffix: strStem, or strStem-2, ... when a journal of
    // that name was there already. A recovery knows the run by it.
    std::string Stem() const;
    // Appends an entry and flushes it. Empty on success, otherwise the reason.
    std::string Write(const SRunJournalEntry& entry);
    // Removes the journal: the run's row is in the record.
    void Remove();
    // Lets the journal go without removing it, as a killed run would: the next start records it.
    void Abandon() { m_fd.Close(); }

private:
    CUniqueFd m_fd;
    std::string m_strPath;
};

struct SRunJournalRecovery {
    int nRows = 0;                     // rows appended for runs that never reached their end
    std::vector<std::string> problems; // journals that could not be turned into rows (kept for next time)
};

// Turns every journal left by a process that is gone into its row in strDir's record and the closing line
// of its log. Journals of live runs (this process's own included) are left alone.
// onRecorded (may be empty) hears each row appended, with the journal's name (its stem, as given to Create),
// before the journal goes.
SRunJournalRecovery RecoverRunJournals(
    const std::string& strDir,
    const std::function<void(const std::string& strStem, const std::string& strRow)>& onRecorded = {});
