// The ledger's two questions on a record of years (1,000,000 rows by default, about 180 MB): whether an
// address is stored in a board (one not in the record, so every row is read) and taking the next free address
// of a range that the record has used up to its last row. Each is timed 5 times; the figures are medians.
// The record lives in a fresh folder under the working directory.
//
// With --db: the line's ledger in a throw-away PostgreSQL server, 4 stations (processes, each with its own
// connection and folder) taking 100 addresses each at once, each address stored through its run's row before
// the next is taken; the figure is the 99th percentile of one taking.
//
// Usage: bench_ledger [ROWS] | bench_ledger --db
// Last line: rows=N lookup_ms=L allocate_ms=A, or allocations=400 distinct=D p99_ms=P
#include "bench/TypicalRecord.h"
#include "ledger/RecordMacLedger.h"
#include "linedb/DbMacLedger.h"
#include "linedb/LineDbRows.h"
#include "provisioning/RunResult.h"
#include "tests/support/PgTestServer.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRepeats = 5;

template <class F>
double MedianMs(F fn) {
    std::vector<double> ms;
    for (int i = 0; i < kRepeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        fn();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

constexpr int kStations = 4;
constexpr int kTakesPerStation = 100;

// One station's takings; their times (ms) go to fdOut.
int TakeAsStation(const std::string& strConninfo, const std::string& strDir, int nStation, int fdOut) {
    std::string strStation = "bench-" + std::to_string(nStation);
    std::string strStationDir = strDir + "/" + strStation;
    QDir().mkpath(QString::fromStdString(strStationDir));
    std::ofstream(strStationDir + "/QAN640mac.conf") << "02:3A:7C\n";
    std::ofstream(strStationDir + "/" + kMacRangeFileName) << "02:3A:7C:00:00:00\n02:3A:7C:FF:FF:FF\n";
    CLineDb db(strConninfo);
    CDbMacLedger ledger(db, strStation, strStationDir);
    for (int i = 0; i < kTakesPerStation; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        SMacTaken taken = ledger.TakeNext();
        double dMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        SRunRecordRow row;
        row.tStart = row.tEnd = std::chrono::system_clock::now();
        row.strMacSent = row.strMacRead = taken.strMac;
        row.strOutcome = "ok";
        row.nStage = RUN_STAGE_VERIFY;
        std::string strError;
        if (taken.eStatus != SMacTaken::EStatus::Taken ||
            !SendLineDbRow(db, strStation + "/" + std::to_string(i), strStation, row, strError)) {
            fprintf(stderr, "bench_ledger: %s %s\n", taken.strMessage.c_str(), strError.c_str());
            return 1;
        }
        ledger.EndRun();
        if (write(fdOut, &dMs, sizeof dMs) != sizeof dMs)
            return 1;
    }
    return 0;
}

int RunDbBench(const std::string& strDir) {
    CPgTestServer server;
    std::string strError = server.Start();
    CLineDb db(server.Conninfo());
    if (strError.empty() && db.Connect(strError, false) == CLineDb::EState::Ready)
        db.InitSchema(strError);
    if (!strError.empty()) {
        fprintf(stderr, "bench_ledger: %s\n", strError.c_str());
        return 1;
    }
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int n = 0; n < kStations; ++n) {
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            _exit(TakeAsStation(server.Conninfo(), strDir, n, fds[1]));
        }
        children.push_back(pid);
    }
    close(fds[1]);
    std::vector<double> ms;
    for (double d; read(fds[0], &d, sizeof d) == sizeof d;)
        ms.push_back(d);
    close(fds[0]);
    bool bFailed = false;
    for (pid_t pid : children) {
        int nStatus = 0;
        bFailed |= waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0;
    }
    std::optional<CPgResult> distinct =
        db.Exec("SELECT count(DISTINCT mac) FROM qan640_macs WHERE state = 'stored'", {}, strError);
    if (bFailed || ms.empty() || !distinct) {
        fprintf(stderr, "bench_ledger: a station failed %s\n", strError.c_str());
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    double dP99 = ms[std::min(ms.size() - 1, size_t(double(ms.size()) * 0.99))];
    printf("allocations=%zu distinct=%s p99_ms=%.1f\n", ms.size(), distinct->Text(0, 0).c_str(), dP99);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool bDb = argc > 1 && std::string(argv[1]) == "--db";
    int nRows = argc > 1 && !bDb ? atoi(argv[1]) : 1000000;
    QTemporaryDir dir(QDir::currentPath() + "/bench_ledger-XXXXXX");
    if (!dir.isValid() || nRows < 0 || nRows >= 0xFFFFFF) {
        fprintf(stderr, "bench_ledger: cannot prepare the folder\n");
        return 1;
    }
    std::string strDir = dir.path().toStdString();
    if (bDb)
        return RunDbBench(strDir);
    std::ofstream(strDir + "/" + kMacRangeFileName) << "02:3A:7C:00:00:00\n02:3A:7C:FF:FF:FF\n";
    if (!WriteTypicalRunRecord(strDir + "/" + kRunRecordFileName, nRows)) {
        fprintf(stderr, "bench_ledger: cannot write the record\n");
        return 1;
    }
    CRecordMacLedger ledger(strDir);
    bool bWrong = false;
    double dLookupMs = MedianMs(
        [&] { bWrong |= (ledger.FindStored("06:B1:4E:00:00:01").eStatus != SMacLookup::EStatus::Free); });
    std::string strExpected = MacText(*MacValue("02:3A:7C:00:00:00") + uint64_t(nRows));
    double dAllocateMs = MedianMs([&] {
        SMacTaken taken = ledger.TakeNext();
        bWrong |= taken.strMac != strExpected;
        ledger.EndRun();
    });
    if (bWrong) {
        fprintf(stderr, "bench_ledger: wrong answer\n");
        return 1;
    }
    printf("rows=%d lookup_ms=%.1f allocate_ms=%.1f\n", nRows, dLookupMs, dAllocateMs);
    return 0;
}
