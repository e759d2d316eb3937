// The emulated encoder behind one open "/dev/VozirevN": a thread serving the
// device end of a SOCK_SEQPACKET socket pair. Every message the program's
// end receives is one read of the node, so a box cut into messages of at
// most 512 bytes reaches the program exactly as the real node's reads do.
// Command words come the other way, wrapped by the write interposer.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "emu.h"

EmuLink g_emuLinks[EMU_MAX_LINKS];
UINT64 g_emuStartNs = 0;

namespace {

const size_t kChunkSize = 512;                // one read of the node
const UINT32 kOversizeBoxSize = 420000;       // beyond the program's 400000-byte buffer
const UINT8 kFillerNalType = 12;              // H.264 filler data
const UINT8 kPadByte = 0xA5;                  // bytes past a box's end (overrun fault)
const size_t kCtsOffset = 20;                 // ulSampleCts in the QBox header
const int kDeviceSendBuffer = 16384;
const int kHighDescriptor = 900;         // where the emulator's descriptors go
const int kDescriptorHeadroom = 32;
const long kFlushStepNs = 2000000;       // at exit, wait for commands in 2 ms steps
const int kFlushSteps = 2500;            // for five seconds at most: a loaded machine
                                         // may not run the device thread sooner

std::atomic<int> g_anyLink{0};
pthread_mutex_t g_filesLock = PTHREAD_MUTEX_INITIALIZER;
FILE* g_logFile = nullptr;
FILE* g_recordFile = nullptr;
bool g_filesOpened = false;

// What goes out of the device end next. Pieces point into buffers the
// device keeps until they are sent.
enum PieceAction {
    PIECE_SEND,        // one message (size 0: a zero-length read)
    PIECE_READ_ERROR,  // the program's next zero-length read fails with EIO
    PIECE_END_ERROR,   // reads fail with EIO once the queue is drained
    PIECE_RECORD,      // the box went out whole and intact: save it
};

struct Piece {
    PieceAction action;
    const UINT8* data;
    size_t size;
};

struct Device {
    EmuLink* link = nullptr;
    int fd = -1;
    EmuEncoderState state;

    // Content: loaded on start, kept while the settings stay the same.
    QBoxClip clip;
    std::string clipKey;
    bool contentReady = false;
    EmuContentLoop loop;

    // The run.
    bool started = false;
    bool paused = false;
    bool ended = false;
    bool sendingClosed = false;  // after --end error nothing more can be sent
    UINT64 runStartNs = 0;
    UINT64 pauseStartNs = 0;
    UINT64 pausedNs = 0;
    unsigned long boxesSent = 0;

    // The box on its way out.
    std::vector<UINT8> box;
    int64_t boxRel = 0;
    bool boxBegun = false;  // its first piece has gone out
    std::deque<Piece> pieces;

    // Faults armed at their box and applied to the first box they fit.
    bool overrunArmed = false;
    bool truncateArmed = false;
    bool zeroInBoxArmed = false;
    bool readErrorArmed = false;
    std::vector<UINT8> garbage;
    std::vector<UINT8> oversize;
};

// ---- descriptors of the emulator's own ----

// The emulator's descriptors live far above the program's: a program may
// dup2() onto any low number it believes free (a shell's "exec 3<>" does).
int MoveOutOfTheWay(int fd)
{
    struct rlimit limit;
    int floor = kHighDescriptor;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < (rlim_t)kHighDescriptor + kDescriptorHeadroom)
        floor = limit.rlim_cur > (rlim_t)kDescriptorHeadroom ? (int)limit.rlim_cur - kDescriptorHeadroom : 3;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, floor);
    if (high < 0)
        return fd;
    close(fd);
    return high;
}

// ---- command log and record file ----

FILE* OpenForAppending(const std::string& path)
{
    if (path.empty())
        return nullptr;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(MoveOutOfTheWay(fd), "a") : nullptr;
    if (!file)
        fprintf(stderr, "vozirev-emu: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return file;
}

void OpenFiles(const EmuOptions& options)
{
    pthread_mutex_lock(&g_filesLock);
    if (!g_filesOpened) {
        g_filesOpened = true;
        // The launcher has emptied both files; each process appends.
        g_logFile = OpenForAppending(options.logPath);
        g_recordFile = OpenForAppending(options.recordPath);
    }
    pthread_mutex_unlock(&g_filesLock);
}

void LogCommand(const EmuCommandMessage& msg, const char* name, const std::string& value)
{
    if (!g_logFile)
        return;
    double seconds = msg.writtenNs >= g_emuStartNs ? (msg.writtenNs - g_emuStartNs) / 1e9 : 0.0;
    pthread_mutex_lock(&g_filesLock);
    fprintf(g_logFile, "%.6f 0x%08X %s %s%s\n", seconds, msg.word, name, value.c_str(),
            msg.failed ? " FAILED" : "");
    fflush(g_logFile);
    pthread_mutex_unlock(&g_filesLock);
}

void RecordBox(const std::vector<UINT8>& box, size_t size)
{
    if (!g_recordFile)
        return;
    pthread_mutex_lock(&g_filesLock);
    fwrite(box.data(), 1, size, g_recordFile);
    fflush(g_recordFile);
    pthread_mutex_unlock(&g_filesLock);
}

// ---- run control ----

void StartRun(Device* d)
{
    if (d->started)
        return;  // already encoding
    const EmuOptions& options = EmuProcessOptions();
    std::string key = options.sourcePath.empty() ? EmuCacheFileName(d->state, options.segmentSeconds) : "source";
    if (!d->contentReady || key != d->clipKey) {
        d->contentReady = EmuLoadRunContent(options, d->state, &d->clip) == 0;
        d->clipKey = key;
    }
    d->started = true;
    d->paused = false;
    d->ended = !d->contentReady || d->sendingClosed;  // no content: the device stays silent
    d->boxesSent = 0;
    d->pausedNs = 0;
    d->overrunArmed = d->truncateArmed = d->zeroInBoxArmed = d->readErrorArmed = false;
    if (d->contentReady)
        EmuStartLoop(&d->loop, &d->clip);
    d->runStartNs = EmuNowNs();
}

void StopRun(Device* d)
{
    d->started = false;
    d->paused = false;
    // Nothing of the run goes out after the stop; the write interposer
    // drops what the program has not read yet once the stop is carried out.
    d->pieces.clear();
    d->boxBegun = false;
    d->link->stopsDone.fetch_add(1);
}

void Pause(Device* d)
{
    if (d->started && !d->paused) {
        d->paused = true;
        d->pauseStartNs = EmuNowNs();
    }
}

void Resume(Device* d)
{
    if (d->started && d->paused) {
        d->paused = false;
        d->pausedNs += EmuNowNs() - d->pauseStartNs;
    }
}

// ---- command words ----

void HandleCommand(Device* d, const EmuCommandMessage& msg)
{
    UINT32 code = msg.word >> VL_COMMAND_SHIFT;
    UINT32 param = msg.word & ((1u << VL_COMMAND_SHIFT) - 1);
    std::string value = std::to_string(param);
    bool apply = !msg.failed;
    EmuEncoderState& s = d->state;
    if (msg.size != 4) {
        LogCommand(msg, "unknown", value);
        return;
    }
    switch (code) {
    case VL_CMD_MEDIA_TYPE:
        LogCommand(msg, "media-type", value);
        if (apply && param >= 1 && param <= 3)
            s.mediaType = param;
        break;
    case VL_CMD_VIDEO_BITRATE:
        LogCommand(msg, "video-bitrate", value);
        if (apply && param > 0)
            s.videoKbps = param;
        break;
    case VL_CMD_AUDIO_BITRATE:
        LogCommand(msg, "audio-bitrate", value);
        if (apply && param > 0)
            s.audioKbps = param;
        break;
    case VL_CMD_VIDEO_GOP:
        LogCommand(msg, "gop", value);
        if (apply && param > 0)
            s.gop = param;
        break;
    case VL_CMD_FRAME_SIZE: {
        unsigned int width = (param >> VL_FRAME_WIDTH_SHIFT) & 0x3FF;
        unsigned int height = param & 0x3FF;
        LogCommand(msg, "frame-size", std::to_string(width) + "x" + std::to_string(height));
        if (apply && width > 0 && height > 0) {
            s.width = width;
            s.height = height;
        }
        break;
    }
    case VL_CMD_FRAME_RATE:
        LogCommand(msg, "frame-rate", value);
        if (apply && param > 0 && param <= 60)
            s.fps = param;
        break;
    case VL_CMD_BRIGHTNESS:
        LogCommand(msg, "brightness", value);
        if (apply)
            s.brightness = param & 0xFF;
        break;
    case VL_CMD_COLOR:
        LogCommand(msg, "color", value);
        if (apply)
            s.color = param & 0xFF;
        break;
    case VL_CMD_CLOSED_CAPTION:
        LogCommand(msg, "closed-caption", value);
        if (apply)
            s.closedCaption = param != 0;
        break;
    case VL_CMD_START_RECORD:
        LogCommand(msg, "start", value);
        if (apply)
            StartRun(d);
        break;
    case VL_CMD_PAUSE:
        LogCommand(msg, "pause", value);
        if (apply)
            Pause(d);
        break;
    case VL_CMD_RESUME:
        LogCommand(msg, "resume", value);
        if (apply)
            Resume(d);
        break;
    case VL_CMD_STOP:
        LogCommand(msg, "stop", value);
        if (apply)
            StopRun(d);
        break;
    default:
        LogCommand(msg, "unknown", value);
        break;
    }
}

// ---- building the pieces of the next box ----

bool IsEvery(unsigned int every, unsigned long k)
{
    return every != 0 && k != 0 && k % every == 0;
}

void PushSend(Device* d, const UINT8* data, size_t size)
{
    d->pieces.push_back({PIECE_SEND, data, size});
}

void PushChunks(Device* d, const UINT8* data, size_t size)
{
    for (size_t pos = 0; pos < size; pos += kChunkSize)
        PushSend(d, data + pos, size - pos < kChunkSize ? size - pos : kChunkSize);
}

const std::vector<UINT8>& Garbage(Device* d)
{
    if (d->garbage.empty()) {
        d->garbage.resize(kChunkSize);
        UINT32 x = 0x2545F491;
        for (UINT8& b : d->garbage) {
            x = x * 1664525u + 1013904223u;
            b = (UINT8)(x >> 24);
        }
        // Never a usable header: the type field does not spell "qbox".
        memcpy(d->garbage.data() + 4, "junk", 4);
    }
    return d->garbage;
}

// A well-formed video box (one filler-data NAL unit) too large for the
// program's sample buffer, stamped like the box it precedes.
const std::vector<UINT8>& Oversize(Device* d, UINT32 cts)
{
    if (d->oversize.empty()) {
        d->oversize.assign(kOversizeBoxSize, 0xFF);
        UINT8* p = d->oversize.data() + QBOX_HEADER_SIZE;
        p = WriteBE32(p, kOversizeBoxSize - QBOX_HEADER_SIZE - QBOX_NALU_PREFIX_SIZE);
        *p = kFillerNalType;
    }
    QBox header = {kOversizeBoxSize, QBOX_TYPE, 0, QBOX_STREAM_VIDEO, 0, 0, cts};
    EncodeQBoxHeader(&header, d->oversize.data());
    return d->oversize;
}

void EndContent(Device* d)
{
    d->ended = true;
    if (EmuProcessOptions().end == EMU_END_ERROR)
        d->pieces.push_back({PIECE_END_ERROR, nullptr, 0});
}

// Queues the next box of the run with the faults due at it. Returns false
// when the run's content has ended.
bool PrepareNextBox(Device* d)
{
    const EmuOptions& options = EmuProcessOptions();
    const EmuFaults& f = options.faults;
    if (options.samples && d->boxesSent >= options.samples) {
        EndContent(d);
        return false;
    }
    size_t index = 0;
    int64_t rel = 0;
    if (!EmuNextBox(&d->loop, &index, &rel)) {
        EndContent(d);
        return false;
    }
    if (options.durationSeconds > 0 && rel >= (int64_t)(options.durationSeconds * QBOX_CLOCK_HZ)) {
        EndContent(d);
        return false;
    }
    const UINT8* source = d->clip.bytes.data() + d->clip.offsets[index];
    UINT32 size = ReadBE32(source);
    // Room for the overrun fault's padding behind the box.
    d->box.assign(size + kChunkSize, kPadByte);
    memcpy(d->box.data(), source, size);
    UINT32 cts = (UINT32)(d->loop.baseCts + rel);
    WriteBE32(d->box.data() + kCtsOffset, cts);
    d->boxRel = rel;
    d->boxBegun = false;

    unsigned long k = d->boxesSent++;
    d->overrunArmed |= IsEvery(f.overrunEvery, k);
    d->truncateArmed |= IsEvery(f.truncateEvery, k);
    d->zeroInBoxArmed |= IsEvery(f.zeroReadInBoxEvery, k);
    d->readErrorArmed |= IsEvery(f.readErrorEvery, k);

    if (IsEvery(f.garbageEvery, k))
        PushSend(d, Garbage(d).data(), kChunkSize);
    if (IsEvery(f.zeroReadEvery, k))
        PushSend(d, nullptr, 0);
    if (IsEvery(f.oversizeEvery, k))
        PushChunks(d, Oversize(d, cts).data(), kOversizeBoxSize);

    const UINT8* data = d->box.data();
    size_t chunks = (size + kChunkSize - 1) / kChunkSize;
    size_t lastChunk = size - (chunks - 1) * kChunkSize;
    bool intact = true;
    if (d->overrunArmed && lastChunk < kChunkSize) {
        // The last read carries bytes past the box's end.
        d->overrunArmed = false;
        intact = false;
        PushChunks(d, data, size - lastChunk + kChunkSize);
    } else if (d->truncateArmed) {
        // The box ends early: the reader runs into the next box.
        d->truncateArmed = false;
        intact = false;
        PushChunks(d, data, chunks >= 2 ? size - lastChunk : size / 2);
    } else if (chunks >= 2 && (d->readErrorArmed || d->zeroInBoxArmed)) {
        PushSend(d, data, kChunkSize);
        if (d->readErrorArmed) {
            d->readErrorArmed = false;
            d->pieces.push_back({PIECE_READ_ERROR, nullptr, 0});
        } else {
            d->zeroInBoxArmed = false;
            PushSend(d, nullptr, 0);
        }
        PushChunks(d, data + kChunkSize, size - kChunkSize);
    } else {
        PushChunks(d, data, size);
    }
    if (intact)
        d->pieces.push_back({PIECE_RECORD, data, size});
    return true;
}

// When the current box is due: the run's start plus its time stamp, plus
// the time spent paused.
UINT64 BoxDueNs(const Device* d)
{
    if (EmuProcessOptions().pace == EMU_PACE_MAX || d->boxBegun)
        return 0;
    int64_t rel = d->boxRel > 0 ? d->boxRel : 0;
    return d->runStartNs + d->pausedNs + (UINT64)rel * 1000000000ull / QBOX_CLOCK_HZ;
}

// Sends pieces until the socket is full or the queue is empty. Returns
// false when the program's end has gone.
bool SendPieces(Device* d)
{
    while (!d->pieces.empty()) {
        Piece piece = d->pieces.front();
        if (piece.action == PIECE_RECORD) {
            RecordBox(d->box, piece.size);
            d->pieces.pop_front();
            continue;
        }
        if (piece.action == PIECE_END_ERROR) {
            // End of file on the program's side: once it has read what is
            // queued, every read returns 0, which the read interposer fails.
            d->link->endedWithError.store(1);
            shutdown(d->fd, SHUT_WR);
            d->sendingClosed = true;
            d->pieces.pop_front();
            continue;
        }
        if (piece.action == PIECE_READ_ERROR)
            d->link->failNextEmptyRead.store(1);
        // Errors are announced by a zero-length message that wakes the reader.
        ssize_t sent = send(d->fd, piece.data, piece.size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            if (errno == EINTR)
                continue;
            return false;
        }
        d->boxBegun = true;
        d->pieces.pop_front();
    }
    d->boxBegun = false;
    return true;
}

// Reads every pending command. Returns false when the program's end has gone.
// A program that closes its end with boxes still unread makes the next
// receive fail once with ECONNRESET (AF_UNIX); the commands it wrote before
// are still queued behind that error and are read and logged all the same.
bool ReadCommands(Device* d)
{
    d->link->handlingCommands.store(1);
    bool programGone = false;
    for (;;) {
        EmuCommandMessage msg;
        ssize_t got = recv(d->fd, &msg, sizeof msg, MSG_DONTWAIT);
        if (got < 0 && errno == ECONNRESET && !programGone) {
            programGone = true;
            continue;
        }
        if (got <= 0) {
            d->link->handlingCommands.store(0);
            return !programGone && got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        }
        if ((size_t)got == sizeof msg) {
            HandleCommand(d, msg);
            continue;
        }
        // Written past the interposer (by another process that inherited
        // the descriptor, or by the C library's own stdio): the raw bytes.
        EmuCommandMessage raw;
        memset(&raw, 0, sizeof raw);
        memcpy(&raw.word, &msg, (size_t)got < sizeof raw.word ? (size_t)got : sizeof raw.word);
        raw.size = (UINT32)got;
        raw.writtenNs = EmuNowNs();
        HandleCommand(d, raw);
    }
}

void* DeviceThread(void* arg)
{
    Device* d = static_cast<Device*>(arg);
    for (;;) {
        if (d->pieces.empty() && d->started && !d->paused && !d->ended)
            PrepareNextBox(d);
        short events = POLLIN;
        int timeout = -1;
        bool sending = !d->pieces.empty() && (d->boxBegun || (d->started && !d->paused) || d->ended);
        if (sending) {
            UINT64 due = BoxDueNs(d);
            UINT64 now = EmuNowNs();
            if (due <= now || d->ended)
                events |= POLLOUT;
            else
                timeout = (int)((due - now + 999999) / 1000000);
        }
        struct pollfd pfd = {d->fd, events, 0};
        int ready = poll(&pfd, 1, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if ((pfd.revents & POLLIN) && !ReadCommands(d))
            break;
        if ((pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLIN))
            break;
        if ((pfd.revents & POLLOUT) && !SendPieces(d))
            break;
    }
    EmuLink* link = d->link;
    link->deviceFd.store(-1);
    close(d->fd);
    delete d;
    link->failNextEmptyRead.store(0);
    link->endedWithError.store(0);
    link->inUse.store(0);
    return nullptr;
}

EmuLink* ClaimLink()
{
    for (EmuLink& link : g_emuLinks) {
        int expected = 0;
        if (link.inUse.compare_exchange_strong(expected, 1))
            return &link;
    }
    return nullptr;
}

}  // namespace

const EmuOptions& EmuProcessOptions()
{
    static EmuOptions* options = nullptr;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        options = new EmuOptions;
        const char* text = getenv(EMU_OPTIONS_ENV);
        if (!text || !*text)
            return;
        std::vector<std::string> args;
        std::string current;
        for (const char* p = text;; ++p) {
            if (*p == EMU_OPTION_SEPARATOR || *p == '\0') {
                args.push_back(current);
                current.clear();
                if (*p == '\0')
                    break;
            } else {
                current += *p;
            }
        }
        std::string error;
        if (EmuParseOptions(args, options, &error) != 0) {
            fprintf(stderr, "vozirev-emu: %s; using the defaults\n", error.c_str());
            *options = EmuOptions();
        }
    });
    return *options;
}

void EmuForgetDevicesAfterFork()
{
    g_anyLink.store(0);
    for (EmuLink& link : g_emuLinks) {
        link.programFd.store(-1);
        link.deviceFd.store(-1);
        link.inUse.store(0);
    }
}

void EmuFlushDevices()
{
    struct timespec step = {0, kFlushStepNs};
    for (EmuLink& link : g_emuLinks) {
        for (int i = 0; i < kFlushSteps && link.inUse.load(); ++i) {
            int fd = link.deviceFd.load();
            int pending = 0;
            if (fd < 0 || ioctl(fd, SIOCINQ, &pending) != 0)
                break;
            if (pending == 0 && !link.handlingCommands.load())
                break;
            nanosleep(&step, nullptr);
        }
    }
}

EmuLink* EmuFindLink(int fd)
{
    if (fd < 0 || !g_anyLink.load(std::memory_order_acquire))
        return nullptr;
    for (EmuLink& link : g_emuLinks)
        if (link.programFd.load(std::memory_order_acquire) == fd)
            return &link;
    return nullptr;
}

int EmuOpenDevice(int number, int flags)
{
    (void)number;  // every node behaves the same
    const EmuOptions& options = EmuProcessOptions();
    OpenFiles(options);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    // The program's end keeps the caller's flags; the device end never
    // leaks into child processes.
    if (!(flags & O_CLOEXEC))
        fcntl(sv[0], F_SETFD, 0);
    if (flags & O_NONBLOCK)
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
    sv[1] = MoveOutOfTheWay(sv[1]);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    int sendBuffer = kDeviceSendBuffer;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    EmuLink* link = ClaimLink();
    if (!link) {
        close(sv[0]);
        close(sv[1]);
        errno = EMFILE;
        return -1;
    }
    Device* d = new Device;
    d->link = link;
    d->fd = sv[1];
    link->failNextEmptyRead.store(0);
    link->endedWithError.store(0);
    link->stopsSent.store(0);
    link->stopsDone.store(0);
    link->handlingCommands.store(0);
    link->deviceFd.store(sv[1]);
    link->programFd.store(sv[0], std::memory_order_release);
    g_anyLink.store(1, std::memory_order_release);

    // The device thread takes no signals: the program's handlers run on its
    // own threads, as they would with a real device.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, DeviceThread, d);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (rc != 0) {
        link->programFd.store(-1);
        link->inUse.store(0);
        delete d;
        close(sv[0]);
        close(sv[1]);
        errno = rc;
        return -1;
    }
    return sv[0];
}
