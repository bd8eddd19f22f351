#pragma once

#include "linedb/LineView.h"

#include <chrono>
#include <string>

// The page's figures as JSON (UTF-8, compact, one line): today's yield per station and for the line as the
// shift report counts it, the last run of each port, boards per hour, failures per stage, the addresses left,
// addresses stored more than once and the failed runs whose log can be read.
std::string LineViewJson(const SLineView& view, std::chrono::system_clock::time_point tDayStart,
                         int nMacWarning);

// What the page shows while the database cannot be read: the reason (never a password).
std::string LineOfflineJson(const std::string& strReason);
