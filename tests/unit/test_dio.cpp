// Status LEDs over a stand-in register file: a sparse regular file that
// reaches past the register block's offset is mapped instead of physical
// memory, and the registers are set and inspected through the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dio.h"

namespace {

const off_t BLOCK_OFFSET = 0xE8000000;
const off_t IN_REGISTER = BLOCK_OFFSET + 4;
const off_t OUT_REGISTER = BLOCK_OFFSET + 8;

class DioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dirTemplate[] = "/tmp/vozirev_dio_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dirTemplate));
        m_dir = dirTemplate;
        m_path = m_dir + "/mem";
        m_fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(0, ftruncate(m_fd, BLOCK_OFFSET + getpagesize()));
        dio_mem_path = m_path.c_str();
    }
    void TearDown() override
    {
        terminateDIO();
        dio_mem_path = "/dev/mem";
        if (m_fd >= 0)
            close(m_fd);
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }

    // Registers are native 32-bit words.
    void SetRegister(off_t where, uint32_t value)
    {
        ASSERT_EQ((ssize_t)sizeof value, pwrite(m_fd, &value, sizeof value, where));
    }
    uint32_t Register(off_t where)
    {
        uint32_t value = 0;
        EXPECT_EQ((ssize_t)sizeof value, pread(m_fd, &value, sizeof value, where));
        return value;
    }
    uint32_t SwitchFrom(uint32_t input, int LED, int status)
    {
        SetRegister(IN_REGISTER, input);
        switch_LED(LED, status);
        return Register(OUT_REGISTER);
    }

    std::string m_dir;
    std::string m_path;
    int m_fd = -1;
};

// Declared first: in a process running the whole file, it runs before any
// LED is switched.
TEST_F(DioTest, StatusIsZeroUntilSetAndRemembersEachLed)
{
    EXPECT_EQ(0, get_led_status(LED_SERVER_CONN));
    EXPECT_EQ(0, get_led_status(LED_CHANNEL_1));
    EXPECT_EQ(0, get_led_status(LED_CHANNEL_2));
    ASSERT_EQ(0, initDIO());

    switch_LED(LED_CHANNEL_2, 1);
    EXPECT_EQ(1, get_led_status(LED_CHANNEL_2));
    EXPECT_EQ(0, get_led_status(LED_SERVER_CONN));
    EXPECT_EQ(0, get_led_status(LED_CHANNEL_1));

    switch_LED(LED_CHANNEL_1, 1);
    switch_LED(LED_CHANNEL_2, 0);
    EXPECT_EQ(1, get_led_status(LED_CHANNEL_1));
    EXPECT_EQ(0, get_led_status(LED_CHANNEL_2));
    EXPECT_EQ(0, get_led_status(LED_SERVER_CONN));
}

TEST_F(DioTest, SwitchingWritesTheInputWithTheLedBitChanged)
{
    ASSERT_EQ(0, initDIO());
    EXPECT_EQ(0xFFFFEFFFu, SwitchFrom(0xFFFFFFFF, LED_CHANNEL_1, 1));
    EXPECT_EQ(0x00001000u, SwitchFrom(0x00000000, LED_CHANNEL_1, 0));

    // Status 1 clears the LED's bit, status 0 sets it; every other bit
    // is written back as the input register read.
    const uint32_t patterns[] = {0xFFFFFFFF, 0x00000000, 0x5A5A5A5A, 0xA5A5A5A5, 0x12345678};
    const int leds[] = {LED_SERVER_CONN, LED_CHANNEL_1, LED_CHANNEL_2};
    const uint32_t masks[] = {0x400, 0x1000, 0x4000};
    for (uint32_t in : patterns) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(in & ~masks[i], SwitchFrom(in, leds[i], 1)) << std::hex << in << " " << leds[i];
            EXPECT_EQ(in | masks[i], SwitchFrom(in, leds[i], 0)) << std::hex << in << " " << leds[i];
        }
    }

    // Any non-zero status switches the LED on and is remembered as given.
    EXPECT_EQ(0xFFFFBFFFu, SwitchFrom(0xFFFFFFFF, LED_CHANNEL_2, 5));
    EXPECT_EQ(5, get_led_status(LED_CHANNEL_2));
}

TEST_F(DioTest, TheOutputFollowsTheInputNotTheLastOutput)
{
    ASSERT_EQ(0, initDIO());
    SetRegister(OUT_REGISTER, 0x12345678);
    EXPECT_EQ(0xFFFF0400u, SwitchFrom(0xFFFF0000, LED_SERVER_CONN, 0));
    // The input register itself is left alone.
    EXPECT_EQ(0xFFFF0000u, Register(IN_REGISTER));
}

TEST_F(DioTest, OtherLineNumbersWriteNothing)
{
    ASSERT_EQ(0, initDIO());
    switch_LED(LED_SERVER_CONN, 1);
    const int others[] = {0, 1, 10, 12, 14, 16, 32, 33, -1, 1000};
    for (int line : others) {
        SetRegister(OUT_REGISTER, 0xDEADBEEF);
        SetRegister(IN_REGISTER, 0x0F0F0F0F);
        switch_LED(line, 1);
        switch_LED(line, 0);
        EXPECT_EQ(0xDEADBEEFu, Register(OUT_REGISTER)) << line;
        EXPECT_EQ(0, get_led_status(line)) << line;
    }
    EXPECT_EQ(1, get_led_status(LED_SERVER_CONN));
}

TEST_F(DioTest, NothingIsWrittenOnceTerminated)
{
    ASSERT_EQ(0, initDIO());
    terminateDIO();
    SetRegister(OUT_REGISTER, 0xCAFEF00D);
    SetRegister(IN_REGISTER, 0);
    switch_LED(LED_CHANNEL_1, 0);
    EXPECT_EQ(0xCAFEF00Du, Register(OUT_REGISTER));

    // And it maps again after a new initDIO.
    ASSERT_EQ(0, initDIO());
    EXPECT_EQ(0x1000u, SwitchFrom(0, LED_CHANNEL_1, 0));
}

TEST_F(DioTest, MissingDeviceFailsQuietly)
{
    std::string missing = m_dir + "/no-such-file";
    dio_mem_path = missing.c_str();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, initDIO());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(DioTest, RefusedMappingIsReportedAndTheDeviceClosed)
{
    // The null device opens read-write but cannot be mapped.
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);  // the lowest free descriptor number

    dio_mem_path = "/dev/null";
    testing::internal::CaptureStdout();
    int result = initDIO();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, result);
    EXPECT_EQ("\nmmap failed with error : " + std::to_string(ENODEV) + "\n", out);

    int next = open("/dev/null", O_RDONLY);
    EXPECT_EQ(probe, next) << "the descriptor of the refused device was not closed";
    close(next);

    // With no mapping, switching writes nothing and remembers nothing.
    dio_mem_path = m_path.c_str();
    SetRegister(OUT_REGISTER, 0x0BADF00D);
    int before = get_led_status(LED_CHANNEL_2);
    switch_LED(LED_CHANNEL_2, before ? 0 : 1);
    EXPECT_EQ(0x0BADF00Du, Register(OUT_REGISTER));
    EXPECT_EQ(before, get_led_status(LED_CHANNEL_2));
}

}  // namespace
