// Serial-port reader. The port keeps its line settings except the speed;
// every chunk read is appended to the log, which is opened and closed per
// chunk so that it is complete on disk whenever the acknowledgement goes out.
#include "sp.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const speed_t SP_BAUD_RATE = B115200;
const char SP_LOG_NAME[] = "IncomingData.txt";
const char SP_ACK[] = "Reading done\n";
const size_t SP_ACK_SIZE = sizeof SP_ACK - 1;  // 13 bytes, no NUL
// One byte of the receive buffer always stays 0, so its text is terminated.
const size_t SP_BUFFER_SIZE = 256;
const size_t SP_READ_MAX = SP_BUFFER_SIZE - 1;

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

// Appends the buffer's text (up to its first NUL) to the log. A log that
// cannot be opened loses the chunk, nothing else.
void AppendToLog(const char* text)
{
    FILE* log = fopen(SP_LOG_NAME, "a+");
    if (!log)
        return;
    fwrite(text, 1, strlen(text), log);
    fclose(log);
}

}  // namespace

char sp_port_name[SP_PORT_NAME_SIZE] = "/dev/ttyS1";

int initsp()
{
    int fd = open(sp_port_name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    // select() can only watch descriptors below FD_SETSIZE.
    if (fd >= FD_SETSIZE) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        printf("Error unable to open port: %s\n", sp_port_name);
        return -1;
    }

    SetPortSpeed(fd);

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
        // An interrupted wait leaves the set undefined: wait again.
        if (select(fd + 1, &readfs, nullptr, nullptr, nullptr) > 0 && FD_ISSET(fd, &readfs)) {
            // A read that obtains nothing leaves the buffer empty: nothing
            // is logged, but the chunk is still acknowledged.
            ssize_t got = read(fd, buffer, SP_READ_MAX);
            (void)got;
            AppendToLog(buffer);
            ssize_t sent = write(fd, SP_ACK, SP_ACK_SIZE);
            (void)sent;
        }
        memset(buffer, 0, sizeof buffer);
    }
    return nullptr;
}
