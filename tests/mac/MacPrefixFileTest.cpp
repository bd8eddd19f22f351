#include "mac/MacPrefixFile.h"
#include "tests/support/TempWorkDir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using Entries = std::vector<std::string>;

const Entries kBuiltInList = {"02:3A:7C", "06:B1:4E", "0A:5D:22", "0E:91:C8"};
const std::string kBuiltInFile = "06:B1:4E\n0A:5D:22\n0E:91:C8\n02:3A:7C\n";

TEST(MacPrefixTokenTest, ValidOnlyAsEightCharactersWithColonsAndUpperCaseHex) {
    for (const char* token : {"02:3A:7C", "00:00:00", "FF:FF:FF", "9A:B0:C1"})
        EXPECT_TRUE(IsValidMacPrefix(token)) << token;
    const std::string invalid[] = {
        "02:3a:7c",
        "02:3A:7c",
        "02-3A-7C",
        "02 3A 7C",
        "023A7C00",
        "02:3A:7",
        "02:3A:7C0",
        ":02:3A:7C",
        "02:3A:7G",
        "0G:3A:7C",
        "02:3A:",
        "",
        "02.3A.7C",
        "02:3A::C",
        std::string("02:3A:7C\0", 9),
        std::string("02:3A\0:7C", 9),
        std::string("\0"
                    "2:3A:7C",
                    8),
        "02:3A:7\xC3",
        "\xB2"
        "2:3A:7C",
    };
    for (const std::string& token : invalid)
        EXPECT_FALSE(IsValidMacPrefix(token)) << token;
}

// Reads every token of a byte string; overlong tokens show as "<too long>".
Entries Tokens(const std::string& bytes) {
    std::FILE* pFile = std::tmpfile();
    EXPECT_NE(pFile, nullptr);
    if (!pFile)
        return {};
    std::fwrite(bytes.data(), 1, bytes.size(), pFile);
    std::rewind(pFile);
    CTokenReader reader(pFile);
    Entries tokens;
    std::string token;
    for (CTokenReader::Result result; (result = reader.Next(token)) != CTokenReader::End;)
        tokens.push_back(result == CTokenReader::TooLong ? "<too long>" : token);
    std::fclose(pFile);
    return tokens;
}

TEST(MacPrefixTokenTest, SplitsAtEveryKindOfWhiteSpace) {
    EXPECT_EQ(Tokens(" a\tb\r\nc\vd\fe  f\n\n"), (Entries{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(Tokens("last-without-line-end"), (Entries{"last-without-line-end"}));
    EXPECT_TRUE(Tokens("").empty());
    EXPECT_TRUE(Tokens(" \r\n\t ").empty());
}

TEST(MacPrefixTokenTest, BinaryBytesArePartOfTokens) {
    std::string bytes("02:3A:7C\0XY \xff\xfe\x01 \0", 17);
    EXPECT_EQ(Tokens(bytes),
              (Entries{std::string("02:3A:7C\0XY", 11), "\xff\xfe\x01", std::string("\0", 1)}));
}

TEST(MacPrefixTokenTest, TokensOverTheLimitAreSkippedWholeNotCut) {
    std::string at(CTokenReader::kMaxTokenLength, 'x');
    std::string over(CTokenReader::kMaxTokenLength + 1, 'x');
    EXPECT_EQ(Tokens(at + "\n" + over + " next"), (Entries{at, "<too long>", "next"}));
    // A reader that cut long tokens into pieces would find a valid prefix in the tail of this one.
    EXPECT_EQ(Tokens(std::string(CTokenReader::kMaxTokenLength, 'X') + "0E:91:C8\n"),
              (Entries{"<too long>"}));
    EXPECT_EQ(Tokens(over), (Entries{"<too long>"}));
}

TEST(MacPrefixTokenTest, AnEnormousTokenIsNeverHeldInMemory) {
    std::FILE* pFile = std::tmpfile();
    ASSERT_NE(pFile, nullptr);
    std::string chunk(1 << 20, 'A');
    for (int i = 0; i < 16; ++i)
        std::fwrite(chunk.data(), 1, chunk.size(), pFile);
    std::fputs(" 11:22:33", pFile);
    std::rewind(pFile);

    CTokenReader reader(pFile);
    std::string token;
    EXPECT_EQ(reader.Next(token), CTokenReader::TooLong);
    EXPECT_LE(token.capacity(), 1024u);
    EXPECT_EQ(reader.Next(token), CTokenReader::Token);
    EXPECT_EQ(token, "11:22:33");
    EXPECT_EQ(reader.Next(token), CTokenReader::End);
    std::fclose(pFile);
}

// Each case runs in its own empty working directory.
class MacPrefixFileTest : public ::testing::Test {
protected:
    CTempWorkDir m_workDir;
};

TEST_F(MacPrefixFileTest, NoFileGivesTheBuiltInListAndWritesTheFile) {
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, kBuiltInList);
    EXPECT_EQ(list.m_nSelected, 0);
    EXPECT_FALSE(list.m_bFromFile);
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), kBuiltInFile);
    EXPECT_TRUE(QFileInfo::exists(QDir(m_workDir.Path()).filePath("QAN640mac.conf")));
}

TEST_F(MacPrefixFileTest, TheWrittenFileIsReadBackWithTheFirstBuiltInPrefixLastAndSelected) {
    LoadMacPrefixList();
    // Age the file so that a rewrite would show in its modification time.
    QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000);
    {
        QFile file("QAN640mac.conf");
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(old, QFileDevice::FileModificationTime));
    }

    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"06:B1:4E", "0A:5D:22", "0E:91:C8", "02:3A:7C"}));
    EXPECT_EQ(list.m_nSelected, 3);
    EXPECT_TRUE(list.m_bFromFile);
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), kBuiltInFile);
    EXPECT_EQ(QFileInfo("QAN640mac.conf").lastModified(), old);
}

TEST_F(MacPrefixFileTest, AFileWithoutAnyValidPrefixIsReplacedByTheBuiltInFile) {
    const std::string contents[] = {
        "", "\n\n  \t\r\n", "02:3a:7c\naa:bb:cc\n", "02:3A:7\n02:3A:7C0\n023A7C\n", "02-3A-7C 06-B1-4E\n",
    };
    for (const std::string& content : contents) {
        WriteFileBytes("QAN640mac.conf", content);
        CMacPrefixList list = LoadMacPrefixList();
        EXPECT_EQ(list.m_entries, kBuiltInList) << content;
        EXPECT_EQ(list.m_nSelected, 0) << content;
        EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), kBuiltInFile) << content;
    }
}

TEST_F(MacPrefixFileTest, ASitePrefixComesFirstAndTheFirstBuiltInPrefixIsAddedAndSelected) {
    WriteFileBytes("QAN640mac.conf", "AA:BB:CC\n");
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"AA:BB:CC", "02:3A:7C"}));
    EXPECT_EQ(list.m_nSelected, 1);
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), "AA:BB:CC\n");
}

TEST_F(MacPrefixFileTest, RepeatedEntriesStayAndTheFirstOfThemIsSelected) {
    WriteFileBytes("QAN640mac.conf", "02:3A:7C\n02:3A:7C\n");
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"02:3A:7C", "02:3A:7C"}));
    EXPECT_EQ(list.m_nSelected, 0);

    WriteFileBytes("QAN640mac.conf", "11:11:11 02:3A:7C 22:22:22 02:3A:7C 11:11:11\n");
    list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"11:11:11", "02:3A:7C", "22:22:22", "02:3A:7C", "11:11:11"}));
    EXPECT_EQ(list.m_nSelected, 1);
}

TEST_F(MacPrefixFileTest, ValidTokensAreKeptInFileOrderWhereverTheyStand) {
    WriteFileBytes("QAN640mac.conf", "AA:BB:CC 11:22:33\r\njunk 02:3a:7c\t44:55:66\n\n  77:88:99");
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"AA:BB:CC", "11:22:33", "44:55:66", "77:88:99", "02:3A:7C"}));
    EXPECT_EQ(list.m_nSelected, 4);
}

TEST_F(MacPrefixFileTest, EnormousAndBinaryTokensAreSkipped) {
    std::string content(1 << 20, 'F');
    content.append(std::string(24 << 20, '\0'));
    content.append("\n11:22:33\n");
    content.append(std::string(CTokenReader::kMaxTokenLength, 'A') + "0E:91:C8\n");
    content.append(std::string("02:3A:7C\0\n", 10));
    content.append("\x80\xff\xfe 44:55:66");
    WriteFileBytes("QAN640mac.conf", content);

    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, (Entries{"11:22:33", "44:55:66", "02:3A:7C"}));
    EXPECT_EQ(list.m_nSelected, 2);
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf").size(), content.size());
}

TEST_F(MacPrefixFileTest, AFileOfBinaryNoiseGivesTheBuiltInList) {
    std::mt19937 random(640);
    std::string noise(4 << 20, '\0');
    for (char& byte : noise)
        byte = char(random());
    WriteFileBytes("QAN640mac.conf", noise);
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, kBuiltInList);
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), kBuiltInFile);
}

TEST_F(MacPrefixFileTest, AnUnreadableAndUnwritableFileStillGivesTheBuiltInList) {
    // A directory in the file's place: opening it for reading works here but reading fails, and it cannot
    // be opened for writing.
    ASSERT_TRUE(QDir(m_workDir.Path()).mkdir("QAN640mac.conf"));
    CMacPrefixList list = LoadMacPrefixList();
    EXPECT_EQ(list.m_entries, kBuiltInList);
    EXPECT_EQ(list.m_nSelected, 0);
    EXPECT_TRUE(QFileInfo("QAN640mac.conf").isDir());
    EXPECT_FALSE(WriteBuiltInMacPrefixFile());
}

TEST_F(MacPrefixFileTest, APipeInTheFilesPlaceIsNeitherWaitedOnNorWritten) {
    ASSERT_EQ(mkfifo("QAN640mac.conf", 0600), 0);
    auto loading = std::async(std::launch::async, [] { return LoadMacPrefixList(); });
    bool bHung = false;
    // A load stuck in open() is set free by a partner opening the other end, so that the test can end.
    while (loading.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        bHung = true;
        for (int flags : {O_RDONLY, O_WRONLY})
            if (int fd = open("QAN640mac.conf", flags | O_NONBLOCK); fd >= 0)
                close(fd);
    }
    EXPECT_FALSE(bHung) << "the load waited on the pipe";
    EXPECT_EQ(loading.get().m_entries, kBuiltInList);
    EXPECT_FALSE(WriteBuiltInMacPrefixFile());
    EXPECT_TRUE(QFileInfo("QAN640mac.conf").exists() && !QFileInfo("QAN640mac.conf").isFile());
}

TEST_F(MacPrefixFileTest, OnlyTheWorkingDirectoryIsLookedAt) {
    ASSERT_TRUE(QDir(m_workDir.Path()).mkdir("sub"));
    WriteFileBytes("sub/QAN640mac.conf", "AA:BB:CC\n");
    ASSERT_TRUE(QDir::setCurrent(QDir(m_workDir.Path()).filePath("sub")));
    EXPECT_EQ(LoadMacPrefixList().m_entries, (Entries{"AA:BB:CC", "02:3A:7C"}));
    ASSERT_TRUE(QDir::setCurrent(m_workDir.Path()));
    EXPECT_EQ(LoadMacPrefixList().m_entries, kBuiltInList);
    EXPECT_EQ(ReadFileBytes("sub/QAN640mac.conf"), "AA:BB:CC\n");
}
} // namespace
