// Serial-port reader. The port keeps its line settings except the speed;
// every chunk read is appended to the log, which is opened and closed per
// chunk so that it is complete on disk whenever the acknowledgement goes out.
#include "sp.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const speed_t SP_BAUD_RATE = B115200;
const char SP_LOG_NAME[] = "IncomingData.txt";
const mode_t SP_LOG_MODE = 0666;  // less the umask, as fopen creates files
const char SP_ACK[] = "Reading done\n";
const size_t SP_ACK_SIZE = sizeof SP_ACK - 1;  // 13 bytes, no NUL
// One byte of the receive buffer always stays 0, so its text is terminated.
const size_t SP_BUFFER_SIZE = 256;
const size_t SP_READ_MAX = SP_BUFFER_SIZE - 1;
// Between attempts to open the port again after the far end hung up.
const unsigned int SP_REOPEN_PAUSE_S = 1;

// Sets both speeds; character size, parity and modes stay as they were.
void SetPortSpeed(int fd)
{
    struct termios options;
    if (tcgetattr(fd, &options) != 0)
        return;
    cfsetispeed(&options, SP_BAUD_RATE);
    cfsetospeed(&options, SP_BAUD_RATE);
    tcsetattr(fd, TCSANOW, &options);
}

// Opens the port and sets its speed; the descriptor, or -1. select() can
// only watch descriptors below FD_SETSIZE.
int OpenPort()
{
    int fd = open(sp_port_name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= FD_SETSIZE) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0)
        SetPortSpeed(fd);
    return fd;
}

// The far end hung up: the descriptor reads as ready but yields nothing,
// and would do so at once every time. It is given up, and the port opened
// again after a pause, for as long as it takes.
int ReopenPort(int fd)
{
    close(fd);
    for (;;) {
        sleep(SP_REOPEN_PAUSE_S);
        int reopened = OpenPort();
        if (reopened >= 0)
            return reopened;
    }
}

// Appends the buffer's text (up to its first NUL) to the log. The log is
// written only as a regular file reached without a symbolic link, so that
// the name cannot lead the data into another file, a FIFO or a device (a
// FIFO without a reader must not block the open either). A log that cannot
// be opened loses the chunk, nothing else.
void AppendToLog(const char* text)
{
    int log = open(SP_LOG_NAME, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, SP_LOG_MODE);
    if (log < 0)
        return;
    struct stat st;
    if (fstat(log, &st) == 0 && S_ISREG(st.st_mode)) {
        ssize_t written = write(log, text, strlen(text));
        (void)written;
    }
    close(log);
}

}  // namespace

char sp_port_name[SP_PORT_NAME_SIZE] = "/dev/ttyS1";

int initsp()
{
    int fd = OpenPort();
    if (fd < 0) {
        printf("Error unable to open port: %s\n", sp_port_name);
        return -1;
    }

    // The thread runs until the process ends and is never joined.
    pthread_t thread;
    if (pthread_create(&thread, nullptr, spread, (void*)(intptr_t)fd) != 0) {
        close(fd);
        return -1;
    }
    pthread_detach(thread);
    return 0;
}

void* spread(void* arg)
{
    int fd = (int)(intptr_t)arg;
    int done = 1;
    char buffer[SP_BUFFER_SIZE];
    fd_set readfs;

    while (done == 1) {
        memset(buffer, 0, sizeof buffer);
        FD_ZERO(&readfs);
        FD_SET(fd, &readfs);
        int ready = select(fd + 1, &readfs, nullptr, nullptr, nullptr);
        // An interrupted wait leaves the set undefined: wait again.
        if (ready < 0 && errno == EINTR)
            continue;
        // A port that is ready but yields nothing, or cannot be waited on,
        // has hung up: nothing to log or acknowledge.
        ssize_t got = ready > 0 ? read(fd, buffer, SP_READ_MAX) : -1;
        if (got <= 0) {
            fd = ReopenPort(fd);
            continue;
        }
        AppendToLog(buffer);
        ssize_t sent = write(fd, SP_ACK, SP_ACK_SIZE);
        (void)sent;
        memset(buffer, 0, sizeof buffer);
    }
    return nullptr;
}
