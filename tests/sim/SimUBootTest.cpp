// The virtual board answering as U-Boot does: its texts for success and failure, what becomes of the line
// end after a command, power lost during a write, the autoboot countdown and what a reset keeps.
#include "tests/sim/SimBoardSession.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace std::chrono;
using namespace std::chrono_literals;

// ---- U-Boot's own answers ----

TEST(SimAnswers, SuccessAndFailureInUBootsWords) {
    const std::string prompt = kPrompt;
    const char* kWrite = "eeprom write 0x1000000 0x0 0x2a0\r";
    const char* kTftp = "tftp 0x1000000 img.ldr\r";
    struct SCase {
        const char* name;
        std::vector<std::string> args;
        const char* command;
        std::string expected; // the end of the reply
    } cases[] = {
        {"write",
         {},
         kWrite,
         "\r\nEEPROM @0x50 write: addr 01000000  off 0000  count 672 ... done\r\n" + prompt},
        {"no eeprom command",
         {"--fault", "eeprom-unknown"},
         kWrite,
         "0x2a0\r\nUnknown command 'eeprom' - try 'help'\r\n" + prompt},
        // Silent failures: the SPI flash emulation's one word, and an I2C EEPROM that never acknowledges.
        {"past the end of an SPI EEPROM",
         {"--eeprom-on-spi"},
         "eeprom write 0x1000000 0x0 0x493e0\r",
         "count 300000 ... Invalid sector! done\r\n" + prompt},
        {"no acknowledge", {"--fault", "eeprom-nak"}, kWrite, "count 672 ... done\r\n" + prompt},
        {"read back", {}, "eeprom read 0x1010000 0x0 0x2a0\r", "count 672 ... done\r\n" + prompt},
        {"compare",
         {},
         "cmp.b 0x1000000 0x1000000 0x2a0\r",
         "Total of 672 byte(s) were the same\r\n" + prompt},
        {"compare differs",
         {},
         "cmp.b 0x1000000 0x1010000 0x2a0\r",
         "Total of 0 byte(s) were the same\r\n" + prompt},
        {"save",
         {},
         "saveenv\r",
         "saveenv\r\nSaving Environment to Flash... Un-Protected 2 sectors\r\nErasing Flash...\r\n.. done\r\n"
         "Erased 2 sectors\r\nWriting to Flash... done\r\nProtected 2 sectors\r\nOK\r\n" +
             prompt},
        {"save not erased",
         {"--fault", "saveenv-not-erased"},
         "saveenv\r",
         ".. done\r\nErased 2 sectors\r\nWriting to Flash... Flash not Erased\r\nProtected 2 "
         "sectors\r\nFailed (2)\r\n" +
             prompt},
        {"save timeout",
         {"--fault", "saveenv-write-timeout"},
         "saveenv\r",
         "Writing to Flash... Timeout writing to Flash\r\nProtected 2 sectors\r\nFailed (1)\r\n" + prompt},
        {"save in the EEPROM",
         {"--saveenv-eeprom"},
         "saveenv\r",
         "saveenv\r\nSaving environment to EEPROM...\r\nWriting 1024 bytes at offset 0x3fc00 ... done\r\n" +
             prompt},
        {"file not found",
         {"--fault", "tftp-not-found"},
         kTftp,
         "Loading: \r\nTFTP error: 'File not found' (1)\r\nNot retrying...\r\n" + prompt},
        {"server silent",
         {"--fault", "tftp-server-silent", "--net-timeout-ms", "20"},
         kTftp,
         "Loading: T T T T T T T T T T \r\nRetry count exceeded; starting again\r\n" + prompt},
        {"no host",
         {"--fault", "tftp-no-host", "--net-timeout-ms", "20"},
         kTftp,
         "Loading: \r\nARP Retry count exceeded; starting again\r\n" + prompt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SBoard b(c.args);
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        std::string reply = b.Say(c.command, c.expected);
        EXPECT_TRUE(reply.ends_with(c.expected)) << reply;
    }
}

// The LF of a command's CR LF is an empty line: a repeatable command runs again, any other gets a prompt,
// and a command that checks the console for Ctrl-C while it works has taken the LF away.
TEST(SimConsole, WhatFollowsTheLineEndOfACommand) {
    const char* kWrite = "eeprom write 0x1000000 0x0 0x2a0\r\n";
    struct SCase {
        std::vector<std::string> args;
        const char* command;
        size_t nPrompts;
        size_t nWrites;
    } cases[] = {
        {{}, kWrite, 2, 2},
        {{"--no-repeat"}, kWrite, 2, 1},
        {{"--eeprom-polls-console"}, kWrite, 1, 1},
        {{}, "saveenv\r\n", 1, 0},
        {{"--saveenv-eeprom"}, "saveenv\r\n", 2, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--power-cycle-on-signal");
        SBoard b(args);
        SCOPED_TRACE(std::string(c.command) + (c.args.empty() ? "" : c.args[0]));
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        std::string reply = b.Say(c.command);
        reply += b.port->ReadQuiet(300ms);
        EXPECT_EQ(Count(reply, kPrompt), c.nPrompts) << reply;
        EXPECT_EQ(Count(reply, "write: addr"), c.nWrites) << reply;
    }
}

TEST(SimConsole, TransferTakesOneWaitingBytePerCheck) {
    SBoard b({"--tftp-ms", "600"});
    ASSERT_TRUE(b.Ready());
    b.Say("\n");
    b.Say("tftp 0x1000000 img.ldr\r", "Loading: ");
    // More bytes than the transfer checks for Ctrl-C: the rest is a command line once it is done.
    std::string typed(40, 'x');
    std::string reply = b.Say(typed + "\r", "' - try 'help'\r\n" + std::string(kPrompt));
    EXPECT_NE(reply.find("Bytes transferred"), std::string::npos) << reply;
    size_t unknown = reply.find("Unknown command 'x");
    ASSERT_NE(unknown, std::string::npos) << reply;
    EXPECT_EQ(reply.find("Unknown command '" + typed + "'"), std::string::npos) << reply;
}

// Power taken away during a write (the first one or its repetition) leaves part of the image: dark.
TEST(SimPower, PowerLostDuringAWriteLeavesTheBoardDark) {
    const std::string header = "count 672 ... ";
    const std::string done = "done\r\n" + std::string(kPrompt);
    struct SCase {
        const char* name;
        std::string text; // the power goes once this has come nTimes
        size_t nTimes;
        bool bDark;
    } cases[] = {
        {"during the write", header, 1, true},
        {"during the repetition", header, 2, true},
        {"after the repetition", done, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SBoard b({"--power-cycle-on-signal", "--eeprom-ms", "1000"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        b.Say("tftp 0x1000000 img.ldr\r");
        b.port->Send("eeprom write 0x1000000 0x0 0x2a0\r\n");
        std::string got;
        for (auto deadline = steady_clock::now() + 4s;
             Count(got, c.text) < c.nTimes && steady_clock::now() < deadline;)
            got += b.port->ReadQuiet(20ms);
        ASSERT_EQ(Count(got, c.text), c.nTimes) << got;
        b.sim->Signal(SIGUSR1);
        std::string after = b.port->ReadUntil("root:/> ", c.bDark ? 1500ms : 5s);
        EXPECT_EQ(after.find("root:/> ") == std::string::npos, c.bDark) << after;
        bool bLost = false;
        for (const auto& e : ReadTranscript(b.Transcript()))
            bLost = bLost || e.strText == "power lost during the EEPROM write: the image is incomplete";
        EXPECT_EQ(bLost, c.bDark);
    }
}

TEST(SimPower, LineEndOnlyCountdownDropsOtherKeys) {
    SBoard b({"--bootdelay", "3", "--autoboot-line-end-only"});
    ASSERT_TRUE(b.Ready());
    Program(b, "0x2a0");
    b.port->ReadUntil("root:/> ", 8s);
    b.Say("reboot\r", "autoboot:  3");
    b.port->Send("x"); // neither stops it nor echoes
    EXPECT_EQ(b.port->ReadQuiet(100ms), "");
    std::string stopped = b.Say("\r");
    EXPECT_TRUE(stopped.ends_with(kPrompt)) << stopped;
    EXPECT_EQ(stopped.find("Linux version"), std::string::npos);
}

// What waits in the input when 'reset' runs: gone on a real UART, kept by an emulated one, where the LF of
// "reset\r\n" then stops the countdown.
TEST(SimPower, ResetKeepsWaitingInputOnlyWhenAsked) {
    for (bool bKeep : {false, true}) {
        SCOPED_TRACE(bKeep);
        std::vector<std::string> args = {"--bootdelay", "1"};
        if (bKeep)
            args.push_back("--keep-input-through-reset");
        SBoard b(args);
        ASSERT_TRUE(b.Ready());
        Program(b, "0x2a0");
        b.port->ReadUntil("root:/> ", 8s);
        b.Say("reboot\r", "autoboot");
        b.Say("\r");
        std::string stopped = "autoboot:  1\b\b 0\r\n" + std::string(kPrompt);
        std::string after = b.Say("reset\r\n", bKeep ? stopped : "root:/> ", 5s);
        EXPECT_EQ(after.find("Linux version") != std::string::npos, !bKeep) << after;
        EXPECT_EQ(after.find(stopped) != std::string::npos, bKeep) << after;
    }
}
