#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

// Runs a test inside a fresh temporary directory as the working directory, and restores the previous one.
class CTempWorkDir {
public:
    CTempWorkDir() : m_strPrevious(QDir::currentPath()) {
        EXPECT_TRUE(m_dir.isValid());
        EXPECT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    ~CTempWorkDir() {
        QDir::setCurrent(m_strPrevious);
        // The directory is removed whatever a test did to its permissions.
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    CTempWorkDir(const CTempWorkDir&) = delete;
    CTempWorkDir& operator=(const CTempWorkDir&) = delete;

    QString Path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_strPrevious;
};

inline void WriteFileBytes(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
}

// A read error gives what was read so far, never an exception: a /proc file whose process ends while it is
// read fails with ESRCH, and the tests that walk /proc must go on.
inline std::string ReadFileBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}
