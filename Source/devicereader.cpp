// Device sample reader: assembles whole QBox samples from the device node's
// 512-byte reads and converts them in place when asked to.
#include "devicereader.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

bool firstQboxFrmDevice = true;
volatile sig_atomic_t* pReaderStopRequest = nullptr;

// How the driver answers a read while the device has nothing (see
// devicereader.h), learned once per descriptor.
enum tDriverKind { DRIVER_UNKNOWN, DRIVER_NONBLOCKING, DRIVER_BLOCKING };

// The descriptor every read uses (set by ReadQBox on each call) and what is
// known of its driver.
static int device = -1;
static tDriverKind driverKind = DRIVER_UNKNOWN;

static const long NANOSECONDS_PER_MILLISECOND = 1000000L;

// poll() on the device alone; a failing poll reports the node readable, so
// that the read tells what is wrong.
static int PollDevice(int fd, int iTimeoutMs)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, iTimeoutMs);
    if (ready < 0 && errno != EINTR)
        return 1;
    return ready;
}

static tDeviceWait pDeviceWait = PollDevice;

void SetReaderWait(tDeviceWait pWait)
{
    pDeviceWait = pWait != nullptr ? pWait : PollDevice;
}

// ---- the guard: a blocked read of a driver of unknown kind ends ----------

// The guard's signal is a real-time one the program uses for nothing else;
// its handler is installed without SA_RESTART so that it ends a blocked
// read with EINTR.
static volatile sig_atomic_t guardExpired = 0;
static bool bGuardCreated = false;
static timer_t guardTimer;

static void OnGuard(int)
{
    guardExpired = 1;
}

static bool CreateGuard()
{
    if (bGuardCreated)
        return true;
    int iSignal = SIGRTMIN + READER_GUARD_SIGNAL_OFFSET;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnGuard;
    sigemptyset(&action.sa_mask);
    if (sigaction(iSignal, &action, nullptr) != 0)
        return false;
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = iSignal;
    bGuardCreated = timer_create(CLOCK_MONOTONIC, &event, &guardTimer) == 0;
    return bGuardCreated;
}

// Arms the guard to fire every READER_POLL_SLICE_MS, or disarms it.
static void SetGuard(bool bArmed)
{
    struct timespec slice = {0, bArmed ? READER_POLL_SLICE_MS * NANOSECONDS_PER_MILLISECOND : 0};
    struct itimerspec period = {slice, slice};
    timer_settime(guardTimer, 0, &period, nullptr);
}

// Records what the driver showed; the guard is then no longer needed.
static void LearnDriverKind(tDriverKind kind)
{
    if (driverKind == DRIVER_UNKNOWN && bGuardCreated)
        SetGuard(false);
    driverKind = kind;
}

// ---- reading and waiting ------------------------------------------------

static bool StopRequested()
{
    return pReaderStopRequest != nullptr && *pReaderStopRequest != 0;
}

int ReadDevice(unsigned char* pcQBoxData, unsigned int& ulLength)
{
    ulLength = 0;
    ssize_t got = read(device, pcQBoxData, QBOX_CHUNK_SIZE);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return READ_DEVICE_NOT_READY;
    if (got < 0 && errno == EINTR)
        return READ_DEVICE_INTERRUPTED;
    if (got < 0)
        return READ_DEVICE_FAILED;
    if (got == 0)
        return READ_DEVICE_EMPTY;
    ulLength = (unsigned int)got;
    return READ_DEVICE_DATA;
}

int IsValidQBoxHeader(unsigned char* pusReadData, QBox* qBoxHeader)
{
    if (pusReadData == nullptr)
        return QBOX_HEADER_INVALID;
    DecodeQBoxHeader(pusReadData, qBoxHeader);
    if (qBoxHeader->ulBoxSize == 0)
        return QBOX_HEADER_ZERO_SIZE;
    return IsUsableQBox(qBoxHeader) ? QBOX_HEADER_OK : QBOX_HEADER_INVALID;
}

// What a stop leaves of the box being read: its remaining chunks get
// READER_STOP_GRACE_MS from the moment the stop is first seen. Reads of a
// header take no grace (null).
struct tStopGrace {
    bool bStarted = false;
    struct timespec stopSeen = {0, 0};
};

static long MillisecondsSince(const struct timespec& then)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - then.tv_sec) * 1000L + (now.tv_nsec - then.tv_nsec) / NANOSECONDS_PER_MILLISECOND;
}

// How long the reader may still wait for data, at most a slice: 0 when a
// stop was requested and no grace (or none left) keeps the reader.
static int WaitAllowedMs(tStopGrace* pGrace)
{
    if (!StopRequested())
        return READER_POLL_SLICE_MS;
    if (pGrace == nullptr)
        return 0;
    if (!pGrace->bStarted) {
        clock_gettime(CLOCK_MONOTONIC, &pGrace->stopSeen);
        pGrace->bStarted = true;
    }
    long left = READER_STOP_GRACE_MS - MillisecondsSince(pGrace->stopSeen);
    return left <= 0 ? 0 : (int)(left < READER_POLL_SLICE_MS ? left : READER_POLL_SLICE_MS);
}

// Waits through the hook, a slice at a time, until the device is readable.
// False when a stop was requested and no grace keeps the reader waiting.
static bool WaitUntilReadable(tStopGrace* pGrace)
{
    for (;;) {
        int iAllowedMs = WaitAllowedMs(pGrace);
        if (iAllowedMs == 0)
            return false;
        if (pDeviceWait(device, iAllowedMs) > 0)
            return true;
    }
}

// One read of a chunk; while the device has nothing, waits as its driver's
// kind requires. READ_DEVICE_DATA, READ_DEVICE_EMPTY or READ_DEVICE_FAILED,
// or READ_DEVICE_INTERRUPTED when a stop ended the wait.
static int ReadChunk(unsigned char* pucChunk, unsigned int& ulGot, tStopGrace* pGrace)
{
    for (;;) {
        if (driverKind == DRIVER_BLOCKING && !WaitUntilReadable(pGrace))
            return READ_DEVICE_INTERRUPTED;
        guardExpired = 0;
        int result = ReadDevice(pucChunk, ulGot);
        if (result == READ_DEVICE_NOT_READY) {
            LearnDriverKind(DRIVER_NONBLOCKING);
            if (!WaitUntilReadable(pGrace))
                return READ_DEVICE_INTERRUPTED;
            continue;
        }
        if (result != READ_DEVICE_INTERRUPTED)
            return result;
        // Interrupted by the guard: the driver blocked in a read of a
        // non-blocking descriptor. A read of unknown kind blocks for a
        // slice at most, so reading again stays within the grace.
        if (guardExpired && driverKind == DRIVER_UNKNOWN)
            LearnDriverKind(DRIVER_BLOCKING);
        if (WaitAllowedMs(pGrace) == 0)
            return READ_DEVICE_INTERRUPTED;
    }
}

// Reads the chunk that should start a box into the buffer at offset 0;
// reads that return nothing are repeated after a short pause. False when
// the read failed or a stop was requested.
static bool ReadHeaderChunk(unsigned char* pucQBoxbuffer, unsigned int& ulGot)
{
    for (;;) {
        if (StopRequested())
            return false;
        int result = ReadChunk(pucQBoxbuffer, ulGot, nullptr);
        if (result != READ_DEVICE_EMPTY)
            return result == READ_DEVICE_DATA;
        pDeviceWait(-1, READER_EMPTY_READ_PAUSE_MS);
    }
}

// The first box of an encoding run carries sample flag bit 0 and fits in
// one read.
static bool IsFirstQBoxOfRun(const QBox* qBoxHeader)
{
    return qBoxHeader->ulBoxSize <= FIRST_QBOX_MAX_SIZE &&
           (qBoxHeader->ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC) != 0;
}

// Result of completing a box whose first chunk is in the buffer.
enum BoxCompletion { BOX_COMPLETE, BOX_DISCARDED, BOX_READ_FAILED };

// Reads the chunks that follow the first one until the box is complete; a
// stop abandons the box when its chunks stop coming within the grace.
static BoxCompletion CompleteQBox(unsigned char* pucQBoxbuffer, const QBox* qBoxHeader,
                                  unsigned int ulGot)
{
    long pendingLength = (long)qBoxHeader->ulBoxSize - (long)ulGot;
    if (pendingLength < 0)
        return BOX_DISCARDED;  // the chunk carries bytes beyond its box
    unsigned int ulFillOffset = ulGot;
    tStopGrace grace;
    while (pendingLength > 0) {
        // A device that goes silent inside a box must not hold off a stop,
        // and a stop must not cost a box whose chunks are still coming.
        unsigned int ulChunk = 0;
        if (ReadChunk(pucQBoxbuffer + ulFillOffset, ulChunk, &grace) != READ_DEVICE_DATA)
            return BOX_READ_FAILED;
        pendingLength -= (long)ulChunk;
        if (pendingLength < 0)
            return BOX_DISCARDED;  // the last chunk ran past the end of the box
        ulFillOffset += ulChunk;
    }
    return BOX_COMPLETE;
}

// Assembles one box; see ReadOneQBox.
static bool AssembleQBox(unsigned char* pucQBoxbuffer, QBox* qBoxHeader)
{
    for (;;) {
        unsigned int ulGot = 0;
        if (!ReadHeaderChunk(pucQBoxbuffer, ulGot))
            return false;
        if (ulGot < QBOX_HEADER_SIZE)
            continue;  // too short to hold a header
        if (IsValidQBoxHeader(pucQBoxbuffer, qBoxHeader) != QBOX_HEADER_OK)
            continue;
        if (qBoxHeader->ulBoxSize > READER_MAX_QBOX_SIZE)
            continue;  // would not fit in the caller's buffer
        if (firstQboxFrmDevice) {
            if (!IsFirstQBoxOfRun(qBoxHeader))
                continue;
            firstQboxFrmDevice = false;
        }
        BoxCompletion completion = CompleteQBox(pucQBoxbuffer, qBoxHeader, ulGot);
        if (completion == BOX_COMPLETE)
            return true;
        if (completion == BOX_READ_FAILED)
            return false;
    }
}

bool ReadOneQBox(unsigned char* pucQBoxbuffer, QBox* qBoxHeader)
{
    // Until the driver has shown its kind, the guard bounds a blocked read;
    // without a timer the reader waits before every read.
    bool bGuarded = driverKind == DRIVER_UNKNOWN && CreateGuard();
    if (driverKind == DRIVER_UNKNOWN && !bGuarded)
        driverKind = DRIVER_BLOCKING;
    if (bGuarded)
        SetGuard(true);
    bool bRead = AssembleQBox(pucQBoxbuffer, qBoxHeader);
    if (bGuarded && driverKind == DRIVER_UNKNOWN)
        SetGuard(false);
    return bRead;
}

// Audio: the raw AAC frame moves to the front of the buffer.
static unsigned int ConvertAudio(unsigned char* pucQBoxbuffer, const QBox* qBoxHeader,
                                 unsigned int& type)
{
    unsigned int ulSize = qBoxHeader->ulBoxSize - QBOX_HEADER_SIZE;
    memmove(pucQBoxbuffer, pucQBoxbuffer + QBOX_HEADER_SIZE, ulSize);
    type = (qBoxHeader->ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC) ? SAMPLE_TYPE_AUDIO_SYNC
                                                                : SAMPLE_TYPE_AUDIO;
    return ulSize;
}

// Video: each 4-byte length prefix becomes a start code, up to the first
// unit that does not fit in the box; the complete units move to the front.
static unsigned int ConvertVideo(unsigned char* pucQBoxbuffer, const QBox* qBoxHeader,
                                 unsigned int& type)
{
    tNaluWalk walk = StartNaluWalk(pucQBoxbuffer + QBOX_HEADER_SIZE, qBoxHeader->ulBoxSize - QBOX_HEADER_SIZE);
    UINT8* unit = nullptr;
    UINT32 length = 0;
    while (NextNalu(&walk, QBOX_NALU_PREFIX_SIZE - 1, &unit, &length))
        memcpy(unit, START_CODE, START_CODE_SIZE);
    unsigned int ulSize = walk.ulOffset;
    memmove(pucQBoxbuffer, pucQBoxbuffer + QBOX_HEADER_SIZE, ulSize);
    type = (qBoxHeader->ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC) ? SAMPLE_TYPE_VIDEO_SYNC
                                                                : SAMPLE_TYPE_VIDEO;
    return ulSize;
}

// Caption: bytes 8 and 9 of every pack flagged 00 FF FF, in order. A
// trailing fragment shorter than a pack carries nothing; packs beyond the
// capacity of CCData are ignored.
static unsigned int ConvertCaption(unsigned char* pucQBoxbuffer, const QBox* qBoxHeader,
                                   unsigned int& type)
{
    unsigned char CCData[CC_DATA_SIZE];
    unsigned char pANC[szCCPACK];
    unsigned int ulCCBytes = 0;
    unsigned int ulPayloadLength = qBoxHeader->ulBoxSize - QBOX_HEADER_SIZE;
    const unsigned char* pucPayload = pucQBoxbuffer + QBOX_HEADER_SIZE;
    for (unsigned int ulOffset = 0; ulOffset + szCCPACK <= ulPayloadLength; ulOffset += szCCPACK) {
        memcpy(pANC, pucPayload + ulOffset, szCCPACK);
        UINT32 sCode = ReadBE24(pANC);
        if (sCode != ANCsCode)
            continue;
        if (ulCCBytes + CC_BYTES_PER_PACK > CC_DATA_SIZE)
            break;
        CCData[ulCCBytes++] = pANC[CC_PACK_DATA_OFFSET];
        CCData[ulCCBytes++] = pANC[CC_PACK_DATA_OFFSET + 1];
    }
    memcpy(pucQBoxbuffer, CCData, ulCCBytes);
    type = SAMPLE_TYPE_CAPTION;
    return ulCCBytes;
}

void ReaderDeviceOpened(int hObject)
{
    device = hObject;
    driverKind = DRIVER_UNKNOWN;
}

unsigned int ReadQBox(int hObject, unsigned char* pucQBoxbuffer, int& length,
                      unsigned int& type, unsigned int& TimeStamp)
{
    if (hObject != device)
        ReaderDeviceOpened(hObject);
    QBox qBoxHeader;
    if (!ReadOneQBox(pucQBoxbuffer, &qBoxHeader))
        return 0;

    unsigned int ulType = QBOX_TYPE;
    unsigned int ulSize = qBoxHeader.ulBoxSize;
    if (type != QBOX_TYPE) {
        switch (qBoxHeader.usSampleStreamType) {
        case QBOX_STREAM_AUDIO:
            ulSize = ConvertAudio(pucQBoxbuffer, &qBoxHeader, ulType);
            break;
        case QBOX_STREAM_VIDEO:
            ulSize = ConvertVideo(pucQBoxbuffer, &qBoxHeader, ulType);
            break;
        case QBOX_STREAM_CAPTION:
            ulSize = ConvertCaption(pucQBoxbuffer, &qBoxHeader, ulType);
            break;
        default:
            break;  // unknown stream: the whole box, as in pass-through
        }
    }
    length = (int)ulSize;
    type = ulType;
    TimeStamp = qBoxHeader.ulSampleCts;
    return 1;
}
