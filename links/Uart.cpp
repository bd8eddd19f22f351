#include "links/Uart.h"

#include "core/DebugOutput.h"
#include "links/PortName.h"

#include <QFileInfo>
#include <QSerialPort>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr uint32_t kOpenPauseMs = 500;
constexpr int kWriteLimitMs = 1000;

using Clock = std::chrono::steady_clock;

// Rounded up, so that a wait never ends before its time: a short quiet-line wait relies on it.
int MsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

QString DevicePath(const std::string& portName) {
    // Made absolute here, because Qt would put "/dev/" in front of any relative path.
    return QFileInfo(QString::fromLocal8Bit(PortDevicePath(portName).c_str())).absoluteFilePath();
}

// Virtual ports (pseudo-terminals, some USB adapters) have no modem lines; refusing to drive them is not a
// failure of the port.
bool ModemLineRequestTook(QSerialPort& port, bool bOk) {
    if (bOk)
        return true;
    bool bUnsupported = port.error() == QSerialPort::UnsupportedOperationError;
    port.clearError();
    return bUnsupported;
}

} // namespace

CUart::CUart(uint32_t timeoutMs, CStopToken stop) : m_dwTimeout(timeoutMs), m_stop(std::move(stop)) {}

CUart::~CUart() {
    m_bOpened = 0;
    ReleaseDevice();
}

void CUart::ReleaseDevice() {
    if (!m_hComm)
        return;
    m_hComm->clearError();
    m_hComm->close();
    if (m_hComm->error() != QSerialPort::NoError)
        OutputDebugText("Close Uart error\n" + m_hComm->errorString().toStdString() + "\n");
    m_hComm.reset();
}

int CUart::Open(const std::string& portName, uint32_t baudRate) {
    m_bOpened = 0;
    ReleaseDevice();
    if (!m_stop.SleepFor(kOpenPauseMs))
        return 0;
    if (!OpenDevice(portName))
        return 0;
    if (!Configure(baudRate))
        return 0;
    m_hComm->clearError();
    m_bOpened = 1;
    return 1;
}

int CUart::OpenDevice(const std::string& portName) {
    if (m_hComm)
        return 0;
    auto pPort = std::make_unique<QSerialPort>();
    pPort->setPortName(DevicePath(portName));
    // Qt opens the device exclusively (TIOCEXCL and a lock file), so a port held elsewhere is refused.
    if (!pPort->open(QIODevice::ReadWrite)) {
        OutputDebugText("OpenUart error\n" + pPort->errorString().toStdString() + "\n");
        return 0;
    }
    m_hComm = std::move(pPort);
    return 1;
}

int CUart::Configure(uint32_t baudRate) {
    if (!m_hComm)
        return 0;
    QSerialPort& port = *m_hComm;
    bool bOk = port.setBaudRate(qint32(baudRate)) && port.setDataBits(QSerialPort::Data8) &&
               port.setParity(QSerialPort::NoParity) && port.setStopBits(QSerialPort::OneStop) &&
               port.setFlowControl(QSerialPort::NoFlowControl);
    bOk = bOk && ModemLineRequestTook(port, port.setDataTerminalReady(false));
    bOk = bOk && ModemLineRequestTook(port, port.setRequestToSend(false));
    return bOk ? 1 : 0;
}

void CUart::SetStopBits(int stopBits) {
    if (m_hComm)
        m_hComm->setStopBits(stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop);
}

int CUart::Close() {
    m_bOpened = 0;
    if (!m_hComm)
        return 1;
    m_hComm->clearError();
    m_hComm->close();
    bool bFailed = m_hComm->error() != QSerialPort::NoError;
    if (bFailed)
        OutputDebugText("Close Uart error\n" + m_hComm->errorString().toStdString() + "\n");
    // The descriptor is gone either way; keeping the object would only keep the lock file.
    m_hComm.reset();
    return bFailed ? 0 : 1;
}

// Waits until the device's descriptor reports `events` (or an error), the time runs out, or a stop is
// requested.
CUart::EWait CUart::WaitForDevice(short events, int timeoutMs) {
    int fd = m_hComm ? int(m_hComm->handle()) : -1;
    if (fd < 0)
        return EWait::Failed;
    pollfd fds[2] = {{fd, events, 0}, {m_stop.WakeFd(), POLLIN, 0}};
    nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int rc = poll(fds, count, MsUntil(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return EWait::Failed;
        if (count == 2 && fds[1].revents)
            return EWait::Stopped;
        if (rc == 0)
            return EWait::TimedOut;
        if (fds[0].revents & events)
            return EWait::Ready;
        return EWait::Failed; // POLLERR, POLLHUP, POLLNVAL without data: the device has gone
    }
}

// Takes up to `length` bytes that have arrived, waiting at most `timeoutMs` for the first one: the number
// taken, 0 when the time ran out (or a stop came), -1 when the device failed.
int CUart::TakeBytes(char* buffer, int length, uint32_t timeoutMs) {
    if (m_hComm->bytesAvailable() == 0) {
        switch (WaitForDevice(POLLIN, int(timeoutMs))) {
        case EWait::Ready:
            // Lets Qt move what the driver holds into its own buffer; no waiting here.
            m_hComm->waitForReadyRead(0);
            break;
        case EWait::TimedOut:
        case EWait::Stopped:
            return 0;
        case EWait::Failed:
            return -1;
        }
    }
    qint64 n = m_hComm->read(buffer, length);
    if (n < 0)
        return -1;
    // Readable without a byte to read: the device hung up.
    return n > 0 ? int(n) : -1;
}

int CUart::ReadByte() {
    return ReadByteWithin(m_dwTimeout);
}

int CUart::ReadByteWithin(uint32_t timeoutMs) {
    if (!m_bOpened)
        return -1;
    m_hComm->clearError();
    if (!m_bOpened)
        return -1;
    char c = 0;
    int n = TakeBytes(&c, 1, timeoutMs);
    if (n == 1)
        return static_cast<unsigned char>(c);
    if (!m_bOpened)
        return -1;
    return n == 0 ? -2 : -3;
}

int CUart::Write(const void* data, uint16_t length) {
    if (length == 0)
        return 1;
    if (!m_bOpened)
        return 0;
    m_hComm->clearError();
    return WriteAll(data, length);
}

// All or nothing within 1000 ms: what the line has not taken by then is withdrawn, never sent later.
int CUart::WriteAll(const void* data, uint16_t length) {
    QSerialPort& port = *m_hComm;
    if (port.write(static_cast<const char*>(data), length) != length) {
        port.clear(QSerialPort::Output);
        return 0;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    while (port.bytesToWrite() > 0) {
        if (WaitForDevice(POLLOUT, MsUntil(deadline)) != EWait::Ready) {
            port.clear(QSerialPort::Output);
            return 0;
        }
        port.waitForBytesWritten(0);
        if (port.error() != QSerialPort::NoError) {
            port.clear(QSerialPort::Output);
            return 0;
        }
    }
    return 1;
}
