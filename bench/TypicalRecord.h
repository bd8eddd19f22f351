#pragma once

#include "records/RunRecord.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

// A record as a busy bench collects it in years, for the benchmarks that read or append to it: row n stored
// 02:3A:7C and the lower 24 bits of n in a board, the address read back the same.
inline std::string TypicalRunRecordRow(int n) {
    SRunRecordRow row;
    row.tStart = std::chrono::system_clock::now();
    row.tEnd = row.tStart + std::chrono::seconds(95);
    row.strPort = "/dev/ttyUSB0";
    char mac[18];
    snprintf(mac, sizeof mac, "02:3A:7C:%02X:%02X:%02X", (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF);
    row.strMacSent = row.strMacRead = mac;
    row.strOutcome = "ok";
    row.nStage = 17;
    row.strMessage = "QAN640 configurando com sucesso";
    row.dDurationS = 95.3;
    row.strLogFile = "logs/20240501T140307-0300-dev_ttyUSB0.log";
    return FormatRunRecordRow(row);
}

// The record at strPath with nRows typical rows; false when it could not be written.
inline bool WriteTypicalRunRecord(const std::string& strPath, int nRows) {
    std::ofstream out(strPath, std::ios::binary);
    out << "\xEF\xBB\xBF" << RunRecordHeader();
    for (int n = 0; n < nRows; ++n)
        out << TypicalRunRecordRow(n);
    return out.good();
}
