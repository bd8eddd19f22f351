#include "records/RunJournal.h"

#include "core/SystemError.h"
#include "records/DurableFile.h"
#include "records/RunRecord.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kJournalSuffix = ".run";
constexpr const char* kBornInfix = ".new-";
constexpr int kMaxSameNameJournals = 100;
// A journal with no whole entry yet is a run in its first microseconds (created, not locked yet) unless it
// has been left like that for this long: then it is a run that died right at its start.
constexpr int kEmptyJournalAgeS = 60;
// Far more than the entries of one run.
constexpr size_t kMaxJournalBytes = 1 << 20;

// FNV-1a, enough to tell a torn or stale entry from a whole one.
uint64_t Checksum(std::string_view text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ull;
    }
    return h;
}

std::string HexOf(uint64_t n) {
    char buffer[17];
    auto [pEnd, ec] = std::to_chars(buffer, buffer + sizeof buffer, n, 16);
    (void)ec;
    return std::string(buffer, pEnd);
}

// A field of an entry: tabs and line ends separate entries and fields, so none may stand inside one.
std::string EntryField(std::string_view text) {
    std::string out(text);
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t tab = line.find('\t');
        parts.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos)
            return parts;
        line.remove_prefix(tab + 1);
    }
}

std::optional<SRunJournalEntry> ParseEntry(std::string_view line) {
    size_t lastTab = line.rfind('\t');
    if (lastTab == std::string_view::npos ||
        line.substr(lastTab + 1) != HexOf(Checksum(line.substr(0, lastTab))))
        return std::nullopt;
    std::vector<std::string_view> parts = SplitTabs(line.substr(0, lastTab));
    if (parts.size() != 5 || (parts[0] != "P" && parts[0] != "F"))
        return std::nullopt;
    SRunJournalEntry entry;
    entry.bFinal = parts[0] == "F";
    auto [p, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), entry.nRecordSize);
    if (ec != std::errc() || p != parts[1].data() + parts[1].size())
        return std::nullopt;
    entry.strLogFile = parts[2];
    entry.strClosingLine = parts[3];
    entry.strRow = std::string(parts[4]) + "\r\n";
    return entry;
}

// Ends the log at strPath with the closing line, unless it ends with it already. A log that is gone stays
// gone.
void EndLogWith(const std::string& strPath, const std::string& strClosingLine) {
    CUniqueFd fd(open(strPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st = {};
    if (!fd.IsOpen() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    std::string strLine = strClosingLine + "\r\n";
    std::string tail(std::min<size_t>(size_t(st.st_size), strLine.size() + 1), '\0');
    ssize_t nRead = pread(fd.Get(), tail.data(), tail.size(), st.st_size - off_t(tail.size()));
    tail.resize(nRead > 0 ? size_t(nRead) : 0);
    if (tail.ends_with(strLine))
        return;
    WriteAllAndSync(fd.Get(), (tail.empty() || tail.ends_with("\n") ? "" : "\r\n") + strLine);
}

} // namespace

std::string FormatRunJournalEntry(const SRunJournalEntry& entry) {
    std::string strRow = entry.strRow;
    while (!strRow.empty() && (strRow.back() == '\n' || strRow.back() == '\r'))
        strRow.pop_back();
    std::string line = std::string(entry.bFinal ? "F" : "P") + "\t" + std::to_string(entry.nRecordSize) +
                       "\t" + EntryField(entry.strLogFile) + "\t" + EntryField(entry.strClosingLine) + "\t" +
                       EntryField(strRow);
    return line + "\t" + HexOf(Checksum(line)) + "\n";
}

std::optional<SRunJournalEntry> LastRunJournalEntry(std::string_view text) {
    std::optional<SRunJournalEntry> last;
    for (size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1)) {
        if (std::optional<SRunJournalEntry> entry = ParseEntry(text.substr(0, end)))
            last = std::move(entry);
    }
    return last;
}

std::string CRunJournal::Create(const std::string& strDir, const std::string& strStem) {
    std::string strFolder = strDir + "/" + kRunJournalFolderName;
    if (!MakeSharedFolder(strFolder))
        return std::string(kRunJournalFolderName) + ": " + SystemErrorText(errno);
    // Recovery takes any journal whose lock it can have: one seen before its lock would be recorded as a
    // dead run's and removed under the live run.
    static std::atomic<unsigned> s_nBorn;
    std::string strBorn =
        strFolder + "/" + strStem + kBornInfix + std::to_string(getpid()) + "-" + std::to_string(++s_nBorn);
    unlink(strBorn.c_str());
    CUniqueFd fd = OpenSharedFile(strBorn, O_RDWR | O_APPEND | O_CREAT | O_EXCL);
    if (!fd.IsOpen())
        return std::string(kRunJournalFolderName) + ": " + SystemErrorText(errno);
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        int nError = errno;
        unlink(strBorn.c_str());
        return std::string(kRunJournalFolderName) + ": " + SystemErrorText(nError);
    }
    int nError = 0;
    for (int n = 1; n <= kMaxSameNameJournals; ++n) {
        m_strPath = strFolder + "/" + strStem + (n == 1 ? "" : "-" + std::to_string(n)) + kJournalSuffix;
        if (link(strBorn.c_str(), m_strPath.c_str()) == 0) {
            nError = 0;
            break;
        }
        nError = errno;
        if (nError != EEXIST)
            break;
    }
    unlink(strBorn.c_str());
    if (nError != 0)
        return std::string(kRunJournalFolderName) + ": " + SystemErrorText(nError);
    // Held until the process ends, however it ends: the kernel lets go of it when the process is gone.
    m_fd = std::move(fd);
    SyncFolderOf(m_strPath);
    return "";
}

std::string CRunJournal::Write(const SRunJournalEntry& entry) {
    if (!m_fd.IsOpen())
        return "not open";
    return WriteAllAndSync(m_fd.Get(), FormatRunJournalEntry(entry));
}

std::string CRunJournal::Stem() const {
    size_t slash = m_strPath.rfind('/');
    std::string strName = m_strPath.substr(slash == std::string::npos ? 0 : slash + 1);
    return strName.ends_with(kJournalSuffix) ? strName.substr(0, strName.size() - strlen(kJournalSuffix))
                                             : strName;
}

void CRunJournal::Remove() {
    if (!m_fd.IsOpen())
        return;
    unlink(m_strPath.c_str());
    SyncFolderOf(m_strPath);
    m_fd.Close();
}

SRunJournalRecovery RecoverRunJournals(
    const std::string& strDir,
    const std::function<void(const std::string& strStem, const std::string& strRow)>& onRecorded) {
    SRunJournalRecovery recovery;
    std::string strFolder = strDir + "/" + kRunJournalFolderName;
    std::vector<std::string> names;
    if (DIR* dir = opendir(strFolder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string_view name = entry->d_name;
            // A journal being born (or one whose birth a crash cut short, empty: removed once old).
            bool bBorn = name.find(kBornInfix) != std::string_view::npos;
            if (bBorn || (name.size() > strlen(kJournalSuffix) && name.ends_with(kJournalSuffix)))
                names.emplace_back(name);
        }
        closedir(dir);
    }
    // Names begin with the start time: rows of older runs go first.
    std::sort(names.begin(), names.end());
    for (const std::string& strName : names) {
        std::string strPath = strFolder + "/" + strName;
        CUniqueFd fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd.IsOpen() || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
            continue; // a live run's
        // Another start may have recorded and removed it meanwhile: then the name is gone or is another file.
        struct stat held = {}, named = {};
        if (fstat(fd.Get(), &held) != 0 || stat(strPath.c_str(), &named) != 0 ||
            held.st_ino != named.st_ino || held.st_dev != named.st_dev || !S_ISREG(held.st_mode))
            continue;
        std::optional<SRunJournalEntry> entry =
            LastRunJournalEntry(ReadAllBounded(fd.Get(), kMaxJournalBytes));
        if (!entry || strName.find(kBornInfix) != std::string::npos) {
            time_t tNow = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
            if (tNow - held.st_mtime > kEmptyJournalAgeS)
                unlink(strPath.c_str());
            continue;
        }
        if (!entry->strLogFile.empty())
            EndLogWith(strDir + "/" + entry->strLogFile, entry->strClosingLine);
        std::string strError =
            AppendRunRecord(strDir + "/" + kRunRecordFileName, entry->strRow, entry->nRecordSize);
        if (!strError.empty()) {
            recovery.problems.push_back(std::string(kRunRecordFileName) + ": " + strError);
            continue;
        }
        ++recovery.nRows;
        if (onRecorded)
            onRecorded(strName.substr(0, strName.size() - strlen(kJournalSuffix)), entry->strRow);
        unlink(strPath.c_str());
        SyncFolderOf(strPath);
    }
    return recovery;
}
