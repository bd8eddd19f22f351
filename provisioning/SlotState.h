#pragma once

#include "provisioning/RunResult.h"

#include <mutex>
#include <string>

// Where one slot of a station stands, as data: what the window's slot shows and what a view of the line
// reads, taken from the run's own notifications and from the operator side's waits, never from what is on
// screen.
enum class ESlotState { Idle, Running, Waiting, Verified, Failed, Stopped };

// Each state's word (Portuguese, always shown with its colour: colour alone does not read across the bench)
// and colour ("#rrggbb", white text on it).
struct SSlotStateLook {
    ESlotState eState;
    const char* pszWord;
    const char* pszColour;
};
const SSlotStateLook& SlotStateLook(ESlotState eState);

struct SSlotState {
    ESlotState eState = ESlotState::Idle;
    int nStage = RUN_STAGE_NONE;
    // The last verdict: its first line (Portuguese) and the address the run sent; empty before the first.
    std::string strVerdict;
    std::string strMac;
};

// Fed on the run's thread (its notifications, then on to pNext) and by the operator side while it waits for
// an answer; read on any thread.
class CSlotStateFeed : public IRunObserver {
public:
    void SetNext(IRunObserver* pNext) { m_pNext = pNext; }
    SSlotState State() const;
    // The run waits for the operator (true) or got the answer (false).
    void OnOperatorWait(bool bWaiting);

    void OnRunProgress(const SRunResult& progress) override;
    void OnStageStarted(int nStage) override;
    void OnVerdict(const SRunResult& result) override;
    void OnRunEnded(const SRunResult& result) override;

private:
    void TakeVerdict(const SRunResult& result);

    mutable std::mutex m_mutex;
    SSlotState m_state;
    bool m_bVerdict = false; // this run's verdict is in
    IRunObserver* m_pNext = nullptr;
};
