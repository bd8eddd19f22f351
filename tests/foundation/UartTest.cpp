#include "links/Uart.h"
#include "app/DebugOutput.h"
#include "tests/support/Pty.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace std::chrono;
using namespace std::chrono_literals;

TEST(Uart, Smoke) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    pty.Send(std::string("\x00\xff", 2));
    EXPECT_EQ(uart.ReadByte(), 0);
    EXPECT_EQ(uart.ReadByte(), 255);
    auto t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByte(), -2);
    printf("idle %lld ms\n", (long long)duration_cast<milliseconds>(steady_clock::now() - t0).count());
    pty.HangUp();
    t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByte(), -2);
    EXPECT_EQ(uart.ReadByte(), -2);
    printf("hangup %lld ms\n", (long long)duration_cast<milliseconds>(steady_clock::now() - t0).count());
}
