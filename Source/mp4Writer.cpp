// One-pass MP4 writer: the recording's file and state, its samples as they
// arrive, and the completion that appends the index.
#include "mp4Writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "QBox.h"
#include "byteorder.h"
#include "mp4boxes.h"
#include "mp4durable.h"
#include "mp4reserve.h"
#include "mp4spool.h"
#include "safefile.h"
#include "sample.h"

tRootAtom* root = nullptr;
FILE* mp4file = nullptr;

UINT32 prevTimeStampVid = 0;
UINT32 firstTimeStampVid = 0;
UINT64 durationTimeVid = 0;
UINT32 prevTimeStampAud = 0;
UINT32 firstTimeStampAud = 0;
UINT64 durationTimeAud = 0;
UINT64 durationTimeAudonVidScale = 0;

// Until a gap is seen (a track of one picture), a picture lasts one frame
// at the program's default 30 fps: a track of duration 0 is dropped by
// readers that take it for a preview image (GStreamer's qtdemux).
const UINT32 MP4_LONE_PICTURE_TICKS = 3000;
// 90 kHz ticks from the first audio sample to the latest one: its audio
// time, converted whole, gives every duration without rounding drift.
static UINT64 audioTicks = 0;

const UINT32 MIN_NALU_SIZE = START_CODE_SIZE + 1;  // start code and NAL header byte

int mp4WriteError = 0;
UINT64 mp4MaxFileLength = MP4_MAX_FILE_LENGTH;

// The samples go to the file through the stream's buffer, which is pushed
// out when the next sample would not fit in it, when the recording is made
// durable, handed over or completed: one write for many samples instead
// of one each. What the recording held at the last push that reached the
// file is kept, so that a push the disk refuses takes the recording back
// to it: the file then ends with the last whole sample it holds, and the
// tables with that sample.
// The stream's buffer (the C library takes a size only with a buffer of
// the caller's); one recording has a stream at a time.
static char streamBuffer[RECORDING_BUFFER_SIZE];

struct tTrackCounts {
    UINT32 ulSamples;
    UINT32 ulDurations;
    UINT32 ulSyncSamples;
};

struct tPushedState {
    UINT64 ullFileLength;
    tTrackCounts stVideo;
    tTrackCounts stAudio;
    UINT32 ulPrevTimeStampVid;
    UINT64 ullDurationVid;
    UINT32 ulPrevTimeStampAud;
    UINT64 ullDurationAud;
    UINT64 ullAudioTicks;
};
static tPushedState pushed;
// Bytes handed to the stream since the last push.
static UINT32 ulUnpushed = 0;

// ---- output primitives -----------------------------------------------------

bool mp4OutputFailed()
{
    return mp4WriteError != 0 || mp4file == nullptr;
}

void mp4FailOutput(int error)
{
    if (mp4WriteError == 0) {
        mp4WriteError = error != 0 ? error : EIO;
    }
}

// Writes size bytes at the output's position; false (and the error kept)
// when they did not all go.
static bool putBytes(const UINT8* data, UINT32 size)
{
    if (mp4OutputFailed()) {
        return false;
    }
    if (size > 0 && fwrite(data, 1, size, mp4file) != size) {
        mp4FailOutput(errno);
        return false;
    }
    return true;
}

bool mp4Append(const UINT8* data, UINT32 size)
{
    bool written = putBytes(data, size);
    root->fileLength += size;
    return written;
}

void longWrite(UINT32 val)
{
    UINT8 bytes[4];
    WriteBE32(bytes, val);
    putBytes(bytes, sizeof(bytes));
    if (root != nullptr) {
        root->fileLength += sizeof(bytes);
    }
}

void longReplace(UINT32 val)
{
    UINT8 bytes[4];
    WriteBE32(bytes, val);
    putBytes(bytes, sizeof(bytes));
}

UINT32 swapBytes(const UINT8* pByte)
{
    return ReadBE32(pByte);
}

static void seekOutput(UINT64 offset)
{
    if (!mp4OutputFailed() && fseeko(mp4file, (off_t)offset, SEEK_SET) != 0) {
        mp4FailOutput(errno);
    }
}

UINT64 mp4OpenBox(UINT32 type)
{
    UINT64 offset = root->fileLength;
    longWrite(0);  // size, patched when the box closes
    longWrite(type);
    return offset;
}

void mp4CloseBox(UINT64 boxOffset)
{
    seekOutput(boxOffset);
    longReplace((UINT32)(root->fileLength - boxOffset));
    seekOutput(root->fileLength);
}

bool mp4FlushOutput()
{
    if (!mp4OutputFailed() && fflush(mp4file) != 0) {
        mp4FailOutput(errno);
    }
    return !mp4OutputFailed();
}

// A sample whose write failed is cut off again, so that the file ends with
// the last whole sample. The stream may still hold some of its bytes, which
// a fresh stream on the same file leaves behind.
static void cutOutputBack(UINT64 length)
{
    int fd = dup(fileno(mp4file));
    fclose(mp4file);
    mp4file = nullptr;
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, (off_t)length) != 0 || lseek(fd, (off_t)length, SEEK_SET) < 0 ||
        (mp4file = fdopen(fd, "wb")) == nullptr) {
        close(fd);
        return;
    }
    UseRecordingBuffer(mp4file, streamBuffer);
    root->fileLength = length;
}

static tTrackCounts countsOf(const tTrack* track)
{
    tTrackCounts counts = {0, 0, 0};
    if (track != nullptr) {
        counts = {track->ulSamples, track->ulDurations, track->ulSyncSamples};
    }
    return counts;
}

static void notePushed()
{
    pushed.ullFileLength = root->fileLength;
    pushed.stVideo = countsOf(root->videoTrack);
    pushed.stAudio = countsOf(root->audioTrack);
    pushed.ulPrevTimeStampVid = prevTimeStampVid;
    pushed.ullDurationVid = durationTimeVid;
    pushed.ulPrevTimeStampAud = prevTimeStampAud;
    pushed.ullDurationAud = durationTimeAud;
    pushed.ullAudioTicks = audioTicks;
    ulUnpushed = 0;
}

static void cutTrackTo(tTrack* track, const tTrackCounts& counts)
{
    if (track != nullptr && !cutTrack(track, counts.ulSamples, counts.ulDurations, counts.ulSyncSamples)) {
        mp4FailOutput(errno);
    }
}

// The recording as it was at the last push that reached the file.
static void rollBackToPushed()
{
    cutTrackTo(root->videoTrack, pushed.stVideo);
    cutTrackTo(root->audioTrack, pushed.stAudio);
    prevTimeStampVid = pushed.ulPrevTimeStampVid;
    durationTimeVid = pushed.ullDurationVid;
    prevTimeStampAud = pushed.ulPrevTimeStampAud;
    durationTimeAud = pushed.ullDurationAud;
    audioTicks = pushed.ullAudioTicks;
    if (mp4file != nullptr) {
        cutOutputBack(pushed.ullFileLength);
    }
    ulUnpushed = 0;
}

bool mp4PushSamples()
{
    if (root == nullptr || mp4OutputFailed()) {
        return false;
    }
    if (fflush(mp4file) != 0) {
        mp4FailOutput(errno);
        rollBackToPushed();
        return false;
    }
    notePushed();
    return true;
}

bool flushMP4Spools()
{
    bool flushed = true;
    for (tSpool* spool : spoolFiles) {
        if (!flushSpool(spool)) {
            mp4FailOutput(errno);
            flushed = false;
        }
    }
    return flushed;
}

// ---- opening and releasing -------------------------------------------------

const tVideoCodec* mp4VideoCodec()
{
    return root != nullptr && root->pVideoCodec != nullptr ? root->pVideoCodec : RunVideoCodec();
}

const tAudioCodec* mp4AudioCodec()
{
    return root != nullptr && root->pAudioCodec != nullptr ? root->pAudioCodec : RunAudioCodec();
}

static UINT32 trackSamples(const tTrack* track)
{
    return track != nullptr ? track->ulSamples : 0;
}

UINT64 mp4SampleCount()
{
    return root != nullptr ? (UINT64)trackSamples(root->videoTrack) + trackSamples(root->audioTrack) : 0;
}

// One recording per run: its time line starts from nothing.
static void resetTimeline()
{
    prevTimeStampVid = firstTimeStampVid = durationTimeVid = 0;
    prevTimeStampAud = firstTimeStampAud = durationTimeAud = 0;
    durationTimeAudonVidScale = 0;
    audioTicks = 0;
}

bool mp4OpenTracks(bool truncate)
{
    root->fileLength = 0;
    mp4WriteError = 0;
    resetTimeline();
    if (root->pVideoCodec == nullptr) {
        root->pVideoCodec = RunVideoCodec();
    }
    if (root->pAudioCodec == nullptr) {
        root->pAudioCodec = RunAudioCodec();
    }
    if (root->AudioPresentFlag && !openTrack(root->audioTrack = new tTrack(), false, truncate)) {
        return false;
    }
    return !root->VideoPresentFlag || openTrack(root->videoTrack = new tTrack(), true, truncate);
}

UINT8 createMP4Params()
{
    if (root == nullptr || mp4file == nullptr) {
        return 0;
    }
    mp4InfoChanged();
    UseRecordingBuffer(mp4file, streamBuffer);
    if (!mp4OpenTracks(true) || !openIndexReserve()) {
        return 0;
    }
    writeFtypAtom();
    mp4OpenBox(FourCC("mdat"));  // closed at completion
    return mp4PushSamples() ? 1 : 0;
}

// Closes the spools, the index reserve and the output, and releases root.
static void releaseMP4State()
{
    for (tSpool* spool : spoolFiles) {
        closeSpool(spool);
    }
    closeIndexReserve();
    // Completion closes the output; when it did not run, the header and any
    // samples written are flushed here so nothing recorded is lost.
    if (mp4file != nullptr) {
        fclose(mp4file);
        mp4file = nullptr;
    }
    if (root != nullptr) {
        delete root->audioTrack;
        delete root->videoTrack;
        delete root;
        root = nullptr;
    }
    mp4InfoSettled();
}

void deleteMP4Params()
{
    releaseMP4State();
    const tSpoolSetNames* names = activeSpoolNames();
    for (const char* name : names->spool) {
        remove(name);
    }
    remove(names->reserve);
    remove(names->info);
    remove(names->infoNew);
}

UINT8 prepareMP4Handover()
{
    return mp4PushSamples() ? 1 : 0;
}

void forgetMP4Recording()
{
    releaseMP4State();
}

// ---- samples ---------------------------------------------------------------

static bool fitsInFile(UINT64 size)
{
    return root->fileLength + size <= mp4MaxFileLength;
}

UINT64 mp4BytesLeft()
{
    if (root == nullptr || root->fileLength >= mp4MaxFileLength) {
        return 0;
    }
    return mp4MaxFileLength - root->fileLength;
}

// Whether the recording can take one more sample: its index fits in the
// reserve, and the info file describes it. False: mp4WriteError says why.
static bool readyForSample()
{
    return !mp4OutputFailed() && growIndexReserveForSample() && mp4StoreInfo();
}

// Room in the stream's buffer for a sample of size bytes: the samples in
// it are pushed out first when it would not fit. False when that push
// failed (the recording went back to the last push that reached the file).
static bool roomForSample(UINT64 size)
{
    return ulUnpushed + size <= RECORDING_BUFFER_SIZE || mp4PushSamples();
}

// The sample written at offset (written: all of it went to the stream) has
// its size and offset spooled; one that did not all go takes the recording
// back to the last push that reached the file.
static bool endSample(tTrack* track, UINT64 offset, UINT32 size, bool written)
{
    if (!written) {
        rollBackToPushed();
        return false;
    }
    root->fileLength += size;
    ulUnpushed += size;
    if (!spoolSampleEntry(track, size, (UINT32)offset)) {
        mp4FailOutput(errno);
    }
    return true;
}

// Spools a duration and keeps the track's running total.
static void spoolTrackDuration(tTrack* track, UINT32 duration, UINT64* total)
{
    if (!spoolDuration(track, duration)) {
        mp4FailOutput(errno);
    }
    *total += duration;
}

// The units of a picture that go into its sample: all but the parameter
// sets, which stay in "avcC" (ISO/IEC 14496-15, 5.3.2 and 5.3.3).
static bool unitInSample(const tNalUnit& unit)
{
    return unit.ucType != NALU_TYPE_SPS && unit.ucType != NALU_TYPE_PPS;
}

static UINT64 accessUnitSize(const tNalUnit* units, UINT32 count)
{
    UINT64 size = 0;
    for (UINT32 i = 0; i < count; i++) {
        size += unitInSample(units[i]) ? QBOX_NALU_PREFIX_SIZE + (UINT64)units[i].ulSize : 0;
    }
    return size;
}

// Writes the units behind their 4-byte lengths straight from the sample's
// buffer, one write for each run of units that lie there back to back with
// their length prefixes; a unit whose prefix is not its length (a unit in
// start-code form) is given one.
static bool putAccessUnit(const tNalUnit* units, UINT32 count)
{
    const UINT8* run = nullptr;
    UINT32 runSize = 0;
    bool written = true;
    for (UINT32 i = 0; i < count && written; i++) {
        const tNalUnit& unit = units[i];
        if (!unitInSample(unit)) {
            continue;
        }
        bool prefixed = unit.pucPrefix + QBOX_NALU_PREFIX_SIZE == unit.pucData && ReadBE32(unit.pucPrefix) == unit.ulSize;
        if (prefixed && run != nullptr && run + runSize == unit.pucPrefix) {
            runSize += QBOX_NALU_PREFIX_SIZE + unit.ulSize;
            continue;
        }
        written = putBytes(run, runSize);
        run = prefixed ? unit.pucPrefix : unit.pucData;
        runSize = prefixed ? QBOX_NALU_PREFIX_SIZE + unit.ulSize : unit.ulSize;
        if (!prefixed) {
            UINT8 prefix[QBOX_NALU_PREFIX_SIZE];
            WriteBE32(prefix, unit.ulSize);
            written = written && putBytes(prefix, sizeof(prefix));
        }
    }
    return written && putBytes(run, runSize);
}

// One picture as one sample; its duration is the gap to the next one.
static UINT8 appendAccessUnit(const tNalUnit* units, UINT32 count, bool idr, UINT32 timeStamp)
{
    tTrack* track = root->videoTrack;
    UINT64 size = accessUnitSize(units, count);
    if (size == 0 || !VideoCodecKnown(mp4VideoCodec()) || !fitsInFile(size) || !readyForSample() ||
        !roomForSample(size)) {
        return 0;
    }
    UINT64 offset = root->fileLength;
    if (!endSample(track, offset, (UINT32)size, putAccessUnit(units, count))) {
        return 0;
    }
    if (track->ulSamples > 1) {
        spoolTrackDuration(track, timeStamp - prevTimeStampVid, &durationTimeVid);
    } else {
        firstTimeStampVid = timeStamp;
        mp4InfoChanged();
    }
    prevTimeStampVid = timeStamp;
    if (idr && !spoolSyncSample(track)) {
        mp4FailOutput(errno);
    }
    return 1;
}

UINT8 writeVideoAccessUnit(const tSample* pSample)
{
    if (root == nullptr || root->videoTrack == nullptr || pSample == nullptr || !pSample->bPicture) {
        return 0;
    }
    return appendAccessUnit(pSample->pUnits, pSample->ulUnitCount, pSample->bIdr, pSample->ulCts);
}

UINT8 writeVideoSample(const UINT8* buffer, UINT32 size, UINT32 timeStamp)
{
    if (root == nullptr || root->videoTrack == nullptr || buffer == nullptr || size < MIN_NALU_SIZE ||
        ReadBE32(buffer) != START_CODE_VALUE) {
        return 1;
    }
    // The start code stands where the length goes: putAccessUnit writes one.
    tNalUnit unit = {buffer, buffer + START_CODE_SIZE, size - START_CODE_SIZE, NaluType(buffer[START_CODE_SIZE])};
    if (!unitInSample(unit)) {
        VideoCodecTakeUnit(root->pVideoCodec, unit.pucData, unit.ulSize);
        return 1;
    }
    appendAccessUnit(&unit, 1, unit.ucType == NALU_TYPE_IDR, timeStamp);
    return 1;
}

// The previous audio frame lasts until this one: the difference of the two
// stamps' audio times, each converted whole from the first frame on.
static UINT32 audioDurationUntil(UINT32 timeStamp)
{
    UINT32 rate = mp4AudioCodec()->ulSampleRate;
    UINT64 ticks = audioTicks + (UINT32)(timeStamp - prevTimeStampAud);
    UINT64 duration = QBoxTicksToRate(ticks, rate) - QBoxTicksToRate(audioTicks, rate);
    audioTicks = ticks;
    return (UINT32)duration;
}

UINT8 writeAudioSample(const UINT8* buffer, UINT32 size, UINT32 timeStamp)
{
    if (root == nullptr || root->audioTrack == nullptr || buffer == nullptr || !fitsInFile(size) ||
        !readyForSample() || !roomForSample(size)) {
        return 0;
    }
    tTrack* track = root->audioTrack;
    UINT64 offset = root->fileLength;
    if (!endSample(track, offset, size, putBytes(buffer, size))) {
        return 0;
    }
    if (track->ulSamples > 1) {
        spoolTrackDuration(track, audioDurationUntil(timeStamp), &durationTimeAud);
    } else {
        firstTimeStampAud = timeStamp;
        mp4InfoChanged();
    }
    prevTimeStampAud = timeStamp;
    return 1;
}

// Spool records per sample: size, chunk offset, duration, and for video a
// sync-sample number at most.
const UINT64 VIDEO_SPOOL_BYTES_PER_SAMPLE = 4 * SPOOL_RECORD_SIZE;
const UINT64 AUDIO_SPOOL_BYTES_PER_SAMPLE = 3 * SPOOL_RECORD_SIZE;

UINT64 mp4BytesAtMost(const tSample* pSample)
{
    if (root == nullptr || pSample == nullptr) {
        return 0;
    }
    UINT64 data = 0, records = 0;
    if (pSample->usStreamType == QBOX_STREAM_VIDEO && root->videoTrack != nullptr && pSample->bPicture) {
        data = accessUnitSize(pSample->pUnits, pSample->ulUnitCount);
        records = VIDEO_SPOOL_BYTES_PER_SAMPLE;
    } else if (pSample->usStreamType == QBOX_STREAM_AUDIO && root->audioTrack != nullptr && pSample->ulFrameSize > 0) {
        data = pSample->ulFrameSize;
        records = AUDIO_SPOOL_BYTES_PER_SAMPLE;
    } else {
        return 0;
    }
    return data + records + indexReserveGrowthForSample();
}

// ---- completion --------------------------------------------------------------

// The last video sample lasts as long as the last non-zero gap between two
// samples (a picture alone: one frame).
static void closeVideoDurations()
{
    tTrack* track = root->videoTrack;
    UINT32 lastGap = MP4_LONE_PICTURE_TICKS;
    for (UINT32 i = track->ulDurations; i > 0; i--) {
        UINT32 gap = readRecordAt(track->pDurations, i - 1);
        if (gap != 0) {
            lastGap = gap;
            break;
        }
    }
    spoolTrackDuration(track, lastGap, &durationTimeVid);
}

// The last audio frame has no successor to end it: it lasts one AAC frame.
static void closeAudioDurations()
{
    spoolTrackDuration(root->audioTrack, mp4AudioCodec()->ulFrameSamples, &durationTimeAud);
    UINT32 rate = mp4AudioCodec()->ulSampleRate;
    // The audio media duration on the movie clock, rounded down.
    durationTimeAudonVidScale = rate != 0 ? durationTimeAud * MP4_MOVIE_TIMESCALE / rate : 0;
}

// The track whose first sample comes later starts that many movie ticks
// into the movie, so that each sample plays at its stamp relative to the
// earliest one of the file; the movie lasts as long as its longest track,
// start offset included.
static void planStarts(tMoovPlan* plan)
{
    if (plan->bVideo && plan->bAudio) {
        int64_t videoLater = (INT32)(firstTimeStampVid - firstTimeStampAud);
        if (videoLater > 0) {
            plan->ullVideoStart = (UINT64)videoLater;
        } else {
            plan->ullAudioStart = (UINT64)-videoLater;
        }
    }
    UINT64 videoEnd = plan->bVideo ? plan->ullVideoStart + durationTimeVid : 0;
    UINT64 audioEnd = plan->bAudio ? plan->ullAudioStart + durationTimeAudonVidScale : 0;
    plan->ullMovieDuration = videoEnd > audioEnd ? videoEnd : audioEnd;
}

UINT8 completeMP4File()
{
    if (root == nullptr) {
        return 0;
    }
    // The samples still in the stream's buffer go first, into the space
    // outside the reserve; a disk that refuses them takes the recording
    // back to the samples it holds.
    if (mp4file != nullptr && ulUnpushed > 0) {
        if (fflush(mp4file) == 0) {
            notePushed();
        } else {
            rollBackToPushed();
        }
    }
    // The index goes into the space the reserve gives back. Whatever made
    // the recording stop taking samples (mp4WriteError, a full disk), the
    // samples in the file are whole; from here on the error is completion's.
    releaseIndexReserve();
    mp4WriteError = 0;
    if (mp4file == nullptr) {
        mp4FailOutput(EBADF);
        return 0;
    }
    // Without both parameter sets there is no "avcC", so the video track is
    // left out, and so is a track without samples; with no track left the
    // file stays as it was opened.
    tMoovPlan plan = tMoovPlan();
    plan.bVideo = trackSamples(root->videoTrack) > 0 && VideoCodecKnown(mp4VideoCodec());
    plan.bAudio = trackSamples(root->audioTrack) > 0;
    if (plan.bVideo) {
        closeVideoDurations();
    }
    if (plan.bAudio) {
        closeAudioDurations();
    }
    planStarts(&plan);
    if (plan.bVideo || plan.bAudio) {
        mp4CloseBox(MP4_MDAT_HEADER_OFFSET);
        writeMoovAtom(&plan);
    }

    bool completed = mp4FlushOutput();
    if (fclose(mp4file) != 0 && completed) {
        mp4FailOutput(errno);
        completed = false;
    }
    mp4file = nullptr;
    return completed ? 1 : 0;
}
