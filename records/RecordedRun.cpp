#include "records/RecordedRun.h"

CRecordedRun::CRecordedRun(CRunState& run, CLogConsole& log, IOperator& op, SRunOptions options)
    : m_run(run), m_log(log), m_op(op), m_options(std::move(options)) {}

SRunResult CRecordedRun::Run(const CStopToken& stop, IRunObserver* pObserver) {
    m_archive.BeginRun(m_run.m_strPort);
    CProvisioningRun run(m_run, m_log, m_op, stop, m_options);
    run.SetObserver(pObserver);
    SRunResult result = run.RunProvisioning();
    // Every run leaves its log and its row in the record, a stopped one too.
    m_archived = m_archive.EndRun(result, m_log);
    return result;
}
