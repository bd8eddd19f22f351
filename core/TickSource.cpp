#include "core/TickSource.h"

#include <time.h>

uint32_t CSystemTickSource::GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

CSystemTickSource& CSystemTickSource::Instance() {
    static CSystemTickSource source;
    return source;
}
