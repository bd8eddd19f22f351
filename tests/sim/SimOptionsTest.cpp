// The virtual board's command line: what --help lists, and options it refuses before it makes a port.
#include "tests/dialogue/SimProcess.h"

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(SimStart, HelpListsTheOptionsAndFaults) {
    auto run = CSimProcess::RunToEnd({"--help"}, 5s);
    EXPECT_EQ(run.nExit, 0);
    for (const char* text : {"Usage: qan640-sim", "--ldr", "--start-in-monitor", "--pace", "--transcript",
                             "--hook", "no-shell-after-reset", "hangup=STAGE", "SIGUSR1"})
        EXPECT_NE(run.strOut.find(text), std::string::npos) << text;
}

TEST(SimStart, BadOptionsAreRefusedWithAMessageNamingThem) {
    QTemporaryDir dir;
    std::string empty = dir.path().toStdString() + "/empty.ldr";
    std::ofstream(empty).close();
    struct SCase {
        std::vector<std::string> args;
        const char* mentions;
    } cases[] = {
        {{"--frobnicate"}, "--frobnicate"},
        {{"--pace", "fast"}, "fast"},
        {{"--boot-ms", "abc"}, "--boot-ms"},
        {{"--boot-ms", "-5"}, "--boot-ms"},
        {{"--boot-ms"}, "--boot-ms"},
        {{"--no-echo=1"}, "--no-echo"},
        {{"--fault", "meteor"}, "meteor"},
        {{"--fault", "hangup=moon"}, "moon"},
        {{"--fault", "garbage=0"}, "garbage"},
        {{"--fault", "tftp-error=3"}, "tftp-error"},
        {{"--ldr", "/nonexistent/first.ldr"}, "/nonexistent/first.ldr"},
        {{"--ldr", empty}, "empty"},
        {{"--tftp-dir", "/nonexistent/dir"}, "/nonexistent/dir"},
        {{"--transcript", "/nonexistent/dir/t.txt"}, "/nonexistent/dir/t.txt"},
    };
    for (const auto& c : cases) {
        auto run = CSimProcess::RunToEnd(c.args, 5s);
        EXPECT_EQ(run.nExit, 2) << c.args[0];
        EXPECT_TRUE(run.strOut.empty()) << c.args[0]; // no port line
        EXPECT_EQ(run.strErr.rfind("qan640-sim: ", 0), 0u) << run.strErr;
        EXPECT_NE(run.strErr.find(c.mentions), std::string::npos) << run.strErr;
    }
}
