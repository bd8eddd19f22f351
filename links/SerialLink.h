#pragma once

#include <cstdint>

// The serial line as the boot-monitor dialogue uses it. Tests substitute a scripted link.
class ISerialLink {
public:
    virtual ~ISerialLink() = default;
    // 0..255: the byte read; -1: the port is not ready; -2: nothing came although the whole read time-out
    // was waited (the line was quiet); -3: the read failed (the device reported an error or is gone),
    // possibly at once.
    virtual int ReadByte() = 0;
    // As ReadByte, but waits at most `timeoutMs` for the byte instead of the link's own read time-out.
    virtual int ReadByteWithin(uint32_t timeoutMs) = 0;
    // 1 when all `length` bytes were written (always for length 0), 0 otherwise.
    virtual int Write(const void* data, uint16_t length) = 0;
};
