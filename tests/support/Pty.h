#pragma once

#include <chrono>
#include <string>

// A pseudo-terminal pair in raw mode: the test plays the far end on the master side, the code under test
// opens the slave by its path. The test also keeps a slave descriptor open so that the line survives the
// code under test closing and reopening it.
class CPtyPair {
public:
    CPtyPair();
    ~CPtyPair();
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    const std::string& SlavePath() const { return m_strSlavePath; }
    int MasterFd() const { return m_fdMaster; }

    // Writes all bytes to the master side.
    void Send(const std::string& bytes);
    // Reads from the master side until `count` bytes came or `timeout` passed.
    std::string Receive(size_t count, std::chrono::milliseconds timeout);
    // Everything readable within `timeout` of quiet.
    std::string Drain(std::chrono::milliseconds quiet);
    // Closes the master side: the line hangs up for the slave side.
    void HangUp();
    // Closes the test's own slave descriptor.
    void ReleaseSlave();

private:
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlavePath;
};
