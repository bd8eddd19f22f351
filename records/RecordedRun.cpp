#include "records/RecordedRun.h"

#include "core/Cp1252.h"
#include "provisioning/MacLedger.h"

CRecordedRun::CRecordedRun(CRunState& run, CLogConsole& log, IOperator& op, SRunOptions options)
    : m_run(run), m_log(log), m_op(op), m_options(std::move(options)) {}

SRunResult CRecordedRun::Run(const CStopToken& stop, IRunObserver* pObserver) {
    m_pNext = pObserver;
    m_archive.BeginRun(m_run.m_strPort, m_log);
    if (m_options.pMacLedger)
        m_options.pMacLedger->BeginRun(m_archive.MacRun());
    CProvisioningRun run(m_run, m_log, m_op, stop, m_options);
    run.SetObserver(this);
    SRunResult result = run.RunProvisioning();
    // The row is in the record: it keeps an address the board got, and frees one it never did.
    if (m_options.pMacLedger)
        m_options.pMacLedger->EndRun(m_archive.Archived().bRowSaved);
    m_pNext = nullptr;
    return result;
}

void CRecordedRun::OnRunProgress(const SRunResult& progress) {
    m_archive.NoteStage(progress, m_log);
    if (m_pNext)
        m_pNext->OnRunProgress(progress);
}

void CRecordedRun::OnStageStarted(int nStage) {
    if (m_pNext)
        m_pNext->OnStageStarted(nStage);
}

void CRecordedRun::OnVerdict(const SRunResult& result) {
    SRunResult verdict = result;
    if (m_fnVerdictHook)
        m_archive.NoteVerdict(verdict);
    if (std::string strNote = m_fnVerdictHook ? m_fnVerdictHook(result) : ""; !strNote.empty()) {
        verdict.strNote += (verdict.strNote.empty() ? "" : "; ") + strNote;
        m_log.AppendLogText(EncodeCp1252("\n" + strNote + "\n").c_str(), true);
    }
    m_archive.EndRun(verdict, m_log);
    if (m_pNext)
        m_pNext->OnVerdict(result);
}

// Every run leaves its log and its row in the record, a stopped one too: a stop has no verdict before it.
void CRecordedRun::OnRunEnded(const SRunResult& result) {
    m_archive.EndRun(result, m_log);
    if (m_pNext)
        m_pNext->OnRunEnded(result);
}
