// The ledger's two questions on a record of years (1,000,000 rows by default, about 180 MB): whether an
// address is stored in a board (one not in the record, so every row is read) and taking the next free address
// of a range that the record has used up to its last row. Each is timed 5 times; the figures are medians.
// The record lives in a fresh folder under the working directory.
//
// Usage: bench_ledger [ROWS]
// Last line: rows=N lookup_ms=L allocate_ms=A
#include "bench/TypicalRecord.h"
#include "records/MacLedger.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
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

} // namespace

int main(int argc, char** argv) {
    int nRows = argc > 1 ? atoi(argv[1]) : 1000000;
    QTemporaryDir dir(QDir::currentPath() + "/bench_ledger-XXXXXX");
    if (!dir.isValid() || nRows < 0 || nRows >= 0xFFFFFF) {
        fprintf(stderr, "bench_ledger: cannot prepare the folder\n");
        return 1;
    }
    std::string strDir = dir.path().toStdString();
    std::ofstream(strDir + "/" + kMacRangeFileName) << "02:3A:7C:00:00:00\n02:3A:7C:FF:FF:FF\n";
    if (!WriteTypicalRunRecord(strDir + "/" + kRunRecordFileName, nRows)) {
        fprintf(stderr, "bench_ledger: cannot write the record\n");
        return 1;
    }
    CRecordMacLedger ledger(strDir);
    bool bWrong = false;
    double dLookupMs = MedianMs([&] { bWrong |= ledger.FindStored("06:B1:4E:00:00:01").has_value(); });
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
