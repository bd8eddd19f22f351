#pragma once

#include "provisioning/RunResult.h"

#include <chrono>
#include <optional>

// Where a run stands, as both front ends show it on their progress lines: the stage it reached and the time
// since its first stage began. Fed the run's stage notifications and read on one thread (the window hands
// them to its GUI thread first).
class CRunProgress {
public:
    void OnStageStarted(int nStage) {
        if (nStage == RUN_STAGE_START)
            m_tStart = std::chrono::steady_clock::now();
        m_nStage = nStage;
    }
    int Stage() const { return m_nStage; }
    const char* StageTitle() const { return RunStageTitle(m_nStage); }
    // 0 before the run's first stage.
    double ElapsedSeconds() const {
        return m_tStart ? std::chrono::duration<double>(std::chrono::steady_clock::now() - *m_tStart).count()
                        : 0;
    }

private:
    int m_nStage = RUN_STAGE_NONE;
    std::optional<std::chrono::steady_clock::time_point> m_tStart;
};
