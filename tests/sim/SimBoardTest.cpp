// The virtual board itself, driven through a raw end of its port.
#include "tests/sim/SimBoardSession.h"

#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

// ---- Start, options, end ----

TEST(SimStart, FirstLineIsThePortAndSigtermEndsCleanly) {
    SBoard b({}, true, false);
    ASSERT_FALSE(b.sim->Port().empty());
    struct stat st {};
    ASSERT_EQ(stat(b.sim->Port().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    b.sim->Signal(SIGTERM);
    EXPECT_EQ(b.sim->WaitExit(2s), 0);
    auto entries = ReadTranscript(b.Transcript());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().strText, "exit: terminated");
}

TEST(SimStart, ExitOnCloseEndsWhenTheLastClientCloses) {
    SBoard b({"--exit-on-close"});
    ASSERT_TRUE(b.Ready());
    EXPECT_NE(b.Say("\n").find(kPrompt), std::string::npos);
    EXPECT_FALSE(b.sim->WaitExit(100ms)); // still open
    b.port->Close();
    EXPECT_EQ(b.sim->WaitExit(2s), 0);
}

// ---- First stage ----

TEST(SimFirstStage, SilentUntilTheWholeImageArrived) {
    QTemporaryDir dir;
    // An image that overlaps itself, sent after a prefix that starts it over: only the complete content at
    // the end of the stream counts.
    std::string image = "aab" + std::string(400, 'q') + "aab";
    std::string ldr = dir.path().toStdString() + "/u-boot_aut_rs232.ldr";
    std::ofstream(ldr, std::ios::binary) << image;
    SBoard b({"--ldr", ldr}, false);
    ASSERT_TRUE(b.Ready());

    b.port->Send("\r\nhelp\r\naa");
    b.port->Send(image.substr(0, 200));
    EXPECT_EQ(b.port->ReadQuiet(200ms), "");
    b.port->Send(image.substr(200, image.size() - 201));
    EXPECT_EQ(b.port->ReadQuiet(200ms), ""); // one byte short: still silent
    std::string boot = b.Say(image.substr(image.size() - 1));
    EXPECT_NE(boot.find("U-Boot"), std::string::npos);
    EXPECT_TRUE(boot.ends_with(kPrompt)) << boot;

    bool bReceived = false;
    for (const auto& e : ReadTranscript(b.Transcript()))
        bReceived = bReceived || e.strText == "first-stage image received";
    EXPECT_TRUE(bReceived);
    EXPECT_TRUE(TranscriptCommands(b.Transcript()).empty()); // nothing was taken as a command
}

TEST(SimFirstStage, SlowStartKeepsTheLineEndsThatArriveMeanwhile) {
    SBoard b({"--slow-start-ms", "600"});
    ASSERT_TRUE(b.Ready());
    b.port->Send("\n\n\n");
    // Its own prompt once up, then one for each waiting line end.
    std::string out = b.port->ReadUntil("QAN640> \r\nQAN640> \r\nQAN640> \r\nQAN640> ", 5s);
    EXPECT_EQ(Count(out, kPrompt), 4u) << out;
    EXPECT_NE(out.find("U-Boot"), std::string::npos);
}

TEST(SimFirstStage, OutputOnAClosedPortIsLostUnlessKept) {
    {
        SBoard b({}, true, false);
        std::this_thread::sleep_for(200ms);
        CRawPort port(b.sim->Port());
        EXPECT_EQ(port.ReadQuiet(200ms), "");
        port.Send("\n");
        EXPECT_EQ(port.ReadUntil(kPrompt, 2s), std::string("\r\n") + kPrompt);

        // What the last client left unread goes with it.
        port.Send("help\r");
        port.Close();
        std::this_thread::sleep_for(200ms);
        CRawPort again(b.sim->Port());
        EXPECT_EQ(again.ReadQuiet(200ms), "");
    }
    {
        SBoard b({"--keep-output-while-closed"}, true, false);
        std::this_thread::sleep_for(200ms);
        CRawPort port(b.sim->Port());
        std::string banner = port.ReadUntil(kPrompt, 2s);
        EXPECT_NE(banner.find("U-Boot"), std::string::npos);
        EXPECT_TRUE(banner.ends_with(kPrompt));
    }
}

// ---- Console rules ----

TEST(SimConsole, EchoPromptAndLineEnds) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    EXPECT_EQ(b.Say("\n"), std::string("\r\n") + kPrompt); // a bare line end brings the prompt
    // Every character is echoed; the prompt ends in a blank and no line end; CR and LF each end a line,
    // so the LF of CR LF is an empty line with a prompt of its own.
    std::string reply = b.Say("version\r\n");
    reply += b.port->ReadQuiet(150ms);
    EXPECT_EQ(reply, std::string("version\r\nU-Boot 2010.06-qan640\r\n") + kPrompt + "\r\n" + kPrompt);
    EXPECT_EQ(b.Say("frob x\r"), std::string("frob x\r\nUnknown command 'frob' - try 'help'\r\n") + kPrompt);
    // Backspace edits the line.
    EXPECT_EQ(b.Say("versiox\bn\r"), std::string("versiox\b \bn\r\nU-Boot 2010.06-qan640\r\n") + kPrompt);
}

TEST(SimConsole, EmptyLineRepeatsOnlyRepeatableCommands) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    b.Say("\n");
    std::string eeprom = b.Say("eeprom read 0x1000000 0x0 0x10\r\n");
    eeprom += b.port->ReadQuiet(150ms);
    EXPECT_EQ(Count(eeprom, "read: addr"), 2u) << eeprom;

    std::string tftp = b.Say("tftp 0x1000000 img.ldr\r");
    tftp += b.Say("\n");
    EXPECT_EQ(Count(tftp, "Bytes transferred = 672 (2a0 hex)"), 2u) << tftp;

    std::string setenv = b.Say("setenv a b\r\n");
    setenv += b.port->ReadQuiet(150ms);
    EXPECT_EQ(setenv, std::string("setenv a b\r\n") + kPrompt + "\r\n" + kPrompt);
}

TEST(SimConsole, TransferSwallowsInputAndCtrlCAbortsIt) {
    {
        SBoard b({});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        // The LF of CR LF arrives during the transfer and is swallowed: no repeat.
        std::string reply = b.Say("tftp 0x1000000 img.ldr\r\n");
        reply += b.port->ReadQuiet(150ms);
        EXPECT_EQ(Count(reply, "Bytes transferred"), 1u) << reply;
        EXPECT_TRUE(reply.ends_with(kPrompt));
    }
    {
        SBoard b({"--tftp-ms", "3000"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        b.Say("tftp 0x1000000 img.ldr\r", "Loading: ");
        auto t0 = steady_clock::now();
        std::string reply = b.Say("\x03");
        EXPECT_LT(steady_clock::now() - t0, 2s);
        EXPECT_NE(reply.find("Abort\r\n"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("Bytes transferred"), std::string::npos);
    }
}

TEST(SimConsole, TransferTranscript) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    std::ofstream(b.Path("big.ldr"), std::ios::binary) << std::string(70000, 'y');
    b.Say("\n");
    std::string reply = b.Say("tftp 0x1000000 big.ldr\r");
    std::string expected = "tftp 0x1000000 big.ldr\r\nUsing qan640-eth device\r\n"
                           "TFTP from server 10.0.0.2; our IP address is 10.0.0.50\r\n"
                           "Filename 'big.ldr'.\r\nLoad address: 0x1000000\r\nLoading: " +
                           std::string(65, '#') + "\r\n\t " + std::string(65, '#') + "\r\n\t " +
                           std::string(7, '#') + "\r\ndone\r\nBytes transferred = 70000 (11170 hex)\r\n" +
                           kPrompt;
    EXPECT_EQ(reply, expected);

    std::string missing = b.Say("tftp 0x1000000 nope.ldr\r");
    EXPECT_NE(
        missing.find("\r\nTFTP error: 'File not found' (1)\r\nNot retrying...\r\n" + std::string(kPrompt)),
        std::string::npos)
        << missing;
    // Names never leave the served directory.
    std::ofstream(b.dir.path().toStdString() + "/../qan640-sim-outside.ldr") << "secret";
    std::string escape = b.Say("tftp 0x1000000 ../qan640-sim-outside.ldr\r");
    std::remove((b.dir.path().toStdString() + "/../qan640-sim-outside.ldr").c_str());
    EXPECT_NE(escape.find("File not found"), std::string::npos) << escape;
}

TEST(SimConsole, EachRealismRuleCanBeSwitchedOff) {
    {
        SBoard b({"--no-echo"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        EXPECT_EQ(b.Say("version\r"), std::string("\r\nU-Boot 2010.06-qan640\r\n") + kPrompt);
    }
    {
        SBoard b({"--no-prompt-blank"});
        ASSERT_TRUE(b.Ready());
        EXPECT_EQ(b.Say("\n", "QAN640>"), "\r\nQAN640>");
        EXPECT_EQ(b.port->ReadQuiet(100ms), "");
    }
    {
        SBoard b({"--crlf-one-line"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        std::string reply = b.Say("eeprom read 0x1000000 0x0 0x10\r\n");
        reply += b.port->ReadQuiet(150ms);
        EXPECT_EQ(Count(reply, kPrompt), 1u) << reply;
    }
    {
        SBoard b({"--no-repeat"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        std::string reply = b.Say("eeprom read 0x1000000 0x0 0x10\r\n");
        reply += b.port->ReadQuiet(150ms);
        EXPECT_EQ(Count(reply, "read: addr"), 1u);
        EXPECT_EQ(Count(reply, kPrompt), 2u);
    }
    {
        SBoard b({"--no-unknown-message"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        EXPECT_EQ(b.Say("frob\r"), std::string("frob\r\n") + kPrompt);
    }
    {
        SBoard b({"--no-tftp-console-poll"});
        ASSERT_TRUE(b.Ready());
        b.Say("\n");
        std::string reply = b.Say("tftp 0x1000000 img.ldr\r\n");
        reply += b.Say("", "Bytes transferred", 2s);
        EXPECT_EQ(Count(reply, "Bytes transferred"), 2u) << reply;
    }
}

// ---- Power cycle, Linux, environment ----

TEST(SimPower, PowerCycleAfterTheEepromWriteBootsLinux) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    EXPECT_NE(Program(b, "0x2a0").find("done"), std::string::npos);
    std::string boot = b.port->ReadUntil("root:/> ", 5s);
    EXPECT_NE(boot.find("Hit ENTER to stop autoboot"), std::string::npos);
    EXPECT_NE(boot.find("Linux version"), std::string::npos);
    EXPECT_TRUE(boot.ends_with("\nroot:/> ")) << boot; // the shell prompt starts its line
}

TEST(SimPower, IncompleteImageLeavesTheBoardDark) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    Program(b, "0x29f"); // one byte short
    EXPECT_EQ(b.port->ReadQuiet(1500ms).find("U-Boot"), std::string::npos);
    bool bDark = false;
    for (const auto& e : ReadTranscript(b.Transcript()))
        bDark = bDark || e.strText.find("stays dark") != std::string::npos;
    EXPECT_TRUE(bDark);
}

TEST(SimPower, PowerCycleOnSignalOnly) {
    SBoard b({"--power-cycle-on-signal"});
    ASSERT_TRUE(b.Ready());
    Program(b, "0x2a0");
    EXPECT_EQ(b.port->ReadQuiet(400ms).find("U-Boot"), std::string::npos);
    b.sim->Signal(SIGUSR1);
    EXPECT_NE(b.port->ReadUntil("root:/> ", 5s).find("root:/> "), std::string::npos);
}

TEST(SimPower, RebootCountdownStopsOnAnyKeyOrBootsLinux) {
    SBoard b({"--bootdelay", "3"});
    ASSERT_TRUE(b.Ready());
    Program(b, "0x2a0");
    b.port->ReadUntil("root:/> ", 8s);

    std::string reboot = b.Say("reboot\r", "autoboot:  3");
    EXPECT_NE(reboot.find("Restarting system."), std::string::npos);
    // The key that stops it is used up without an echo; the rest is the command line.
    std::string stopped = b.Say("xversion\r", "U-Boot 2010.06-qan640\r\n" + std::string(kPrompt));
    EXPECT_TRUE(stopped.starts_with("\b\b 0\r\n" + std::string(kPrompt) + "version\r\n")) << stopped;
    EXPECT_EQ(stopped.find("Linux version"), std::string::npos);

    // Left alone, the countdown runs out and Linux comes up again.
    b.Say("reset\r", "autoboot");
    EXPECT_NE(b.port->ReadUntil("root:/> ", 5s).find("Linux version"), std::string::npos);
}

TEST(SimPower, SavedMacReachesLinuxAndTheHook) {
    QTemporaryDir hookDir;
    std::string hookFile = hookDir.path().toStdString() + "/hook.txt";
    SBoard b({"--hook", "echo \"mac=$QAN640_MAC\" >> '" + hookFile + "'"});
    ASSERT_TRUE(b.Ready());
    Program(b, "0x2a0");
    b.port->ReadUntil("root:/> ", 5s);
    b.Say("reboot\r", "autoboot");
    b.Say("\r");

    // Without saveenv the reset forgets the address.
    b.Say("setenv bootargs root=/dev/mtdblock1 ethaddr=02:00:00:00:00:01\r");
    EXPECT_NE(b.Say("reset\r", "root:/> ", 5s).find("eth0: no MAC address stored"), std::string::npos);

    b.Say("reboot\r", "autoboot");
    b.Say("\r");
    b.Say("setenv bootargs root=/dev/mtdblock1 rw ethaddr=02:00:00:00:00:02\r");
    EXPECT_NE(b.Say("saveenv\r").find("done"), std::string::npos);
    std::string linux = b.Say("reset\r", "root:/> ", 5s);
    EXPECT_NE(linux.find("eth0: MAC address 02:00:00:00:00:02"), std::string::npos) << linux;
    EXPECT_NE(b.Say("ifconfig\r", "root:/> ").find("HWaddr 02:00:00:00:00:02"), std::string::npos);

    // Once per Linux boot, with the address that boot used.
    std::this_thread::sleep_for(300ms);
    std::ifstream in(hookFile);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"mac=", "mac=", "mac=02:00:00:00:00:02"}));
}

// ---- Transcript, pacing, hang-up ----

TEST(SimTranscript, CommandsAndPromptsCarryTheSharedClock) {
    SBoard b({});
    ASSERT_TRUE(b.Ready());
    b.Say("\n");
    double before = MonotonicSeconds();
    b.Say("setenv x 1\r");
    double after = MonotonicSeconds();
    // The board notes the prompt once its last byte is out, so the note may trail the bytes a little.
    std::vector<STranscriptEntry> entries;
    const STranscriptEntry* cmd = nullptr;
    const STranscriptEntry* prompt = nullptr;
    for (auto deadline = steady_clock::now() + 3s; !prompt && steady_clock::now() < deadline;) {
        entries = ReadTranscript(b.Transcript());
        cmd = prompt = nullptr;
        for (const auto& e : entries) {
            if (e.strKind == "CMD" && e.strText == "setenv x 1")
                cmd = &e;
            else if (cmd && !prompt && e.strKind == "PROMPT")
                prompt = &e;
        }
        if (!prompt)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(cmd && prompt);
    EXPECT_GE(cmd->dTime, before);
    EXPECT_LE(prompt->dTime, after);
    EXPECT_LE(cmd->dTime, prompt->dTime);

    b.Say("a\x01\"b\r");
    EXPECT_EQ(TranscriptCommands(b.Transcript()).back(),
              "a\\x22b"); // control character dropped, quote escaped
}

TEST(SimPacing, LinePacingTakesTheLineTime) {
    // 4000 bytes at 57600 baud take about 0.69 s; at full speed a few milliseconds. Loose bounds.
    auto timeReply = [](const char* pace) {
        SBoard b({"--pace", pace, "--fault", "garbage=4000"});
        b.port->Send("\n");
        auto t0 = steady_clock::now();
        std::string reply = b.port->ReadUntil(kPrompt, 5s);
        EXPECT_GE(reply.size(), 4000u);
        return steady_clock::now() - t0;
    };
    EXPECT_GT(timeReply("line"), 400ms);
    EXPECT_LT(timeReply("full"), 400ms);
}

TEST(SimHangup, TheDeviceVanishesAtTheChosenStage) {
    SBoard b({"--fault", "hangup=setenv"});
    ASSERT_TRUE(b.Ready());
    b.Say("\n");
    std::string port = b.sim->Port();
    b.port->Send("setenv a b\r");
    b.port->ReadUntil("never", 1s);
    EXPECT_EQ(b.sim->WaitExit(2s), 0);
    struct stat st {};
    EXPECT_NE(stat(port.c_str(), &st), 0);
    auto entries = ReadTranscript(b.Transcript());
    bool bHangup = false;
    for (const auto& e : entries)
        bHangup = bHangup || e.strText.starts_with("hang-up at setenv");
    EXPECT_TRUE(bHangup);
}
