#pragma once

#include "core/LogConsole.h"
#include "provisioning/RunResult.h"
#include "records/RunRecord.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// The folder of the run logs, beside the record.
inline constexpr const char* kRunLogFolderName = "logs";

// The port name as a piece of a file name: letters, digits, ".", "-" and "_" stay, anything else (the
// "/" of a device path included) becomes "_"; leading "_" and "." go, and the result is kept short.
// "/dev/ttyUSB0" gives "dev_ttyUSB0"; a name with nothing left gives "port".
std::string SafePortName(std::string_view port);

// "<start time>-<port>.log": the start time in the basic ISO 8601 form (no ":", which some file systems
// refuse), "20240501T140307-0300-dev_ttyUSB0.log".
std::string RunLogFileName(std::chrono::system_clock::time_point tStart, std::string_view port);

// What both front ends do at the end of every run, however it ended: save the log text as
// logs/<start time>-<port>.log and append the run's row to the record, both in one folder (the working
// directory by default). A file or folder that cannot be written does not fail anything: the log gets a
// short line saying so, and the front end may show the same lines.
//
// BeginRun and EndRun are called on the run's thread, around RunProvisioning; the log console is the run's,
// so the one-writer rule of the log holds.
class CRunArchive {
public:
    explicit CRunArchive(std::string strDir = ".");

    // Notes the start time and the port; call right before the run.
    void BeginRun(const std::string& strPort);

    struct SArchived {
        SRunRecordRow row;                 // the row as appended (or as it would have been)
        std::vector<std::string> problems; // the lines added to the log, without their line ends
    };
    // Saves the log and appends the row. The log file holds the log's bytes as the log box shows them,
    // including any line about the record that could not be written.
    SArchived EndRun(const SRunResult& result, CLogConsole& log);

private:
    std::string m_strDir;
    std::string m_strPort;
    std::chrono::system_clock::time_point m_tStart;
    std::chrono::steady_clock::time_point m_tStartSteady;
};

// The record's word for an outcome: ok, failed, stopped.
const char* RunOutcomeWord(ERunOutcome eOutcome);
