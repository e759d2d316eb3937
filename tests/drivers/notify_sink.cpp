// Test driver: a service manager's notification socket (sd_notify(3)).
//
//   notify_sink SOCKET_PATH LOG DEVICE_LOG
//
// Binds an AF_UNIX datagram socket at SOCKET_PATH and appends one line per
// notification to LOG until SIGTERM or SIGINT: the milliseconds since the
// sink started, then the datagram with its newlines shown as '|'. A READY=1
// datagram is followed by "device-started 0|1": whether the emulated
// device's command log (DEVICE_LOG) already held the start command when it
// arrived.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

volatile sig_atomic_t stop = 0;

void OnSignal(int)
{
    stop = 1;
}

double NowMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

bool DeviceStarted(const char* deviceLog)
{
    std::ifstream in(deviceLog);
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find(" start ") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: notify_sink SOCKET_PATH LOG DEVICE_LOG\n");
        return 2;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", argv[1]);
    unlink(argv[1]);
    if (fd < 0 || bind(fd, (sockaddr*)&address, sizeof(address)) != 0) {
        perror(argv[1]);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    FILE* log = fopen(argv[2], "w");
    if (log == nullptr) {
        perror(argv[2]);
        return 1;
    }
    double start = NowMs();
    char datagram[4096];
    while (!stop) {
        ssize_t got = recv(fd, datagram, sizeof(datagram) - 1, 0);
        if (got < 0)
            continue;
        datagram[got] = '\0';
        for (char* p = datagram; *p; p++)
            if (*p == '\n')
                *p = '|';
        fprintf(log, "%.0f %s\n", NowMs() - start, datagram);
        if (strstr(datagram, "READY=1") != nullptr)
            fprintf(log, "%.0f device-started %d\n", NowMs() - start, DeviceStarted(argv[3]) ? 1 : 0);
        fflush(log);
    }
    fclose(log);
    unlink(argv[1]);
    return 0;
}
