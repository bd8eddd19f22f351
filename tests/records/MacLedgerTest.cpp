// The addresses the line has given out: which rows hold an address, the range file, and taking the next
// free address while other runs and other processes do the same.

#include "ledger/RecordMacLedger.h"
#include "records/RunArchive.h"

#include "mac/MacPrefixFile.h"

#include "tests/support/ChildProcesses.h"
#include "tests/support/CsvRead.h"
#include "tests/support/TempWorkDir.h"

#include <algorithm>
#include <csignal>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kRange = "# faixa do lote\n02:3A:7C:00:10:00\n02:3a:7c:00:10:03\n";

SRunRecordRow Row(const char* pszMac, const char* pszOutcome, int nStage, const char* pszPort = "ttyUSB0") {
    SRunRecordRow row;
    row.tStart = row.tEnd = std::chrono::system_clock::now();
    row.strPort = pszPort;
    row.strMacSent = pszMac;
    row.strOutcome = pszOutcome;
    row.nStage = nStage;
    return row;
}

void Append(const SRunRecordRow& row) {
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, FormatRunRecordRow(row)), "");
}

std::string Taken(CRecordMacLedger& ledger) {
    SMacTaken taken = ledger.TakeNext();
    EXPECT_EQ(taken.eStatus, SMacTaken::EStatus::Taken) << taken.strMessage;
    return taken.strMac;
}

} // namespace

TEST(MacLedgerTest, RangeFile) {
    struct SCase {
        const char* pszText;
        const char* pszError; // empty: the range is read
    };
    std::vector<SCase> cases = {
        {kRange, ""},
        {"\xEF\xBB\xBF  023a7c001000\r\n\r\n# fim\r\n02-3A-7C-00-1F-FF\r\n", ""},
        {"# faixa\n02:3A:7C:00:10:00\n02:3A:7C:00:10:0G\n",
         "QAN640macrange.conf, linha 3: \"02:3A:7C:00:10:0G\""},
        {"02:3A:7C:00:10:00\n02:3A:7C:00:10:01\n02:3A:7C:00:10:02\n", "linha 3: só cabem dois"},
        {"02:3A:7C:00:10:05\n02:3A:7C:00:10:01\n", "linha 2: o último endereço vem antes"},
        {"02:3A:7C:00:10:05\n", "faltam o último endereço"},
        {"# nada\n", "faltam o primeiro e o último"},
        {"02:3A:7C:00:10:00:11\n02:3A:7C:00:10:01\n", "linha 1:"},
        {"02:3A:7D:00:00:00\n02:3A:7D:00:00:10\n",
         "não está dentro de um prefixo oferecido em QAN640mac.conf"},
        {"02:3A:7C:FF:FF:FF\n02:3A:7D:00:00:10\n", "não está dentro de um prefixo"},
    };
    std::vector<std::string> offered(kBuiltInMacPrefixes.begin(), kBuiltInMacPrefixes.end());
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszText);
        std::string strError;
        std::optional<SMacRange> range = ParseMacRange(c.pszText, offered, strError);
        EXPECT_EQ(range.has_value(), *c.pszError == 0) << strError;
        EXPECT_NE(strError.find(c.pszError), std::string::npos) << strError;
    }
    // Taking from a file that is not usable says why and reserves nothing.
    CTempWorkDir dir;
    WriteFileBytes(kMacRangeFileName, cases[2].pszText);
    CRecordMacLedger ledger;
    SMacTaken taken = ledger.TakeNext();
    EXPECT_EQ(taken.eStatus, SMacTaken::EStatus::Unusable);
    EXPECT_NE(taken.strMessage.find("linha 3"), std::string::npos) << taken.strMessage;
    unlink(kMacRangeFileName);
    EXPECT_EQ(ledger.TakeNext().eStatus, SMacTaken::EStatus::NoRange);
}

// A row holds its address once the board got it: an ok run, or any run that got past bootargs.
TEST(MacLedgerTest, RowsThatHoldAnAddress) {
    CTempWorkDir dir;
    Append(Row("02:3A:7C:00:00:01", "ok", RUN_STAGE_CLOSE, "ttyUSB0"));
    Append(Row("02-3a-7c-00-00-02", "interrupted", RUN_STAGE_SAVEENV, "/dev/x,\"y\""));
    Append(Row("02:3A:7C:00:00:03", "failed", RUN_STAGE_BOOTARGS));
    Append(Row("02:3A:7C:00:00:04", "stopped", RUN_STAGE_BOOTARGS));
    Append(Row("02:3A:7C:00:00:05", "failed", RUN_STAGE_VERIFY, "ttyS9"));
    Append(Row("", "failed", RUN_STAGE_TFTP));
    Append(Row("02:3A:7C:00:00:07", "ok", RUN_STAGE_CLOSE, "=cmd"));
    // Torn by a lost write after its stage: the board may hold the address all the same.
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName,
                              "2024-05-01T14:00:00-03:00,,ttyT,02:3A:7C:00:00:08,,interrupted,15,\"torn"),
              "");
    // A damaged stage is not read as a number it is not.
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName,
                              "2024-05-01T14:00:00-03:00,,ttyD,02:3A:7C:00:00:09,,failed,1x,m,1.0,\r\n"),
              "");
    Append(Row("02:3A:7C:00:00:01", "ok", RUN_STAGE_CLOSE, "ttyACM1"));
    struct SCase {
        const char* pszAsked;
        const char* pszPort; // null: not stored
    };
    std::vector<SCase> cases = {
        {"02:3a:7c:00:00:01", "ttyACM1"}, {"023A7C000002", "/dev/x,\"y\""}, {"02:3A:7C:00:00:03", nullptr},
        {"02:3A:7C:00:00:04", nullptr},   {"02-3A-7C-00-00-05", "ttyS9"},   {"02:3A:7C:00:00:06", nullptr},
        {"not a mac", nullptr},           {"02:3A:7C:00:00:07", "=cmd"},    {"02:3A:7C:00:00:08", "ttyT"},
        {"02:3A:7C:00:00:09", "ttyD"},
    };
    CRecordMacLedger ledger;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszAsked);
        SMacLookup stored = ledger.FindStored(c.pszAsked);
        ASSERT_EQ(stored.eStatus == SMacLookup::EStatus::Stored, c.pszPort != nullptr);
        if (c.pszPort) {
            EXPECT_EQ(stored.row.strPort, c.pszPort) << "the latest row";
            EXPECT_EQ(stored.row.strWhen.size(), 25u) << stored.row.strWhen;
        }
    }
}

// The lowest address that no row holds and no live run has reserved; a run that never reached the board
// gives its address back, one killed after bootargs keeps it through the row its journal leaves.
TEST(MacLedgerTest, NextFreeAddress) {
    struct SCase {
        const char* pszName;
        int nKilledAt;       // a run in another process took the first address and was killed at this stage
        const char* pszNext; // once the run that took the address after it has stored it
    };
    std::vector<SCase> cases = {
        {"killed asking for the MAC", RUN_STAGE_ASK_MAC, "02:3A:7C:00:10:02"},
        {"killed at bootargs", RUN_STAGE_BOOTARGS, "02:3A:7C:00:10:02"},
        {"killed after bootargs", RUN_STAGE_SAVEENV, "02:3A:7C:00:10:03"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempWorkDir dir;
        WriteFileBytes(kMacRangeFileName, kRange);
        Append(Row("02:3A:7C:00:10:01", "ok", RUN_STAGE_CLOSE));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CRecordMacLedger ledger;
            CLogConsole log;
            CRunArchive archive;
            archive.BeginRun("ttyUSB1", log);
            SRunResult progress;
            progress.strMacSent = ledger.TakeNext().strMac;
            progress.nStage = c.nKilledAt;
            archive.NoteStage(progress, log);
            (void)!write(fds[1], "x", 1);
            pause();
            _exit(0);
        }
        close(fds[1]);
        char c1 = 0;
        ASSERT_EQ(read(fds[0], &c1, 1), 1);
        close(fds[0]);
        {
            CRecordMacLedger ledger;
            EXPECT_EQ(Taken(ledger), "02:3A:7C:00:10:02") << "the live run's reservation and the ok row";
        }
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        CRecordMacLedger ledger;
        std::string strNext = Taken(ledger);
        EXPECT_EQ(strNext, c.nKilledAt > RUN_STAGE_BOOTARGS ? "02:3A:7C:00:10:02" : "02:3A:7C:00:10:00");
        EXPECT_EQ(Taken(ledger), strNext) << "asked again, the run keeps its address";
        // A run that stops before bootargs gives it back.
        ledger.EndRun();
        EXPECT_EQ(Taken(ledger), strNext);
        Append(Row(strNext.c_str(), "ok", RUN_STAGE_CLOSE));
        ledger.EndRun();
        EXPECT_EQ(Taken(ledger), c.pszNext);
    }
}

TEST(MacLedgerTest, RangeUsedUp) {
    CTempWorkDir dir;
    WriteFileBytes(kMacRangeFileName, kRange);
    for (const char* pszMac : {"02:3A:7C:00:10:00", "02:3A:7C:00:10:01", "02:3A:7C:00:10:03"})
        Append(Row(pszMac, "ok", RUN_STAGE_CLOSE));
    CRecordMacLedger first;
    EXPECT_EQ(Taken(first), "02:3A:7C:00:10:02");
    CRecordMacLedger second;
    SMacTaken taken = second.TakeNext();
    EXPECT_EQ(taken.eStatus, SMacTaken::EStatus::Exhausted);
    EXPECT_NE(taken.strMessage.find("esgotada: 02:3A:7C:00:10:00 a 02:3A:7C:00:10:03"), std::string::npos)
        << taken.strMessage;
    first.EndRun();
    EXPECT_EQ(Taken(second), "02:3A:7C:00:10:02");
}

// A record that is there but cannot be read says nothing about any address: the check and the range both
// refuse, and nothing is guessed.
TEST(MacLedgerTest, UnreadableRecordRefusesEveryAddress) {
    CTempWorkDir dir;
    WriteFileBytes(kMacRangeFileName, kRange);
    ASSERT_TRUE(QDir().mkdir(kRunRecordFileName)) << "read(2) on it fails with EISDIR, even for root";
    CRecordMacLedger ledger;
    SMacLookup lookup = ledger.FindStored("02:3A:7C:00:10:00");
    EXPECT_EQ(lookup.eStatus, SMacLookup::EStatus::Unreadable);
    EXPECT_NE(lookup.strMessage.find(kRunRecordFileName), std::string::npos) << lookup.strMessage;
    SMacTaken taken = ledger.TakeNext();
    EXPECT_EQ(taken.eStatus, SMacTaken::EStatus::Unreadable) << taken.strMessage;
    EXPECT_EQ(taken.strMac, "");
    ASSERT_TRUE(QDir().rmdir(kRunRecordFileName));
    EXPECT_EQ(ledger.FindStored("02:3A:7C:00:10:00").eStatus, SMacLookup::EStatus::Free) << "no record yet";
}

// Processes taking addresses at once each get the lowest free one: together, the range's first addresses
// without a gap or a repeat, each process's in rising order, and every row whole.
TEST(MacLedgerTest, ConcurrentProcessesTakeDistinctAddresses) {
    CTempWorkDir dir;
    constexpr int kProcesses = 8;
    constexpr int kTakesEach = 50;
    WriteFileBytes(kMacRangeFileName, "02:3A:7C:00:00:00\n02:3A:7C:00:FF:FF\n");
    RunInChildProcesses(kProcesses, [](int p) {
        int nFailed = 0;
        for (int i = 0; i < kTakesEach; ++i) {
            CRecordMacLedger ledger;
            SMacTaken taken = ledger.TakeNext();
            SRunRecordRow row = Row(taken.strMac.c_str(), "ok", RUN_STAGE_CLOSE, "p");
            row.strPort += std::to_string(p);
            nFailed += taken.eStatus != SMacTaken::EStatus::Taken ||
                       !AppendRunRecord(kRunRecordFileName, FormatRunRecordRow(row)).empty();
            ledger.EndRun();
        }
        return nFailed ? 1 : 0;
    });
    std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(kRunRecordFileName));
    ASSERT_EQ(rows.size(), size_t(1 + kProcesses * kTakesEach));
    std::set<uint64_t> all;
    std::vector<uint64_t> last(kProcesses, 0);
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), kRunRecordFieldCount) << "row " << i;
        std::optional<uint64_t> nMac = MacValue(rows[i][3]);
        ASSERT_TRUE(nMac.has_value()) << rows[i][3];
        EXPECT_TRUE(all.insert(*nMac).second) << rows[i][3] << " twice";
        size_t p = size_t(std::stoi(rows[i][2].substr(1)));
        EXPECT_GT(*nMac + 1, last[p]) << "each process's addresses rise";
        last[p] = *nMac + 1;
    }
    EXPECT_EQ(all.size(), size_t(kProcesses * kTakesEach));
    EXPECT_EQ(*all.rbegin(), *MacValue("02:3A:7C:00:00:00") + kProcesses * kTakesEach - 1) << "no gap";
}

// Every address about to be sent is held: another run's (live, or gone without its row) refuses it, a row of
// that run settles it, and an address offered and then overtyped goes back at once.
TEST(MacLedgerTest, ReservedAddressesAreTaken) {
    CTempWorkDir dir;
    WriteFileBytes(kMacRangeFileName, kRange);
    SRunRecordRow first = Row("02:3A:7C:00:10:00", "failed", RUN_STAGE_BOOTARGS, "ttyUSB0");
    CRecordMacLedger a, b;
    a.BeginRun(SMacRun{"", first.tStart, first.strPort});
    b.BeginRun(SMacRun{"", first.tStart + std::chrono::seconds(1), "ttyUSB1"});
    EXPECT_EQ(Taken(a), "02:3A:7C:00:10:00");
    // Held by another run: refused, naming it; the run's own, or one free: held (no message).
    EXPECT_EQ(b.Reserve("02-3a-7c-00-10-00").strMessage,
              "02:3A:7C:00:10:00: outra execução deste computador");
    EXPECT_EQ(a.Reserve("02:3A:7C:00:10:00").eStatus, SMacHold::EStatus::Held) << "its own";
    EXPECT_EQ(b.Reserve("02:3A:7C:00:10:00").strMessage, "02:3A:7C:00:10:00: execução na porta ttyUSB0");
    EXPECT_EQ(b.Reserve("02:3A:7C:00:10:02").eStatus, SMacHold::EStatus::Held) << "typed, free";
    EXPECT_EQ(Taken(b), "02:3A:7C:00:10:02") << "the run's own again";
    // Its row lost: the address stays taken until that run's row is in.
    a.EndRun(false);
    CRecordMacLedger c;
    EXPECT_EQ(c.Reserve("02:3A:7C:00:10:00").strMessage,
              "02:3A:7C:00:10:00: execução encerrada sem linha no registro, porta ttyUSB0");
    EXPECT_EQ(Taken(c), "02:3A:7C:00:10:01");
    Append(first);
    c.EndRun();
    EXPECT_EQ(Taken(c), "02:3A:7C:00:10:00") << "settled by its run's row: the board never got it";
    // Overtyped: the offered address goes back.
    EXPECT_EQ(c.Reserve("02:3A:7C:00:10:03").eStatus, SMacHold::EStatus::Held);
    EXPECT_EQ(Taken(a), "02:3A:7C:00:10:00");
}

// Runs in four processes, typed addresses and the range's next mixed, as AskCheckedMac takes them: every
// board its own address, and every reservation settled by its row.
TEST(MacLedgerTest, TypedAndNextAddressesAcrossProcesses) {
    CTempWorkDir dir;
    constexpr int kProcesses = 4, kRunsEach = 100;
    WriteFileBytes(kMacRangeFileName, "02:3A:7C:00:00:00\n02:3A:7C:00:01:FF\n");
    RunInChildProcesses(kProcesses, [](int p) {
        for (int i = 0; i < kRunsEach; ++i) {
            CRecordMacLedger ledger;
            SRunRecordRow row = Row("", "ok", RUN_STAGE_CLOSE, ("p" + std::to_string(p)).c_str());
            ledger.BeginRun(SMacRun{"", row.tStart, row.strPort});
            // Typed: an address a little above where the range's next is, so that both meet.
            uint64_t nTyped = *MacValue("02:3A:7C:00:00:00") + uint64_t(i * kProcesses + p) + 8;
            std::string strMac = i % 2 ? MacText(nTyped) : ledger.TakeNext().strMac;
            SMacHold hold;
            while ((hold = ledger.Reserve(strMac)).eStatus == SMacHold::EStatus::HeldByRun ||
                   ledger.FindStored(strMac).eStatus != SMacLookup::EStatus::Free)
                strMac = MacText(*MacValue(strMac) + 1);
            row.strMacSent = strMac;
            if (hold.eStatus != SMacHold::EStatus::Held ||
                !AppendRunRecord(kRunRecordFileName, FormatRunRecordRow(row)).empty())
                return 1;
            ledger.EndRun();
        }
        return 0;
    });
    std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(kRunRecordFileName));
    ASSERT_EQ(rows.size(), size_t(1 + kProcesses * kRunsEach));
    std::set<std::string> macs;
    for (const std::vector<std::string>& row : rows)
        macs.insert(row[3]);
    EXPECT_EQ(macs.size(), rows.size()) << "no address twice (the header's name once)";
    EXPECT_TRUE(QDir(kMacReservationFolderName).entryList(QDir::Files | QDir::Hidden).isEmpty());
}
