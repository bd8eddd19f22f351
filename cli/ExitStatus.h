#pragma once

#include "provisioning/RunResult.h"

// The exit statuses of qan640-provision. Each way a run ends has its own (kRunEnds), so that a bench script
// can tell the failures apart without reading the text; these are the ones no run gives. The README and
// --help list them all.
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = RunEndRow(ERunEnd::Stopped).nExitStatus;
