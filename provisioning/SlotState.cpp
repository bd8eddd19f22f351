#include "provisioning/SlotState.h"

#include <iterator>

namespace {

constexpr SSlotStateLook kLooks[] = {
    {ESlotState::Idle, "Livre", "#6b6b6b"},
    {ESlotState::Running, "Em andamento", "#1f5fa8"},
    {ESlotState::Waiting, "Aguardando operador", "#b36b00"},
    {ESlotState::Verified, "Aprovada", "#1e7b34"},
    {ESlotState::Failed, "Reprovada", "#b3261e"},
    {ESlotState::Stopped, "Parada", "#4a4a4a"},
};
static_assert(std::size(kLooks) == size_t(ESlotState::Stopped) + 1);

} // namespace

const SSlotStateLook& SlotStateLook(ESlotState eState) {
    return kLooks[size_t(eState)];
}

SSlotState CSlotStateFeed::State() const {
    std::lock_guard lock(m_mutex);
    return m_state;
}

void CSlotStateFeed::OnOperatorWait(bool bWaiting) {
    std::lock_guard lock(m_mutex);
    // The closing box after the verdict only acknowledges it: the slot keeps showing the verdict.
    if (m_bVerdict)
        return;
    if (bWaiting)
        m_state.eState = ESlotState::Waiting;
    else if (m_state.eState == ESlotState::Waiting)
        m_state.eState = ESlotState::Running;
}

void CSlotStateFeed::OnRunProgress(const SRunResult& progress) {
    {
        std::lock_guard lock(m_mutex);
        if (!progress.strMacSent.empty())
            m_state.strMac = progress.strMacSent;
    }
    if (m_pNext)
        m_pNext->OnRunProgress(progress);
}

void CSlotStateFeed::OnStageStarted(int nStage) {
    {
        std::lock_guard lock(m_mutex);
        if (nStage == RUN_STAGE_START) {
            m_state = SSlotState();
            m_bVerdict = false;
        }
        // The closing stage comes after a verified board's verdict, which stands.
        if (!m_bVerdict) {
            m_state.eState = ESlotState::Running;
            m_state.nStage = nStage;
        }
    }
    if (m_pNext)
        m_pNext->OnStageStarted(nStage);
}

void CSlotStateFeed::TakeVerdict(const SRunResult& result) {
    std::lock_guard lock(m_mutex);
    m_bVerdict = true;
    ERunOutcome eOutcome = result.Outcome();
    m_state.eState = eOutcome == ERunOutcome::Ok       ? ESlotState::Verified
                     : eOutcome == ERunOutcome::Failed ? ESlotState::Failed
                                                       : ESlotState::Stopped;
    m_state.nStage = result.nStage;
    std::string strMessage = result.Message();
    m_state.strVerdict = strMessage.substr(0, strMessage.find_first_of("\r\n"));
    if (!result.strMacSent.empty())
        m_state.strMac = result.strMacSent;
}

void CSlotStateFeed::OnVerdict(const SRunResult& result) {
    TakeVerdict(result);
    if (m_pNext)
        m_pNext->OnVerdict(result);
}

void CSlotStateFeed::OnRunEnded(const SRunResult& result) {
    // A stopped run has no verdict notification of its own; a run whose verdict came keeps it.
    bool bVerdict;
    {
        std::lock_guard lock(m_mutex);
        bVerdict = m_bVerdict;
    }
    if (!bVerdict || result.Outcome() == ERunOutcome::Stopped)
        TakeVerdict(result);
    if (m_pNext)
        m_pNext->OnRunEnded(result);
}
