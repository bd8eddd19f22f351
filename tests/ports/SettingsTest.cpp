#include "core/Settings.h"
#include "tests/support/TempWorkDir.h"

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Runs the probe program in the working directory: saves `name` (unless null), then reads. What it read,
// or "(failed)" when it did not end by itself within 5 s or failed. bAsNobody runs it as the unprivileged
// user nobody, so that file permissions apply to it.
std::string RunProbe(const char* name, bool bAsNobody) {
    QStringList args;
    if (bAsNobody)
        args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", QAN_SETTINGS_PROBE};
    if (name)
        args << "--save" << QString::fromLocal8Bit(name);
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(bAsNobody ? "setpriv" : QAN_SETTINGS_PROBE, args);
    if (!probe.waitForFinished(5000)) {
        probe.kill();
        probe.waitForFinished(5000);
        return "(failed)";
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return "(failed)";
    return probe.readAllStandardOutput().toStdString();
}

} // namespace

// Each test runs in a working directory of its own, as the program does.
class SettingsFile : public ::testing::Test {
protected:
    static std::string FileBytes() { return ReadFileBytes(kSettingsFileName); }
    static void WriteBytes(const std::string& bytes) { WriteFileBytes(kSettingsFileName, bytes); }

    CTempWorkDir m_tmp;
};

TEST_F(SettingsFile, SavesExactlyTheNameAndReadsItBack) {
    SaveRememberedPort("COM7");
    EXPECT_EQ(FileBytes(), "COM7");
    EXPECT_EQ(ReadRememberedPort(), "COM7");

    // A later start replaces the whole content, also when the new name is shorter.
    SaveRememberedPort("/dev/ttyUSB10");
    SaveRememberedPort("/dev/ttyS1");
    EXPECT_EQ(FileBytes(), "/dev/ttyS1");
    EXPECT_EQ(ReadRememberedPort(), "/dev/ttyS1");

    // Windows-1252 letters are text, not white space, whatever the locale (0x85 and 0xA0 are blanks in
    // some 8-bit locales).
    const std::string accented = "/dev/porta\xe9\x85\xa0x";
    SaveRememberedPort(accented);
    EXPECT_EQ(FileBytes(), accented);
    EXPECT_EQ(ReadRememberedPort(), accented);
}

TEST_F(SettingsFile, MissingOrBlankFileGivesNoName) {
    EXPECT_EQ(ReadRememberedPort(), "");
    WriteBytes("");
    EXPECT_EQ(ReadRememberedPort(), "");
    WriteBytes("  \r\n\t\n \v\f\r\n");
    EXPECT_EQ(ReadRememberedPort(), "");
}

TEST_F(SettingsFile, HandEditedFileGivesItsFirstWord) {
    WriteBytes("COM7\r\nCOM8\nsomething else\n");
    EXPECT_EQ(ReadRememberedPort(), "COM7");
    WriteBytes("\n\t  /dev/ttyACM0   \n");
    EXPECT_EQ(ReadRememberedPort(), "/dev/ttyACM0");
    // A NUL byte ends the name as it would a C string.
    WriteBytes(std::string("COM3\0junk", 9));
    EXPECT_EQ(ReadRememberedPort(), "COM3");
}

TEST_F(SettingsFile, NameWithABlankIsSavedWholeAndReadAsItsFirstWord) {
    SaveRememberedPort("COM 7");
    EXPECT_EQ(FileBytes(), "COM 7");
    EXPECT_EQ(ReadRememberedPort(), "COM");
}

TEST_F(SettingsFile, OverLongFirstWordIsIgnored) {
    const std::string longest(kMaxRememberedPortLength, 'p');
    WriteBytes(longest);
    EXPECT_EQ(ReadRememberedPort(), longest);
    WriteBytes("  " + longest + "\n");
    EXPECT_EQ(ReadRememberedPort(), longest);

    WriteBytes(longest + "q");
    EXPECT_EQ(ReadRememberedPort(), "");
    // Megabytes without a blank, then a proper second line that must not be taken instead.
    WriteBytes(std::string(4 << 20, 'x') + "\nCOM3\n");
    EXPECT_EQ(ReadRememberedPort(), "");

    // Saving writes the whole name, however long: only reading has a limit.
    const std::string enormous(100000, 'z');
    SaveRememberedPort(enormous);
    EXPECT_EQ(FileBytes(), enormous);
}

// Something other than a plain file has taken the name: nothing is written into it, nothing is read from
// it, and neither waits (a pipe without a partner would block an ordinary open for good).
TEST_F(SettingsFile, NameTakenByAFolderOrPipeIsSkipped) {
    fs::create_directory(kSettingsFileName);
    SaveRememberedPort("COM7");
    EXPECT_TRUE(fs::is_directory(kSettingsFileName));
    EXPECT_EQ(ReadRememberedPort(), "");
    fs::remove(kSettingsFileName);

    ASSERT_EQ(mkfifo(kSettingsFileName, 0600), 0);
    EXPECT_EQ(RunProbe("COM7", false), "") << "(failed) means the probe hung on the pipe";
    EXPECT_TRUE(fs::is_fifo(kSettingsFileName));
}

// Tests run as root, which writes anywhere; the unwritable cases run as an unprivileged user.
TEST_F(SettingsFile, UnwritableFileOrFolderIsSkippedQuietly) {
    const std::string dir = m_tmp.Path().toStdString();

    // Read-only folder, no file yet: nothing is created.
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    EXPECT_EQ(RunProbe("COM7", true), "");
    EXPECT_FALSE(fs::exists(kSettingsFileName));

    // Read-only file: its previous content stays and is still read.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    WriteBytes("/dev/ttyS3");
    ASSERT_EQ(chmod(kSettingsFileName, 0444), 0);
    EXPECT_EQ(RunProbe("/dev/ttyUSB0", true), "/dev/ttyS3");
    EXPECT_EQ(FileBytes(), "/dev/ttyS3");
}
