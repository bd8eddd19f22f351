#pragma once

#include <cstdint>

// The platform's 32-bit millisecond tick counter (it wraps after about 49.7 days). Tests substitute it.
class ITickSource {
public:
    virtual ~ITickSource() = default;
    virtual uint32_t GetTickCount() = 0;
};

class CSystemTickSource : public ITickSource {
public:
    uint32_t GetTickCount() override;
    static CSystemTickSource& Instance();
};
