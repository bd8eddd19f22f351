#pragma once

#include "core/UniqueFd.h"

#include <string>

// A run's claim on its serial port, from before the loader starts until the run ends, honoured by every
// instance of either program on the PC, whoever runs it. The serial port's own exclusive open covers only
// the program's part of a run, not the loader's, nor the pause before the open.
//
// The claim is an flock on a lock file named after the device's numbers (every node and link of one device
// meets; a name that is no device, after its real path), in a folder every user can write. The loader
// inherits the locked file, so the claim lasts while anything of the run holds it. The kernel drops the lock
// when the descriptor closes, so a killed program never leaves the port claimed. The holder removes the file
// when it lets go and nothing else holds the lock (where the folder lets it: in a sticky folder only the
// file's owner may); a loader still ending keeps the file and the claim. Whoever
// claims the port checks that the file it locked is still the one under that name.
class CPortLock {
public:
    enum class EResult {
        Locked,   // the port is this run's
        InUse,    // another run holds it
        Unusable, // the lock file cannot be made or opened; m_strError says why
    };

    // strLockDir: where the lock files go; empty for the system's folder (DefaultLockDir).
    explicit CPortLock(std::string strLockDir = {});
    ~CPortLock() { Release(); }
    CPortLock(const CPortLock&) = delete;
    CPortLock& operator=(const CPortLock&) = delete;

    // Claims the port named as the operator typed it (a device name or a path, as PortDevicePath reads it).
    // Never waits: a port in use is refused at once.
    EResult Acquire(const std::string& strPort);
    // Lets go of this holder's share; the claim lasts while a child that inherited the file holds it.
    void Release();
    bool IsHeld() const { return m_fd.IsOpen(); }
    // The locked open file, for a child that is to share the claim (-1 when not held).
    int Fd() const { return m_fd.Get(); }

    // The lock file of the last Acquire, and why it failed when it was unusable.
    const std::string& LockFile() const { return m_strLockFile; }
    const std::string& Error() const { return m_strError; }

    // /run/lock where it is open to every user (world-writable, sticky), else /tmp. Every instance on one
    // PC decides the same way, since it looks only at the folder's mode, not at its own rights.
    static std::string DefaultLockDir();
    // The lock file's name for a port: DeviceLockFileName for a character device, else LockFileName of its
    // real path.
    static std::string LockFileNameFor(const std::string& strPort);
    // "qan640-port-188-0.lock" for the device 188:0 (/dev/ttyUSB0).
    static std::string DeviceLockFileName(unsigned nMajor, unsigned nMinor);
    // "qan640-port_dev_ttyUSB0.lock" for the path /dev/ttyUSB0: "/" becomes "_", and "_", "%" and anything
    // outside letters, digits, "." and "-" become %XX, so two paths never share a name (a path too long for a
    // file name keeps its beginning and gets a checksum of the whole).
    static std::string LockFileName(const std::string& strRealPath);

private:
    std::string m_strLockDir;
    std::string m_strLockFile;
    std::string m_strError;
    CUniqueFd m_fd;
};
