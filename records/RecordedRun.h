#pragma once

#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/StopToken.h"
#include "provisioning/Provisioning.h"
#include "records/RunArchive.h"

#include <functional>
#include <string>

// One run as both front ends make it, on the worker, kept as it goes: the run log and the run's journal
// follow each stage, the row goes to the record at the verdict, before the closing box (for a stopped run,
// as it stops), and the log gets its last line then.
//
// It hears the run first and hands each notification on to the front end's observer afterwards, so that a
// program killed at any moment has kept at least as much as its progress line showed.
class CRecordedRun : private IRunObserver {
public:
    CRecordedRun(CRunState& run, CLogConsole& log, IOperator& op, SRunOptions options = {});

    // Records the runs that programs now gone left without an end (RunJournal.h): either front end calls it
    // when it starts (each run does so again before it begins). The lines (Portuguese) say what could not be.
    std::vector<std::string> RecoverInterruptedRuns() { return m_archive.RecoverInterruptedRuns(); }

    // The station's name and where every row goes besides the record (RunArchive.h); null: nowhere.
    void SetStation(std::string strStation, IRunRowOutlet* pOutlet) {
        m_archive.SetStation(std::move(strStation), pOutlet);
    }

    // Called on the run's thread at a verdict, before the row is written: a note it returns (UTF-8) ends the
    // row's message, for what the front end does at the verdict and that did not go as it should (a label
    // not printed).
    void SetVerdictHook(std::function<std::string(const SRunResult&)> fnHook) {
        m_fnVerdictHook = std::move(fnHook);
    }

    // The whole run on the calling thread; pObserver (may be null) hears its stages, its verdict and its end.
    SRunResult Run(const CStopToken& stop, IRunObserver* pObserver);

    // What the run left once its verdict is known (from the verdict's notification on): its row, whether
    // the row and the whole log were saved, and the lines about what could not be written.
    const CRunArchive::SArchived& Archived() const { return m_archive.Archived(); }

private:
    void OnRunProgress(const SRunResult& progress) override;
    void OnStageStarted(int nStage) override;
    void OnVerdict(const SRunResult& result) override;
    void OnRunEnded(const SRunResult& result) override;

    CRunState& m_run;
    CLogConsole& m_log;
    IOperator& m_op;
    SRunOptions m_options;
    CRunArchive m_archive;
    IRunObserver* m_pNext = nullptr;
    std::function<std::string(const SRunResult&)> m_fnVerdictHook;
};
