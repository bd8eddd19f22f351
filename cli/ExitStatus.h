#pragma once

#include "provisioning/RunResult.h"

// The exit statuses of qan640-provision. Each way a run ends has its own (kRunEnds), so that a bench script
// can tell the failures apart without reading the text; these are the ones no run gives. The README and
// --help list them all.
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = RunEndRow(ERunEnd::Stopped).nExitStatus;
// The run's row or its log could not be written (permissions, a full disk, a read-only folder). These come
// before the board's own status, which standard error still gives ("Resultado: ..."): a board missing from
// the record is what a bench script must not miss.
inline constexpr int kExitVerifiedNotRecorded = 23;
inline constexpr int kExitNotRecorded = 24;
