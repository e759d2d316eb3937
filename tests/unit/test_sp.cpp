// Serial-port reader against a pseudo-terminal: the reader thread gets the
// slave side as its port, the test plays the far end on the master side and
// checks the log in a temporary working directory and the acknowledgements.
//
// The reader thread never returns, so it is started once per process (in
// the suite set-up) and stays parked in its wait on the slave, which the
// test keeps open together with the master until the process ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "sp.h"

namespace {

const char LOG_NAME[] = "IncomingData.txt";
const std::string ACK = "Reading done\n";
const int WAIT_LIMIT_MS = 10000;  // generous: the machine is shared
const int QUIET_MS = 300;         // no further acknowledgement this long

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class SerialReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (s_master < 0 || grantpt(s_master) != 0 || unlockpt(s_master) != 0)
            return;
        const char* slaveName = ptsname(s_master);
        if (!slaveName || strlen(slaveName) >= SP_PORT_NAME_SIZE)
            return;
        s_slaveName = slaveName;

        // The far side's view of the line: raw bytes, no echo, and a speed
        // and input flag that initsp must change and keep respectively.
        s_slave = open(slaveName, O_RDWR | O_NOCTTY);
        if (s_slave < 0)
            return;
        struct termios line;
        tcgetattr(s_slave, &line);
        cfmakeraw(&line);
        line.c_iflag |= IGNBRK;
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        cfsetspeed(&line, B9600);
        tcsetattr(s_slave, TCSANOW, &line);
        tcgetattr(s_slave, &s_before);

        char dirTemplate[] = "/tmp/vozirev_sp_XXXXXX";
        if (!mkdtemp(dirTemplate))
            return;
        s_dir = dirTemplate;
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd) || chdir(s_dir.c_str()) != 0)
            return;
        s_savedCwd = cwd;

        strcpy(sp_port_name, slaveName);
        s_initResult = initsp();
        strcpy(sp_port_name, "/dev/ttyS1");
    }

    static void TearDownTestSuite()
    {
        // The master and slave stay open: closing them would wake the
        // reader thread with a hang-up it would keep acknowledging.
        if (!s_savedCwd.empty() && chdir(s_savedCwd.c_str()) == 0) {
            unlink((s_dir + "/" + LOG_NAME).c_str());
            rmdir(s_dir.c_str());
        }
    }

    void SetUp() override
    {
        ASSERT_GE(s_master, 0) << "no pseudo-terminal";
        ASSERT_FALSE(s_savedCwd.empty()) << "no temporary working directory";
        ASSERT_EQ(0, s_initResult) << "initsp failed on " << s_slaveName;
    }

    std::string Log() { return ReadFile(LOG_NAME); }

    void Send(const std::string& bytes)
    {
        ASSERT_EQ((ssize_t)bytes.size(), write(s_master, bytes.data(), bytes.size()));
    }

    // Collects what comes back on the line until at least `atLeast`
    // acknowledgements arrived, the log reads `log` (when given), and then
    // nothing more came for a while.
    std::string Replies(size_t atLeast, const std::string* log = nullptr)
    {
        std::string got;
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            bool enough = got.size() >= atLeast * ACK.size() && (!log || Log() == *log);
            struct pollfd p = {s_master, POLLIN, 0};
            int ready = poll(&p, 1, enough ? QUIET_MS : 50);
            if (ready > 0 && (p.revents & POLLIN)) {
                char chunk[512];
                ssize_t n = read(s_master, chunk, sizeof chunk);
                if (n > 0)
                    got.append(chunk, (size_t)n);
                continue;
            }
            if (enough)
                return got;
            auto waited = std::chrono::steady_clock::now() - start;
            if (std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() > WAIT_LIMIT_MS)
                return got;
        }
    }

    static std::string Acks(size_t count)
    {
        std::string all;
        for (size_t i = 0; i < count; ++i)
            all += ACK;
        return all;
    }

    static int s_master;
    static int s_slave;
    static std::string s_slaveName;
    static std::string s_dir;
    static std::string s_savedCwd;
    static struct termios s_before;
    static int s_initResult;
};

int SerialReaderTest::s_master = -1;
int SerialReaderTest::s_slave = -1;
std::string SerialReaderTest::s_slaveName;
std::string SerialReaderTest::s_dir;
std::string SerialReaderTest::s_savedCwd;
struct termios SerialReaderTest::s_before;
int SerialReaderTest::s_initResult = -1;

TEST_F(SerialReaderTest, OnlyTheSpeedOfTheLineChanges)
{
    struct termios now;
    ASSERT_EQ(0, tcgetattr(s_slave, &now));
    EXPECT_EQ(B115200, cfgetispeed(&now));
    EXPECT_EQ(B115200, cfgetospeed(&now));
    EXPECT_EQ(s_before.c_iflag, now.c_iflag);
    EXPECT_EQ(s_before.c_oflag, now.c_oflag);
    EXPECT_EQ(s_before.c_lflag, now.c_lflag);
    EXPECT_EQ(s_before.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL),
              now.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL));
    EXPECT_EQ(0, memcmp(s_before.c_cc, now.c_cc, sizeof now.c_cc));
}

TEST_F(SerialReaderTest, ThreeBytesAreLoggedAndAcknowledged)
{
    std::string before = Log();
    Send("ABC");
    EXPECT_EQ(Acks(1), Replies(1));
    EXPECT_EQ(before + "ABC", Log());
}

TEST_F(SerialReaderTest, OnlyTheBytesBeforeANulAreLogged)
{
    std::string before = Log();
    Send(std::string("AB\0CD", 5));
    EXPECT_EQ(Acks(1), Replies(1));
    EXPECT_EQ(before + "AB", Log());
}

TEST_F(SerialReaderTest, ALongBurstIsReadInPiecesEachAcknowledged)
{
    std::string burst;
    for (int i = 0; i < 600; ++i)
        burst += (char)('!' + i % 90);
    std::string before = Log();
    Send(burst);
    // At most 255 bytes per read: at least three reads, one reply each.
    std::string expected = before + burst;
    std::string replies = Replies(3, &expected);
    size_t reads = replies.size() / ACK.size();
    EXPECT_GE(reads, 3u);
    EXPECT_EQ(Acks(reads), replies);
    EXPECT_EQ(expected, Log());
}

TEST_F(SerialReaderTest, AnExistingLogIsExtended)
{
    unlink(LOG_NAME);
    {
        std::ofstream earlier(LOG_NAME, std::ios::binary);
        earlier << "earlier line\n";
    }
    Send("next");
    EXPECT_EQ(Acks(1), Replies(1));
    Send("more");
    EXPECT_EQ(Acks(1), Replies(1));
    EXPECT_EQ("earlier line\nnextmore", Log());
}

TEST_F(SerialReaderTest, ALogThatCannotBeOpenedDropsTheChunkOnly)
{
    // A directory in the log's place cannot be opened for appending.
    std::string before = Log();
    rename(LOG_NAME, "saved.txt");
    ASSERT_EQ(0, mkdir(LOG_NAME, 0700));
    Send("lost");
    std::string replies = Replies(1);
    ASSERT_EQ(0, rmdir(LOG_NAME));
    rename("saved.txt", LOG_NAME);
    EXPECT_EQ(Acks(1), replies);

    // The reader carries on with the next chunk.
    Send("kept");
    EXPECT_EQ(Acks(1), Replies(1));
    EXPECT_EQ(before + "kept", Log());
}

TEST_F(SerialReaderTest, APortThatCannotBeOpenedIsReported)
{
    strcpy(sp_port_name, "/nonexistent/ttyS9");
    testing::internal::CaptureStdout();
    int result = initsp();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    strcpy(sp_port_name, "/dev/ttyS1");
    EXPECT_EQ(-1, result);
    EXPECT_EQ("Error unable to open port: /nonexistent/ttyS9\n", out);
}

}  // namespace
