// One append to the run record as a run ends it (lock, tail read, one write, fsync), on a record that a busy
// bench collects in years: 100,000 rows (about 20 MB) by default. The record lives in a fresh folder under
// the working directory, so the figure is the file system's the bench works on.
//
// Usage: bench_record [ROWS [APPENDS]]
// Last line: rows=N appends=M p50_ms=A p99_ms=B max_ms=C
#include "bench/TypicalRecord.h"
#include "records/RunRecord.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int nRows = argc > 1 ? atoi(argv[1]) : 100000;
    int nAppends = argc > 2 ? atoi(argv[2]) : 1000;
    QTemporaryDir dir(QDir::currentPath() + "/bench_record-XXXXXX");
    if (!dir.isValid() || nRows < 0 || nAppends <= 0) {
        fprintf(stderr, "bench_record: cannot prepare the folder\n");
        return 1;
    }
    std::string strPath = dir.path().toStdString() + "/" + kRunRecordFileName;
    if (!WriteTypicalRunRecord(strPath, nRows)) {
        fprintf(stderr, "bench_record: cannot write the record\n");
        return 1;
    }
    std::vector<double> ms;
    for (int n = 0; n < nAppends; ++n) {
        std::string strRow = TypicalRunRecordRow(nRows + n);
        auto t0 = std::chrono::steady_clock::now();
        std::string strError = AppendRunRecord(strPath, strRow);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (!strError.empty()) {
            fprintf(stderr, "bench_record: %s\n", strError.c_str());
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    printf("rows=%d appends=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", nRows, nAppends, at(0.5), at(0.99),
           ms.back());
    return 0;
}
