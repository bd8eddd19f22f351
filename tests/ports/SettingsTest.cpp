#include "app/Settings.h"
#include "tests/ports/ChildProcess.h"
#include "tests/support/TempWorkDir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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
    int status = RunInChild(
        [] {
            SaveRememberedPort("COM7");
            return ReadRememberedPort().empty() ? 0 : 1;
        },
        false, 5);
    EXPECT_EQ(status, 0) << "-1 means the child hung on the pipe";
    EXPECT_TRUE(fs::is_fifo(kSettingsFileName));
}

// Tests run as root, which writes anywhere; the unwritable cases run as an unprivileged user.
TEST_F(SettingsFile, UnwritableFileOrFolderIsSkippedQuietly) {
    const std::string dir = m_tmp.Path().toStdString();

    // Read-only folder, no file yet: nothing is created.
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    EXPECT_EQ(RunInChild(
                  [] {
                      SaveRememberedPort("COM7");
                      return ReadRememberedPort().empty() ? 0 : 1;
                  },
                  true),
              0);
    EXPECT_FALSE(fs::exists(kSettingsFileName));

    // Read-only file: its previous content stays and is still read.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    WriteBytes("/dev/ttyS3");
    ASSERT_EQ(chmod(kSettingsFileName, 0444), 0);
    EXPECT_EQ(RunInChild(
                  [] {
                      SaveRememberedPort("/dev/ttyUSB0");
                      return ReadRememberedPort() == "/dev/ttyS3" ? 0 : 1;
                  },
                  true),
              0);
    EXPECT_EQ(FileBytes(), "/dev/ttyS3");
}
