// Service manager notifications over the notification socket: see
// servicenotify.h for what is sent when, and where the capture run calls in.
#include "servicenotify.h"

#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "QBox.h"

namespace {

const unsigned long long USEC_PER_SEC = 1000000;
const unsigned int MESSAGE_SIZE = 512;  // a STATUS line with the longest path fits
const char CURRENT_DIRECTORY[] = ".";

// The socket and where its datagrams go; iNotifySocket -1 while off.
int iNotifySocket = -1;
struct sockaddr_un stNotifyAddress;
socklen_t szNotifyAddress = 0;
bool bSendFailureReported = false;

// Pings are due every half of this (0: no watchdog).
unsigned long long ullWatchdogUs = 0;
bool bReady = false;
char sRecording[NOTIFY_RECORDING_PATH_SIZE];

// What arrived since the last STATUS line.
unsigned long long ullStatusStartUs = 0;
unsigned long long ullVideoFrames = 0;
unsigned long long ullAudioFrames = 0;
unsigned long long ullBytes = 0;

// The current watchdog window: when it began, whether a recording write
// failed in it, and whether a sample arrived since the last tick.
unsigned long long ullPingStartUs = 0;
bool bPingWriteFailed = false;
bool bSampleSinceTick = false;

// A positive decimal number, nothing else around it.
bool ParsePositive(const char* sText, unsigned long long* pullValue)
{
    if (sText[0] < '0' || sText[0] > '9')
        return false;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long ullValue = strtoull(sText, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || ullValue == 0)
        return false;
    *pullValue = ullValue;
    return true;
}

// "/path" names a socket in the file system; "@name" one in the abstract
// namespace, whose address starts with a NUL byte and is as long as the name
// (unix(7)).
bool SetNotifyAddress(const char* sName)
{
    size_t szNameLength = strlen(sName);
    if ((sName[0] != '/' && sName[0] != '@') || szNameLength < 2 ||
        szNameLength >= sizeof(stNotifyAddress.sun_path))
        return false;
    memset(&stNotifyAddress, 0, sizeof(stNotifyAddress));
    stNotifyAddress.sun_family = AF_UNIX;
    memcpy(stNotifyAddress.sun_path, sName, szNameLength);
    if (sName[0] == '@')
        stNotifyAddress.sun_path[0] = '\0';
    szNotifyAddress = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + szNameLength +
                                  (sName[0] == '/' ? 1 : 0));
    return true;
}

int OpenNotifySocket()
{
    int iSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0)
        return -1;
    struct timeval stTimeout;
    stTimeout.tv_sec = 0;
    stTimeout.tv_usec = (suseconds_t)NOTIFY_SEND_TIMEOUT_MS * 1000;
    setsockopt(iSocket, SOL_SOCKET, SO_SNDTIMEO, &stTimeout, sizeof(stTimeout));
    return iSocket;
}

// The watchdog interval for this process, or 0 when there is none.
unsigned long long ReadWatchdogInterval()
{
    const char* sUsec = getenv("WATCHDOG_USEC");
    if (sUsec == nullptr)
        return 0;
    unsigned long long ullUsec = 0;
    if (!ParsePositive(sUsec, &ullUsec)) {
        printf("\nWATCHDOG_USEC=%s is not a number of microseconds: no watchdog pings.\n", sUsec);
        return 0;
    }
    const char* sPid = getenv("WATCHDOG_PID");
    if (sPid == nullptr)
        return ullUsec;
    unsigned long long ullPid = 0;
    if (!ParsePositive(sPid, &ullPid)) {
        printf("\nWATCHDOG_PID=%s is not a process id: no watchdog pings.\n", sPid);
        return 0;
    }
    return ullPid == (unsigned long long)getpid() ? ullUsec : 0;
}

int SendNotification(const char* sMessage)
{
    size_t szMessageLength = strlen(sMessage);
    ssize_t iSent = sendto(iNotifySocket, sMessage, szMessageLength, MSG_NOSIGNAL,
                           (const struct sockaddr*)&stNotifyAddress, szNotifyAddress);
    if (iSent == (ssize_t)szMessageLength)
        return 1;
    // Once per run: a service manager that has gone away would otherwise
    // fill the log at every tick.
    if (!bSendFailureReported) {
        printf("\nService notification could not be sent: %s\n", strerror(errno));
        bSendFailureReported = true;
    }
    return -1;
}

// Free MiB for an unprivileged writer on the recording's file system, or -1.
long long FreeSpaceMiB()
{
    struct statvfs64 stFs;
    const char* sPath = sRecording[0] != '\0' ? sRecording : CURRENT_DIRECTORY;
    if (statvfs64(sPath, &stFs) != 0)
        return -1;
    return (long long)(((unsigned long long)stFs.f_bavail * stFs.f_frsize) >> 20);
}

// Appends printf-formatted text to a message of MESSAGE_SIZE bytes; what
// does not fit is cut.
__attribute__((format(printf, 2, 3))) void Append(char* sMessage, const char* sFormat, ...)
{
    size_t szUsed = strlen(sMessage);
    va_list args;
    va_start(args, sFormat);
    vsnprintf(sMessage + szUsed, MESSAGE_SIZE - szUsed, sFormat, args);
    va_end(args);
}

// "recording PATH" or "not recording".
void AppendRecording(char* sMessage)
{
    if (sRecording[0] != '\0')
        Append(sMessage, "recording %s", sRecording);
    else
        Append(sMessage, "not recording");
}

// Events per second in tenths, rounded: 1500 frames in 50 s give 300.
unsigned long long TenthsPerSecond(unsigned long long ullCount, unsigned long long ullElapsedUs)
{
    return (ullCount * 10 * USEC_PER_SEC + ullElapsedUs / 2) / ullElapsedUs;
}

void StartStatusWindow(unsigned long long ullNowUs)
{
    ullStatusStartUs = ullNowUs;
    ullVideoFrames = 0;
    ullAudioFrames = 0;
    ullBytes = 0;
}

void StartPingWindow(unsigned long long ullNowUs)
{
    ullPingStartUs = ullNowUs;
    bPingWriteFailed = false;
    bSampleSinceTick = false;
}

void SendStatus(unsigned long long ullNowUs)
{
    unsigned long long ullElapsedUs = ullNowUs - ullStatusStartUs;
    unsigned long long ullVideo = TenthsPerSecond(ullVideoFrames, ullElapsedUs);
    unsigned long long ullAudio = TenthsPerSecond(ullAudioFrames, ullElapsedUs);
    unsigned long long ullKbps = (ullBytes * 8 * 1000 + ullElapsedUs / 2) / ullElapsedUs;
    char sMessage[MESSAGE_SIZE] = "";
    Append(sMessage, "STATUS=video %llu.%llu fps, ", ullVideo / 10, ullVideo % 10);
    Append(sMessage, "audio %llu.%llu fps, ", ullAudio / 10, ullAudio % 10);
    Append(sMessage, "%llu kbit/s, ", ullKbps);
    long long llFreeMiB = FreeSpaceMiB();
    if (llFreeMiB >= 0)
        Append(sMessage, "%lld MiB free, ", llFreeMiB);
    else
        Append(sMessage, "free space unknown, ");
    AppendRecording(sMessage);
    SendNotification(sMessage);
    StartStatusWindow(ullNowUs);
}

// A ping vouches for the window behind it, which ends with a sample that has
// just arrived: every recording write in it succeeded. A window without one
// leaves the service manager's timer running.
void EndPingWindow(unsigned long long ullNowUs)
{
    if (!bPingWriteFailed)
        SendNotification("WATCHDOG=1");
    StartPingWindow(ullNowUs);
}

}  // namespace

unsigned long long ServiceNotifyMonotonicUs()
{
    struct timespec stNow;
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return (unsigned long long)stNow.tv_sec * USEC_PER_SEC + (unsigned long long)stNow.tv_nsec / 1000;
}

ServiceNotifyClock pServiceNotifyClock = ServiceNotifyMonotonicUs;

int ServiceNotifyInit()
{
    ServiceNotifyClose();
    const char* sSocket = getenv(NOTIFY_SOCKET_ENV);
    if (sSocket == nullptr)
        return 0;
    if (!SetNotifyAddress(sSocket)) {
        printf("\nNOTIFY_SOCKET=%s is neither a socket path nor an abstract socket name: "
               "no service notifications.\n", sSocket);
        return 0;
    }
    iNotifySocket = OpenNotifySocket();
    if (iNotifySocket < 0) {
        printf("\nThe service notification socket could not be created: %s\n", strerror(errno));
        return 0;
    }
    ullWatchdogUs = ReadWatchdogInterval();
    return 1;
}

void ServiceNotifyRecording(const char* sPath)
{
    if (iNotifySocket < 0)
        return;
    snprintf(sRecording, sizeof(sRecording), "%s", sPath != nullptr ? sPath : "");
    // A line break in the name (from -p) would start a line of its own in
    // the datagram, which the service manager would read as an assignment.
    for (char* p = sRecording; *p != '\0'; p++)
        if ((unsigned char)*p < ' ')
            *p = '?';
}

int ServiceNotifyReady()
{
    if (iNotifySocket < 0)
        return 0;
    unsigned long long ullNowUs = pServiceNotifyClock();
    StartStatusWindow(ullNowUs);
    StartPingWindow(ullNowUs);
    bReady = true;
    char sMessage[MESSAGE_SIZE] = "READY=1\nSTATUS=Started encoding, ";
    AppendRecording(sMessage);
    return SendNotification(sMessage);
}

void ServiceNotifySample(unsigned int usStreamType, unsigned int ulSize, bool bWriteOk)
{
    if (iNotifySocket < 0)
        return;
    if (usStreamType == QBOX_STREAM_VIDEO)
        ullVideoFrames++;
    else if (usStreamType == QBOX_STREAM_AUDIO)
        ullAudioFrames++;
    ullBytes += ulSize;
    bSampleSinceTick = true;
    if (!bWriteOk)
        bPingWriteFailed = true;
}

void ServiceNotifyTick()
{
    if (iNotifySocket < 0 || !bReady)
        return;
    unsigned long long ullNowUs = pServiceNotifyClock();
    if (ullNowUs - ullStatusStartUs >= NOTIFY_STATUS_INTERVAL_US)
        SendStatus(ullNowUs);
    // Only a tick right after a sample ends a window, so that a device that
    // has gone silent gets no ping even from a loop that keeps ticking.
    if (ullWatchdogUs != 0 && bSampleSinceTick && ullNowUs - ullPingStartUs >= ullWatchdogUs / 2)
        EndPingWindow(ullNowUs);
    bSampleSinceTick = false;
}

int ServiceNotifyStopping()
{
    if (iNotifySocket < 0)
        return 0;
    bReady = false;
    return SendNotification("STOPPING=1\nSTATUS=Stopping");
}

void ServiceNotifyClose()
{
    if (iNotifySocket >= 0)
        close(iNotifySocket);
    iNotifySocket = -1;
    szNotifyAddress = 0;
    bSendFailureReported = false;
    ullWatchdogUs = 0;
    bReady = false;
    sRecording[0] = '\0';
    StartStatusWindow(0);
    StartPingWindow(0);
}
