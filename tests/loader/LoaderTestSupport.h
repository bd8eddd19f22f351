#pragma once

#include <set>
#include <string>

// Shared helpers of the loader tests.

// Sets an environment variable for the lifetime of the object (the child inherits the environment).
class CEnvOverride {
public:
    CEnvOverride(const char* name, const std::string& value);
    ~CEnvOverride();
    CEnvOverride(const CEnvOverride&) = delete;
    CEnvOverride& operator=(const CEnvOverride&) = delete;

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHadOld;
};

// Changes the working directory for the lifetime of the object.
class CWorkingDir {
public:
    explicit CWorkingDir(const std::string& dir);
    ~CWorkingDir();
    CWorkingDir(const CWorkingDir&) = delete;
    CWorkingDir& operator=(const CWorkingDir&) = delete;

private:
    std::string m_strOld;
};

// The descriptors this process holds.
std::set<std::string> OpenDescriptors();
// True when this process has no child at all, running or unreaped. Reaps nothing.
bool NoChildrenLeft();
// Writes `content` to `path`, creating the directories above it.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The directory that holds bfin-uclinux-ldr for tests, to put first on PATH.
std::string TestPathDir();
