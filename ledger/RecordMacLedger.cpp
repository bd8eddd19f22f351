#include "ledger/RecordMacLedger.h"

#include "core/SystemError.h"
#include "mac/MacPrefixFile.h"
#include "provisioning/RunResult.h"
#include "records/DurableFile.h"
#include "records/RunJournal.h"
#include "records/RunRecord.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Long enough for every other bench process to read a record of years; bounded all the same.
constexpr int kLedgerLockWaitMs = 10000;

std::string Reason(const char* pszWhat, int nError) {
    return std::string(pszWhat) + ": " + SystemErrorText(nError);
}

} // namespace

std::optional<SMacRange> ParseMacRange(std::string_view text, const std::vector<std::string>& offered,
                                       std::string& strError) {
    std::string strFile = kMacRangeFileName;
    std::vector<uint64_t> ends;
    int nLine = 0;
    while (!text.empty()) {
        ++nLine;
        size_t nl = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (nLine == 1 && line.substr(0, 3) == "\xEF\xBB\xBF")
            line = Trimmed(line.substr(3));
        if (line.empty() || line[0] == '#')
            continue;
        std::string strAt = strFile + ", linha " + std::to_string(nLine) + ": ";
        std::optional<uint64_t> nMac = MacValue(line);
        if (!nMac) {
            strError = strAt + "\"" + std::string(line) + "\" não é um endereço MAC";
            return std::nullopt;
        }
        if (ends.size() == 2) {
            strError = strAt + "só cabem dois endereços (o primeiro e o último da faixa)";
            return std::nullopt;
        }
        if (ends.size() == 1 && *nMac < ends[0]) {
            strError = strAt + "o último endereço vem antes do primeiro";
            return std::nullopt;
        }
        ends.push_back(*nMac);
    }
    if (ends.size() < 2) {
        strError =
            strFile + ": faltam " + (ends.empty() ? "o primeiro e o último endereço" : "o último endereço");
        return std::nullopt;
    }
    SMacRange range{ends[0], ends[1]};
    // One prefix holds both ends, and so every address between them.
    for (const std::string& strPrefix : offered) {
        std::optional<uint64_t> nPrefix = MacValue(strPrefix + ":00:00:00");
        if (nPrefix && range.nFirst >> 24 == *nPrefix >> 24 && range.nLast >> 24 == *nPrefix >> 24)
            return range;
    }
    strError = strFile + ": a faixa " + MacText(range.nFirst) + " a " + MacText(range.nLast) +
               " não está dentro de um prefixo oferecido em " + kMacPrefixFileName;
    return std::nullopt;
}

namespace {

using FStoredMac = std::function<void(uint64_t, std::string_view, std::string_view)>;

using FStoredRow = std::function<void(const SStoredMacField&)>;

// What a line of the record says to fn: the address it stored, if it stored one (with the serial number when
// bSerial).
std::function<void(std::string_view)> StoredRowReader(FStoredRow fn, bool bSerial) {
    // fn is kept by value: the readers below hand it a temporary.
    return [fn = std::move(fn), bSerial,
            fields = std::vector<std::string_view>()](std::string_view line) mutable {
        if (std::optional<SStoredMacField> stored = StoredMacOfLine(line, fields, bSerial))
            fn(*stored);
    };
}

std::function<void(std::string_view)> StoredMacReader(const FStoredMac& fn) {
    return StoredRowReader(
        [&fn](const SStoredMacField& stored) { fn(stored.nMac, stored.start, stored.port); }, false);
}

// The same for the record open at fd: false when it could not be read to its end.
bool ForEachStoredMacIn(int fd, const FStoredMac& fn) {
    return fd < 0 || ForEachRecordLineIn(fd, StoredMacReader(fn));
}

// The message of a record that exists and cannot be read.
std::string UnreadableText(int nError) {
    return kRunRecordFileName + (": " + Reason("ao ler", nError));
}

// The message of journals of runs that are gone and could not be turned into rows: their addresses may be in
// boards the record does not show yet.
std::string UnrecoveredText(const SRunJournalRecovery& recovery) {
    std::string strText = "execuções interrompidas sem linha no registro (" + recovery.problems.front();
    return strText + (recovery.problems.size() > 1 ? ", ...)" : ")");
}

// The file of an address's reservation in strFolder.
std::string ReservationPath(const std::string& strFolder, uint64_t nMac) {
    char name[13];
    snprintf(name, sizeof name, "%012llX", static_cast<unsigned long long>(nMac));
    return strFolder + "/" + name;
}

// A run as the record tells it from the others: its start and port fields as its row writes them.
std::string RunKeyOf(const SMacRun& run) {
    SRunRecordRow row;
    row.tStart = run.tStart;
    row.strPort = run.strPort;
    std::string strLine = FormatRunRecordRow(row);
    std::vector<std::string_view> fields;
    SplitRecordLine(strLine, fields, 3);
    return fields.size() == 3 ? std::string(fields[0]) + "\t" + std::string(fields[2]) : std::string();
}

// Who holds a reservation, from its file's text (the run's key, then its port), for the operator.
std::string HolderText(const std::string& strText, bool bLive) {
    size_t nl = strText.find('\n');
    std::string strPort = nl == std::string::npos ? "" : strText.substr(nl + 1);
    while (!strPort.empty() && strPort.back() == '\n')
        strPort.pop_back();
    if (!bLive)
        return "execução encerrada sem linha no registro, porta " + strPort;
    return strPort.empty() ? std::string("outra execução deste computador") : "execução na porta " + strPort;
}

} // namespace

void ForEachStoredMac(std::string_view text, const FStoredMac& fn) {
    ForEachRecordLine(text, StoredMacReader(fn));
}

std::string MacRangeExhaustedText(const SMacRange& range) {
    return "Faixa de endereços MAC esgotada: " + MacText(range.nFirst) + " a " + MacText(range.nLast) + " (" +
           kMacRangeFileName + ")";
}

bool ForEachStoredMacIn(const std::string& strDir,
                        const std::function<void(uint64_t, std::string_view, std::string_view)>& fn) {
    CUniqueFd fd(open((strDir + "/" + kRunRecordFileName).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.IsOpen())
        return errno == ENOENT;
    return ForEachStoredMacIn(fd.Get(), fn);
}

CRecordMacLedger::CRecordMacLedger(std::string strDir) : m_strDir(std::move(strDir)) {}

SMacLookup CRecordMacLedger::FindStored(const std::string& strMac) {
    SMacLookup lookup;
    std::optional<uint64_t> nWanted = MacValue(strMac);
    if (!nWanted)
        return lookup;
    return FindRow([&](uint64_t nMac, std::string_view) { return nMac == *nWanted; });
}

SMacLookup CRecordMacLedger::FindSerial(const std::string& strSerial) {
    if (strSerial.empty())
        return {};
    return FindRow([&](uint64_t, std::string_view serial) { return RecordFieldText(serial) == strSerial; });
}

SMacLookup CRecordMacLedger::FindRow(const std::function<bool(uint64_t, std::string_view)>& fnWanted) {
    SMacLookup lookup;
    // A run killed after bootargs shows its address only once its journal is its row.
    if (SRunJournalRecovery recovery = RecoverRunJournals(m_strDir); !recovery.problems.empty()) {
        lookup.eStatus = SMacLookup::EStatus::Unreadable;
        lookup.strMessage = UnrecoveredText(recovery);
        return lookup;
    }
    CUniqueFd fd(open((m_strDir + "/" + kRunRecordFileName).c_str(), O_RDONLY | O_CLOEXEC));
    FStoredRow fnRow = [&](const SStoredMacField& stored) {
        if (fnWanted(stored.nMac, stored.serial)) {
            lookup.eStatus = SMacLookup::EStatus::Stored;
            lookup.row = SMacStoredRow{RecordFieldText(stored.start), RecordFieldText(stored.port),
                                       MacText(stored.nMac), RecordFieldText(stored.serial)};
        }
    };
    bool bRead = fd.IsOpen() ? ForEachRecordLineIn(fd.Get(), StoredRowReader(fnRow, true)) : errno == ENOENT;
    if (!bRead) {
        lookup.eStatus = SMacLookup::EStatus::Unreadable;
        lookup.strMessage = UnreadableText(errno);
    }
    return lookup;
}

std::optional<SMacRange> ReadMacRange(const std::string& strDir, SMacTaken& taken) {
    std::string strRangePath = strDir + "/" + kMacRangeFileName;
    CUniqueFd fdRange(open(strRangePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fdRange.IsOpen()) {
        if (errno == ENOENT) {
            taken.eStatus = SMacTaken::EStatus::NoRange;
            return std::nullopt;
        }
        taken.eStatus = SMacTaken::EStatus::Unusable;
        taken.strMessage = std::string(kMacRangeFileName) + ": " + SystemErrorText(errno);
        return std::nullopt;
    }
    std::string strError;
    std::optional<SMacRange> range =
        ParseMacRange(ReadAllBounded(fdRange.Get(), 65536),
                      LoadMacPrefixList((strDir + "/" + kMacPrefixFileName).c_str()).m_entries, strError);
    if (!range) {
        taken.eStatus = SMacTaken::EStatus::Unusable;
        taken.strMessage = strError;
    }
    return range;
}

bool CRecordMacLedger::LockRecord(CUniqueFd& fdRecord, std::string& strError) {
    fdRecord = OpenSharedFile(m_strDir + "/" + kRunRecordFileName, O_RDWR | O_CREAT);
    if (!fdRecord.IsOpen()) {
        strError = kRunRecordFileName + (": " + Reason("ao abrir", errno));
        return false;
    }
    if (!LockBounded(fdRecord.Get(), kLedgerLockWaitMs)) {
        strError = std::string(kRunRecordFileName) + ": ocupado por outro processo";
        return false;
    }
    return true;
}

bool CRecordMacLedger::ReadHolds(int fdRecord, std::map<uint64_t, std::string>& held, std::string& strError) {
    std::string strFolder = m_strDir + "/" + kMacReservationFolderName;
    if (!MakeSharedFolder(strFolder)) {
        strError = kMacReservationFolderName + (": " + Reason("ao criar", errno));
        return false;
    }
    // Only a holder of the record's lock makes or settles reservations, so this races with nobody. One whose
    // lock can be had belongs to a run that is gone: without a run named in it nothing was sent; with one,
    // that run's row settles it (its address, if the board got it, is in the row), and it stays until then.
    std::map<std::string, std::pair<uint64_t, std::string>> gone;
    if (DIR* pDir = opendir(strFolder.c_str())) {
        while (dirent* pEntry = readdir(pDir)) {
            std::optional<uint64_t> nMac = MacValue(pEntry->d_name);
            std::string strPath = strFolder + "/" + pEntry->d_name;
            if (!nMac || strPath == m_strReservationPath)
                continue;
            CUniqueFd fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
            bool bLive = !fd.IsOpen() || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0;
            std::string strText = fd.IsOpen() ? ReadAllBounded(fd.Get(), 4096) : "";
            if (!bLive && strText.empty())
                unlink(strPath.c_str());
            else if (!bLive)
                gone[strText.substr(0, strText.find('\n'))] = {*nMac, strPath};
            if (bLive || !strText.empty())
                held[*nMac] = HolderText(strText, bLive);
        }
        closedir(pDir);
    }
    if (gone.empty())
        return true;
    std::vector<std::string_view> fields;
    bool bRead = ForEachRecordLineIn(fdRecord, [&](std::string_view line) {
        SplitRecordLine(line, fields, 3);
        if (fields.size() < 3)
            return;
        auto it = gone.find(std::string(fields[0]) + "\t" + std::string(fields[2]));
        if (it == gone.end())
            return;
        unlink(it->second.second.c_str());
        held.erase(it->second.first);
        gone.erase(it);
    });
    if (!bRead)
        strError = UnreadableText(errno);
    return bRead;
}

SMacTaken CRecordMacLedger::TakeNext() {
    SMacTaken taken;
    std::optional<SMacRange> range = ReadMacRange(m_strDir, taken);
    if (!range)
        return taken;
    if (m_fdReservation.IsOpen() && m_nReserved >= range->nFirst && m_nReserved <= range->nLast) {
        taken.eStatus = SMacTaken::EStatus::Taken;
        taken.strMac = MacText(m_nReserved);
        return taken;
    }
    EndRun();

    // Runs killed after bootargs keep their address through the rows their journals leave.
    if (SRunJournalRecovery recovery = RecoverRunJournals(m_strDir); !recovery.problems.empty()) {
        taken.eStatus = SMacTaken::EStatus::Unreadable;
        taken.strMessage = UnrecoveredText(recovery);
        return taken;
    }
    taken.eStatus = SMacTaken::EStatus::Unusable;
    CUniqueFd fdRecord;
    if (!LockRecord(fdRecord, taken.strMessage)) {
        if (!fdRecord.IsOpen())
            taken.eStatus = SMacTaken::EStatus::Unreadable;
        return taken;
    }
    CRangeUse use(*range);
    if (!ForEachStoredMacIn(fdRecord.Get(),
                            [&](uint64_t nMac, std::string_view, std::string_view) { use.MarkUsed(nMac); })) {
        taken.eStatus = SMacTaken::EStatus::Unreadable;
        taken.strMessage = UnreadableText(errno);
        return taken;
    }
    std::map<uint64_t, std::string> held;
    if (!ReadHolds(fdRecord.Get(), held, taken.strMessage))
        return taken;
    for (const auto& [nMac, strHolder] : held)
        use.MarkUsed(nMac);
    std::optional<uint64_t> nFree = use.LowestFree();
    if (!nFree) {
        taken.eStatus = SMacTaken::EStatus::Exhausted;
        taken.strMessage = MacRangeExhaustedText(*range);
        return taken;
    }
    if (!Hold(*nFree, taken.strMessage))
        return taken;
    taken.eStatus = SMacTaken::EStatus::Taken;
    taken.strMac = MacText(m_nReserved);
    return taken;
}

bool CRecordMacLedger::Hold(uint64_t nMac, std::string& strError) {
    std::string strPath = ReservationPath(m_strDir + "/" + kMacReservationFolderName, nMac);
    CUniqueFd fd = OpenSharedFile(strPath, O_RDWR | O_CREAT | O_EXCL);
    if (!fd.IsOpen() || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        strError = kMacReservationFolderName + (": " + Reason("ao reservar", errno));
        return false;
    }
    m_fdReservation = std::move(fd);
    m_strReservationPath = strPath;
    m_nReserved = nMac;
    m_bNamed = false;
    return true;
}

void CRecordMacLedger::BeginRun(const SMacRun& run) {
    m_run = run;
}

SMacHold CRecordMacLedger::Reserve(const std::string& strMac) {
    SMacHold hold;
    std::optional<uint64_t> nMac = MacValue(strMac);
    if (!nMac)
        return hold;
    hold.eStatus = SMacHold::EStatus::Unreadable;
    if (!m_fdReservation.IsOpen() || m_nReserved != *nMac) {
        // The address offered before is given back: the operator typed another, nothing carried it.
        EndRun();
        CUniqueFd fdRecord;
        std::map<uint64_t, std::string> held;
        if (!LockRecord(fdRecord, hold.strMessage) || !ReadHolds(fdRecord.Get(), held, hold.strMessage))
            return hold;
        if (auto it = held.find(*nMac); it != held.end()) {
            hold.eStatus = SMacHold::EStatus::HeldByRun;
            hold.strMessage = MacText(*nMac) + ": " + it->second;
            return hold;
        }
        if (!Hold(*nMac, hold.strMessage))
            return hold;
    }
    // The run is named in the reservation before the board can get the address: should the run's row be
    // lost, the reservation stays until that row is in.
    if (!m_bNamed) {
        std::string strError =
            WriteAllAndSync(m_fdReservation.Get(), RunKeyOf(m_run) + "\n" + m_run.strPort + "\n");
        if (!strError.empty()) {
            hold.strMessage = kMacReservationFolderName + (": " + strError);
            EndRun();
            return hold;
        }
        m_bNamed = true;
    }
    hold.eStatus = SMacHold::EStatus::Held;
    return hold;
}

void CRecordMacLedger::EndRun(bool bRowSaved) {
    if (!m_fdReservation.IsOpen())
        return;
    if (bRowSaved || !m_bNamed)
        unlink(m_strReservationPath.c_str());
    m_fdReservation.Close();
    m_strReservationPath.clear();
    m_bNamed = false;
}
