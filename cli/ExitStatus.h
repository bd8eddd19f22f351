#pragma once

#include "provisioning/RunResult.h"

#include <csignal>

inline constexpr const char* kProgram = "qan640-provision";

// The exit statuses of qan640-provision. Each way a run ends has its own (kRunEnds), so that a bench script
// can tell the failures apart without reading the text; these are the ones no run gives. docs/it/headless.md
// and --help list them all.
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
// --workdir names no directory the program can work in: nothing ran.
inline constexpr int kExitWorkDirUnusable = 3;
// The line's database (linedb/LineDb.h), before anything runs: its connection string cannot be read or
// parsed (a set-up error); the server answered and refused (password, role, no --db-init schema, a newer
// schema); the server does not answer and --mac next needs it (a typed MAC goes on, checked against the
// record alone).
inline constexpr int kExitDbConfig = 5;
inline constexpr int kExitDbRefused = 6;
inline constexpr int kExitDbUnavailable = 7;
// The line's database holds the station's name for another PC.
inline constexpr int kExitDbStationTaken = 8;
// --print-label: no label file, no verified row of the address, or the print server did not take the job.
inline constexpr int kExitLabelNotPrinted = 9;
// A stop signal ends the run as closing the window does, and the program then exits with 128 + the signal's
// number, as shells and schedulers expect of a program a signal ended: SIGINT 130 (the table's), SIGTERM 143.
constexpr int ExitStatusForSignal(int nSignal) {
    return 128 + nSignal;
}
inline constexpr int kExitInterrupted = RunEndRow(ERunEnd::Stopped).nExitStatus;
static_assert(kExitInterrupted == ExitStatusForSignal(SIGINT));
// The run's row or its log could not be written (permissions, a full disk, a read-only folder). These come
// before the board's own status, which standard error still gives ("Resultado: ..."): a board missing from
// the record is what a bench script must not miss.
inline constexpr int kExitVerifiedNotRecorded = 23;
inline constexpr int kExitNotRecorded = 24;
