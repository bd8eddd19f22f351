#pragma once

#include "core/StopToken.h"
#include "links/SerialLink.h"

#include <cstdint>
#include <memory>
#include <string>

class QSerialPort;

// The program's own access to the serial line once the loader has released it: 8 data bits, no parity,
// one stop bit, no flow control, DTR and RTS off, opened exclusively. ReadByte returns at the first byte
// available or gives up after the read time-out; Write sends a whole command or reports failure within
// 1000 ms. Blocking use from one worker thread; no event loop is needed.
//
// Holding a device and being ready are two things: when a setting fails after the device was opened, the
// device stays held with the ready flag 0 until Close, the next Open or the destructor.
class CUart : public ISerialLink {
public:
    // stop ends every wait (the pause before opening, reads, writes) at once.
    explicit CUart(uint32_t timeoutMs, CStopToken stop = {});
    virtual ~CUart();
    CUart(const CUart&) = delete;
    CUart& operator=(const CUart&) = delete;

    // portName as PortDevicePath reads it: ttyUSB0 is /dev/ttyUSB0, a name with "/" is a path (relative to
    // the working directory unless absolute).
    // 1: ready; 0: failed.
    int Open(const std::string& portName, uint32_t baudRate);
    // 1 gives one stop bit, anything else two.
    void SetStopBits(int stopBits);
    int ReadByte() override;
    int ReadByteWithin(uint32_t timeoutMs) override;
    int Write(const void* data, uint16_t length) override;
    // 1: closed, or nothing was open; 0: closing the device failed.
    int Close();

    int IsOpen() const { return m_bOpened; }

    uint32_t m_dwTimeout;
    int m_bOpened = 0;

private:
    enum class EWait { Ready, TimedOut, Failed, Stopped };
    // The two steps of Open: the device opened (0 when one is held already), then the line settings applied
    // (1 if they all took).
    int OpenDevice(const std::string& portName);
    int Configure(uint32_t baudRate);
    EWait WaitForDevice(short events, int timeoutMs);
    int WriteAll(const void* data, uint16_t length);
    int TakeBytes(char* buffer, int length, uint32_t timeoutMs);
    void ReleaseDevice();

    CStopToken m_stop;
    std::unique_ptr<QSerialPort> m_hComm; // the held device, or none
};
