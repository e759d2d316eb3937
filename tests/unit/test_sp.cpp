// Serial-port reader against a pseudo-terminal: the reader thread gets the
// slave side as its port, the test plays the far end on the master side and
// checks the log in a temporary working directory and the acknowledgements.
//
// The reader thread never returns, so it is started once per process (in
// the suite set-up) and stays parked in its wait on the slave, which the
// test keeps open together with the master until the process ends. The
// hang-up test starts a second reader on lines of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
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

bool Exists(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

// A pseudo-terminal pair whose slave side carries raw bytes without echo,
// as a serial line does. The test keeps the slave open too, so that the
// line's settings stay as set here.
struct Line {
    int master = -1;
    int slave = -1;
    std::string slaveName;
};

bool OpenLine(Line* line)
{
    line->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line->master < 0 || grantpt(line->master) != 0 || unlockpt(line->master) != 0)
        return false;
    const char* slaveName = ptsname(line->master);
    if (!slaveName)
        return false;
    line->slaveName = slaveName;
    line->slave = open(slaveName, O_RDWR | O_NOCTTY);
    if (line->slave < 0)
        return false;
    struct termios raw;
    tcgetattr(line->slave, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(line->slave, TCSANOW, &raw) == 0;
}

// Counts the opens of one file of the working directory, so that a reader
// going round its loop shows without timing anything. Closes are watched
// too: inotify folds an event into an identical one still queued, so opens
// that follow each other directly would count once.
class OpenCounter {
public:
    explicit OpenCounter(const char* name) : name_(name)
    {
        fd_ = inotify_init1(IN_NONBLOCK);
        if (fd_ >= 0)
            inotify_add_watch(fd_, ".", IN_OPEN | IN_CLOSE);
    }
    ~OpenCounter()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    // Opens since the last call; an overflowing event queue counts as many.
    size_t Take()
    {
        size_t opens = 0;
        alignas(struct inotify_event) char events[16384];
        ssize_t n;
        while ((n = read(fd_, events, sizeof events)) > 0) {
            for (char* p = events; p < events + n;) {
                const struct inotify_event* event = (const struct inotify_event*)p;
                if (event->mask & IN_Q_OVERFLOW)
                    opens += 100000;
                else if ((event->mask & IN_OPEN) && event->len > 0 && name_ == event->name)
                    ++opens;
                p += sizeof(struct inotify_event) + event->len;
            }
        }
        return opens;
    }

private:
    std::string name_;
    int fd_ = -1;
};

class SerialReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // A speed and an input flag that initsp must change and keep
        // respectively.
        Line line;
        if (!OpenLine(&line) || line.slaveName.size() >= SP_PORT_NAME_SIZE)
            return;
        s_master = line.master;
        s_slave = line.slave;
        s_slaveName = line.slaveName;
        struct termios settings;
        tcgetattr(s_slave, &settings);
        settings.c_iflag |= IGNBRK;
        cfsetspeed(&settings, B9600);
        tcsetattr(s_slave, TCSANOW, &settings);
        tcgetattr(s_slave, &s_before);

        char dirTemplate[] = "/tmp/vozirev_sp_XXXXXX";
        if (!mkdtemp(dirTemplate))
            return;
        s_dir = dirTemplate;
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd) || chdir(s_dir.c_str()) != 0)
            return;
        s_savedCwd = cwd;

        strcpy(sp_port_name, s_slaveName.c_str());
        s_initResult = initsp();
        strcpy(sp_port_name, "/dev/ttyS1");
    }

    static void TearDownTestSuite()
    {
        // The master and slave stay open: closing them would hang up the
        // line, and the reader thread would go on trying to reopen it.
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
    std::string Replies(size_t atLeast, const std::string* log = nullptr, int master = s_master)
    {
        std::string got;
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            bool enough = got.size() >= atLeast * ACK.size() && (!log || Log() == *log);
            struct pollfd p = {master, POLLIN, 0};
            int ready = poll(&p, 1, enough ? QUIET_MS : 50);
            if (ready > 0 && (p.revents & POLLIN)) {
                char chunk[512];
                ssize_t n = read(master, chunk, sizeof chunk);
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

// Neither a link in the log's place nor anything but a regular file takes
// the data: it could lead it into another file, a FIFO or a device.
TEST_F(SerialReaderTest, TheLogIsOnlyARegularFileNeverALink)
{
    { std::ofstream create(LOG_NAME, std::ios::binary | std::ios::app); }
    std::string before = Log();
    ASSERT_EQ(0, rename(LOG_NAME, "saved.txt"));
    ASSERT_EQ(0, symlink("elsewhere.txt", LOG_NAME));
    Send("link");
    std::string linkReplies = Replies(1);
    bool followed = Exists("elsewhere.txt");
    unlink("elsewhere.txt");
    ASSERT_EQ(0, unlink(LOG_NAME));
    EXPECT_EQ(Acks(1), linkReplies);
    EXPECT_FALSE(followed);

    ASSERT_EQ(0, mkfifo(LOG_NAME, 0600));
    int reader = open(LOG_NAME, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Send("fifo");
    std::string fifoReplies = Replies(1);
    char leaked[16];
    ssize_t leakedBytes = read(reader, leaked, sizeof leaked);
    close(reader);
    ASSERT_EQ(0, unlink(LOG_NAME));
    EXPECT_EQ(Acks(1), fifoReplies);
    EXPECT_LE(leakedBytes, 0);

    ASSERT_EQ(0, rename("saved.txt", LOG_NAME));
    Send("kept");
    EXPECT_EQ(Acks(1), Replies(1));
    EXPECT_EQ(before + "kept", Log());
}

// After the far end hangs up, the port reads as ready but yields nothing.
// The reader must then wait, not go round its loop logging and
// acknowledging nothing, and take up the line again once it can be opened.
// The port is reached through a link in the working directory, so that the
// test can put a new line behind the name.
TEST_F(SerialReaderTest, AfterAHangUpTheReaderWaitsAndReopensThePort)
{
    static Line first, second;  // open until the process ends, as the reader may use them
    ASSERT_TRUE(OpenLine(&first));
    ASSERT_EQ(0, symlink(first.slaveName.c_str(), "line"));
    strcpy(sp_port_name, "line");
    ASSERT_EQ(0, initsp());
    std::string before = Log();
    ASSERT_EQ((ssize_t)2, write(first.master, "up", 2));
    EXPECT_EQ(Acks(1), Replies(1, nullptr, first.master));

    OpenCounter logOpens(LOG_NAME);
    ASSERT_TRUE(logOpens.Ok());
    ASSERT_EQ(0, unlink("line"));
    close(first.master);  // the hang-up; the line cannot be reopened for now
    close(first.slave);
    first.master = first.slave = -1;
    usleep(1500 * 1000);
    EXPECT_EQ(0u, logOpens.Take()) << "the reader spins after the hang-up";
    EXPECT_EQ(before + "up", Log());

    ASSERT_TRUE(OpenLine(&second));
    ASSERT_EQ(0, symlink(second.slaveName.c_str(), "line"));
    ASSERT_EQ((ssize_t)5, write(second.master, "again", 5));
    std::string expected = before + "upagain";
    EXPECT_EQ(Acks(1), Replies(1, &expected, second.master));
    EXPECT_EQ(expected, Log());
    // The reader now waits on the second line and no longer looks at the
    // name.
    strcpy(sp_port_name, "/dev/ttyS1");
    unlink("line");
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
