// The C library calls the emulated device answers in place of a device
// driver. Opens of "/dev/Vozirev0" to "/dev/Vozirev9" get one end of a
// socket pair served by a device thread; every other path and descriptor
// goes straight to the C library. The interposers themselves do no I/O
// besides the real call, take no locks and never allocate, so they stay
// safe wherever the program calls them (signal handlers included).

// This file defines open() and open64() side by side: each must keep its
// own name, and the fortified inline wrappers must not take their place.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "emu.h"

namespace {

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*Open2Fn)(const char*, int);
typedef int (*OpenAtFn)(int, const char*, int, ...);
typedef int (*OpenAt2Fn)(int, const char*, int);
typedef ssize_t (*ReadFn)(int, void*, size_t);
typedef ssize_t (*ReadChkFn)(int, void*, size_t, size_t);
typedef ssize_t (*WriteFn)(int, const void*, size_t);
typedef int (*CloseFn)(int);

template <typename F>
F Real(std::atomic<F>& slot, const char* name)
{
    F fn = slot.load(std::memory_order_acquire);
    if (!fn) {
        fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        slot.store(fn, std::memory_order_release);
    }
    return fn;
}

std::atomic<OpenFn> g_open{nullptr}, g_open64{nullptr};
std::atomic<Open2Fn> g_open2{nullptr}, g_open64_2{nullptr};
std::atomic<OpenAtFn> g_openat{nullptr}, g_openat64{nullptr};
std::atomic<OpenAt2Fn> g_openat2{nullptr}, g_openat64_2{nullptr};
std::atomic<ReadFn> g_read{nullptr};
std::atomic<ReadChkFn> g_readChk{nullptr};
std::atomic<WriteFn> g_write{nullptr};
std::atomic<CloseFn> g_close{nullptr};

const char kDevicePrefix[] = "/dev/Vozirev";
const size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;

// The device number of "/dev/VozirevN" (one digit, nothing after it), or -1.
int DeviceNumber(const char* path)
{
    if (path == nullptr || strncmp(path, kDevicePrefix, kDevicePrefixLength) != 0)
        return -1;
    char digit = path[kDevicePrefixLength];
    if (digit < '0' || digit > '9' || path[kDevicePrefixLength + 1] != '\0')
        return -1;
    return digit - '0';
}

// open() passes a mode only with O_CREAT or O_TMPFILE.
bool TakesMode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

ssize_t DeviceRead(EmuLink* link, int fd, void* buf, size_t count, ssize_t (*realRead)(int, void*, size_t))
{
    ssize_t got = realRead(fd, buf, count);
    // The device announces a failing read with a zero-length message, and
    // the end of its content (--end error) by closing its sending side.
    if (got == 0 && (link->failNextEmptyRead.exchange(0) || link->endedWithError.load())) {
        errno = EIO;
        return -1;
    }
    return got;
}

ssize_t PlainRead(int fd, void* buf, size_t count)
{
    return Real(g_read, "read")(fd, buf, count);
}

const long kStopWaitStepNs = 1000000;    // 1 ms
const int kStopWaitSteps = 30000;        // 30 s: an encode may be running
const int kMaxDrainedMessages = 100000;

// A stopped encoder keeps nothing of its run: wait until the device thread
// has carried out the stop, then drop what the program has not read yet,
// so that no box of the old run is taken for the first of the next.
void FinishStop(EmuLink* link, int fd, unsigned stop)
{
    struct timespec step = {0, kStopWaitStepNs};
    for (int i = 0; i < kStopWaitSteps && (int)(link->stopsDone.load() - stop) < 0; ++i)
        nanosleep(&step, nullptr);
    UINT8 chunk[512];
    for (int i = 0; i < kMaxDrainedMessages; ++i) {
        ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 || (got == 0 && link->endedWithError.load()))
            break;
    }
}

// Hands the device thread one write of the program, time-stamped now.
ssize_t DeviceWrite(EmuLink* link, int fd, const void* buf, size_t count)
{
    EmuCommandMessage msg;
    memset(&msg, 0, sizeof msg);
    if (count > 0)
        memcpy(&msg.word, buf, count < sizeof msg.word ? count : sizeof msg.word);
    msg.size = (UINT32)count;
    msg.writtenNs = EmuNowNs();
    msg.failed = count == sizeof msg.word && EmuProcessOptions().faults.failCode[msg.word >> VL_COMMAND_SHIFT];
    bool stop = count == sizeof msg.word && !msg.failed && msg.word >> VL_COMMAND_SHIFT == VL_CMD_STOP;
    unsigned stopNumber = stop ? link->stopsSent.fetch_add(1) + 1 : 0;
    ssize_t sent = send(fd, &msg, sizeof msg, MSG_NOSIGNAL);
    if (sent < 0)
        return -1;
    if (msg.failed) {
        errno = EIO;
        return -1;
    }
    if (stop)
        FinishStop(link, fd, stopNumber);
    return (ssize_t)count;
}

}  // namespace

// open() and its relatives read a mode argument only with O_CREAT or
// O_TMPFILE; this takes it from the variadic arguments (0 otherwise).
#define EMU_OPTIONAL_MODE(flags, mode)   \
    mode_t mode = 0;                     \
    if (TakesMode(flags)) {              \
        va_list ap;                      \
        va_start(ap, flags);             \
        mode = va_arg(ap, mode_t);       \
        va_end(ap);                      \
    }

// A device node opens the emulated device; any other path goes to libc.
template <typename RealOpen, typename... Args>
static int DeviceOrReal(const char* path, int flags, RealOpen realOpen, Args... args)
{
    int number = DeviceNumber(path);
    if (number >= 0)
        return EmuOpenDevice(number, flags);
    return realOpen(args...);
}

// Resolve the real functions and read the options before the program runs.
__attribute__((constructor)) static void EmuLoad()
{
    const char* start = getenv(EMU_START_ENV);
    g_emuStartNs = start && *start ? strtoull(start, nullptr, 10) : EmuNowNs();
    Real(g_read, "read");
    Real(g_write, "write");
    Real(g_close, "close");
    Real(g_open, "open");
    Real(g_open64, "open64");
    EmuProcessOptions();
    pthread_atfork(nullptr, nullptr, EmuForgetDevicesAfterFork);
}

// The program may exit right after writing a command: log it first.
__attribute__((destructor)) static void EmuUnload()
{
    EmuFlushDevices();
}

extern "C" {

int open(const char* path, int flags, ...)
{
    EMU_OPTIONAL_MODE(flags, mode);
    return DeviceOrReal(path, flags, Real(g_open, "open"), path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    EMU_OPTIONAL_MODE(flags, mode);
    return DeviceOrReal(path, flags, Real(g_open64, "open64"), path, flags, mode);
}

// The fortified entry points of open() without a mode.
int __open_2(const char* path, int flags)
{
    return DeviceOrReal(path, flags, Real(g_open2, "__open_2"), path, flags);
}

int __open64_2(const char* path, int flags)
{
    return DeviceOrReal(path, flags, Real(g_open64_2, "__open64_2"), path, flags);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    EMU_OPTIONAL_MODE(flags, mode);
    return DeviceOrReal(path, flags, Real(g_openat, "openat"), dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    EMU_OPTIONAL_MODE(flags, mode);
    return DeviceOrReal(path, flags, Real(g_openat64, "openat64"), dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    return DeviceOrReal(path, flags, Real(g_openat2, "__openat_2"), dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    return DeviceOrReal(path, flags, Real(g_openat64_2, "__openat64_2"), dirfd, path, flags);
}

ssize_t read(int fd, void* buf, size_t count)
{
    EmuLink* link = EmuFindLink(fd);
    if (link)
        return DeviceRead(link, fd, buf, count, PlainRead);
    return Real(g_read, "read")(fd, buf, count);
}

// The fortified read() of programs built with _FORTIFY_SOURCE.
ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen)
{
    EmuLink* link = EmuFindLink(fd);
    if (link && count <= buflen)
        return DeviceRead(link, fd, buf, count, PlainRead);
    return Real(g_readChk, "__read_chk")(fd, buf, count, buflen);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    EmuLink* link = EmuFindLink(fd);
    if (link)
        return DeviceWrite(link, fd, buf, count);
    return Real(g_write, "write")(fd, buf, count);
}

int close(int fd)
{
    EmuLink* link = EmuFindLink(fd);
    if (link)
        link->programFd.store(-1, std::memory_order_release);
    return Real(g_close, "close")(fd);
}

}  // extern "C"
