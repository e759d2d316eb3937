// Device sample reader: assembles whole QBox samples from the device node's
// 512-byte reads and converts them in place when asked to.
#include "devicereader.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <unistd.h>

bool firstQboxFrmDevice = true;
volatile sig_atomic_t* pReaderStopRequest = nullptr;

// The descriptor every read uses; set by ReadQBox on each call.
static int device = -1;

static const long NANOSECONDS_PER_MILLISECOND = 1000000L;

static void PauseMilliseconds(unsigned int ulMilliseconds)
{
    struct timespec pause = {0, (long)ulMilliseconds * NANOSECONDS_PER_MILLISECOND};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static bool StopRequested()
{
    return pReaderStopRequest != nullptr && *pReaderStopRequest != 0;
}

int ReadDevice(unsigned char* pcQBoxData, unsigned int& ulLength)
{
    ulLength = 0;
    ssize_t got;
    do {
        got = read(device, pcQBoxData, QBOX_CHUNK_SIZE);
    } while (got < 0 && errno == EINTR);
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

// Waits until the device has something to read, in slices short enough for
// a stop request to be seen promptly. False when a stop was requested.
static bool WaitForChunk()
{
    if (device < 0)
        return !StopRequested();  // poll() would skip it: let read() fail
    for (;;) {
        if (StopRequested())
            return false;
        struct pollfd pfd = {device, POLLIN, 0};
        int ready = poll(&pfd, 1, READER_POLL_SLICE_MS);
        // Readable, hung up, in error or not a descriptor: let read() tell.
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true;
    }
}

// Reads the chunk that should start a box into the buffer at offset 0;
// reads that return nothing are repeated after a short pause. False when
// the read failed or a stop was requested.
static bool ReadHeaderChunk(unsigned char* pucQBoxbuffer, unsigned int& ulGot)
{
    for (;;) {
        if (!WaitForChunk())
            return false;
        int result = ReadDevice(pucQBoxbuffer, ulGot);
        if (result != READ_DEVICE_EMPTY)
            return result == READ_DEVICE_DATA;
        PauseMilliseconds(READER_EMPTY_READ_PAUSE_MS);
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
// stop request while it waits for one abandons the box.
static BoxCompletion CompleteQBox(unsigned char* pucQBoxbuffer, const QBox* qBoxHeader,
                                  unsigned int ulGot)
{
    long pendingLength = (long)qBoxHeader->ulBoxSize - (long)ulGot;
    if (pendingLength < 0)
        return BOX_DISCARDED;  // the chunk carries bytes beyond its box
    unsigned int ulFillOffset = ulGot;
    while (pendingLength > 0) {
        // A device that goes silent inside a box must not hold off a stop.
        if (!WaitForChunk())
            return BOX_READ_FAILED;
        unsigned int ulChunk = 0;
        if (ReadDevice(pucQBoxbuffer + ulFillOffset, ulChunk) != READ_DEVICE_DATA)
            return BOX_READ_FAILED;
        pendingLength -= (long)ulChunk;
        if (pendingLength < 0)
            return BOX_DISCARDED;  // the last chunk ran past the end of the box
        ulFillOffset += ulChunk;
    }
    return BOX_COMPLETE;
}

bool ReadOneQBox(unsigned char* pucQBoxbuffer, QBox* qBoxHeader)
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

unsigned int ReadQBox(int hObject, unsigned char* pucQBoxbuffer, int& length,
                      unsigned int& type, unsigned int& TimeStamp)
{
    device = hObject;
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
