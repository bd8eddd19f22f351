#pragma once

#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"
#include "provisioning/Provisioning.h"
#include "records/RunArchive.h"

// One run as both front ends make it, on the worker: its start noted for the record, the provisioning run,
// then the run's log saved and its row appended, however the run ended.
class CRecordedRun {
public:
    CRecordedRun(CRunState& run, CLogConsole& log, IOperator& op, SRunOptions options = {});

    // The whole run on the calling thread; pObserver (may be null) hears its stages and its end.
    SRunResult Run(const CStopToken& stop, IRunObserver* pObserver);

    // What the last run left: its row, and the lines about files that could not be written.
    const CRunArchive::SArchived& Archived() const { return m_archived; }

private:
    CRunState& m_run;
    CLogConsole& m_log;
    IOperator& m_op;
    SRunOptions m_options;
    CRunArchive m_archive;
    CRunArchive::SArchived m_archived;
};
