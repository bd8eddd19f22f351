#pragma once

#include "core/DebugOutput.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/loader/LoaderTestSupport.h"
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

// What a test of whole runs lives in: a fresh working directory with the whole-run files, the stand-in
// loader first on PATH, and the debug output kept quiet. Everything is put back when it goes, so the
// board (which runs in that directory) should go first.
class CWholeRunScope {
public:
    CWholeRunScope() {
        EXPECT_TRUE(m_tmp.isValid());
        m_strDir = m_tmp.path().toStdString();
        WriteWholeRunFiles(m_strDir);
        const char* path = getenv("PATH");
        m_pPath = std::make_unique<CEnvOverride>(
            "PATH", TestPathDir() + ":" + (path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
        m_pCwd = std::make_unique<CWorkingDir>(m_strDir);
        m_prevSink = SetDebugOutputSink([](const std::string&) {});
    }
    ~CWholeRunScope() {
        SetDebugOutputSink(m_prevSink);
        m_pCwd.reset();
        m_pPath.reset();
    }
    CWholeRunScope(const CWholeRunScope&) = delete;
    CWholeRunScope& operator=(const CWholeRunScope&) = delete;

    const std::string& Dir() const { return m_strDir; }

private:
    QTemporaryDir m_tmp;
    std::string m_strDir;
    std::unique_ptr<CEnvOverride> m_pPath;
    std::unique_ptr<CWorkingDir> m_pCwd;
    DebugOutputSink m_prevSink;
};
