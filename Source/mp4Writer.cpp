// One-pass MP4 writer: file header and sample spooling while recording,
// "moov" with its track boxes at completion.
#include "mp4Writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QBox.h"
#include "WriteAACHeader.h"
#include "byteorder.h"
#include "mp4spool.h"
#include "safefile.h"

tRootAtom* root = nullptr;
FILE* mp4file = nullptr;

UINT32 currTimeStampVid = 0;
UINT32 prevTimeStampVid = 0;
UINT32 firstTimeStampVid = 0;
UINT64 durationTimeVid = 0;
UINT32 currTimeStampAud = 0;
UINT32 prevTimeStampAud = 0;
UINT32 firstTimeStampAud = 0;
UINT64 durationTimeAud = 0;
UINT64 durationTimeAudonVidScale = 0;
UINT32 videoTrakSize = 0;
UINT32 lengthIODSAtom = 0;

// A video sample's duration is the gap to the next accepted video sample,
// so it is spooled when that sample arrives; the last sample of the track
// takes the last non-zero gap. Audio likewise, in audio samples.
static UINT32 lastVideoGap = 0;
// Until a gap is seen (a track of one picture), a picture lasts one frame
// at the program's default 30 fps: a track of duration 0 is dropped by
// readers that take it for a preview image (GStreamer's qtdemux).
const UINT32 MP4_LONE_PICTURE_TICKS = 3000;
// 90 kHz ticks from the first audio sample to the latest one: its audio
// time, converted whole, gives every duration without rounding drift.
static UINT64 audioTicks = 0;
// How much later than the earlier track each track starts, in movie ticks
// (set at completion; 0 for the track that starts first).
static UINT64 startOffsetVid = 0;
static UINT64 startOffsetAud = 0;

// ---- constants -------------------------------------------------------------

const UINT32 VIDEO_TRACK_ID = 1;
const UINT32 AUDIO_TRACK_ID = 2;
const UINT32 MIN_NALU_SIZE = START_CODE_SIZE + 1;  // start code and NAL header byte

// ---- fixed box templates ---------------------------------------------------
// Fields filled per file are zero here; their offsets are named beside them.

const UINT8 FTYP_BOX[24] = {
    0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p',
    'm', 'p', '4', '2',                          // major brand
    0x00, 0x00, 0x00, 0x00,                      // minor version
    'm', 'p', '4', '2', 'i', 's', 'o', 'm',      // compatible brands
};

const UINT32 MVHD_DURATION_OFFSET = 24;
const UINT32 MVHD_NEXT_TRACK_ID_OFFSET = 104;
const UINT8 MVHD_TEMPLATE[108] = {
    0x00, 0x00, 0x00, 0x6c, 'm', 'v', 'h', 'd',
    0x00, 0x00, 0x00, 0x00,                      // version 0, flags
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // creation, modification
    0x00, 0x01, 0x5f, 0x90,                      // timescale 90000
    0x00, 0x00, 0x00, 0x00,                      // duration
    0x00, 0x01, 0x00, 0x00,                      // rate 1.0
    0x01, 0x00, 0x00, 0x00,                      // volume 1.0, reserved
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // reserved
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // matrix
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // pre_defined
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,                      // next_track_ID
};

// Initial object descriptor (ISO/IEC 14496-1 and -14) naming the first
// track of the file.
const UINT32 IODS_TRACK_ID_OFFSET = 23;
const UINT8 IODS_TEMPLATE[27] = {
    0x00, 0x00, 0x00, 0x1b, 'i', 'o', 'd', 's',
    0x00, 0x00, 0x00, 0x00,
    0x10, 0x0d,                                  // MP4_IOD tag, length 13
    0x00, 0x4f,                                  // OD ID 1, no URL, no inline profiles
    0xff, 0xff, 0x0f, 0x03, 0xff,                // OD, scene, audio, visual, graphics levels
    0x0e, 0x04, 0x00, 0x00, 0x00, 0x00,          // ES_ID_Inc: track_ID
};

const UINT32 TKHD_TRACK_ID_OFFSET = 20;
const UINT32 TKHD_DURATION_OFFSET = 28;
const UINT32 TKHD_VOLUME_OFFSET = 44;
const UINT32 TKHD_WIDTH_OFFSET = 84;
const UINT32 TKHD_HEIGHT_OFFSET = 88;
const UINT8 TKHD_TEMPLATE[92] = {
    0x00, 0x00, 0x00, 0x5c, 't', 'k', 'h', 'd',
    0x00, 0x00, 0x00, 0x07,                      // version 0; enabled, in movie, in preview
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // creation, modification
    0x00, 0x00, 0x00, 0x00,                      // track_ID
    0x00, 0x00, 0x00, 0x00,                      // reserved
    0x00, 0x00, 0x00, 0x00,                      // duration
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // reserved
    0x00, 0x00, 0x00, 0x00,                      // layer, alternate_group
    0x00, 0x00, 0x00, 0x00,                      // volume, reserved
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // matrix
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,                      // width 16.16
    0x00, 0x00, 0x00, 0x00,                      // height 16.16
};
const UINT32 TKHD_AUDIO_VOLUME = 0x01000000;  // 1.0 in 8.8, then 16 reserved bits

const UINT32 MDHD_TIMESCALE_OFFSET = 20;
const UINT32 MDHD_DURATION_OFFSET = 24;
const UINT8 MDHD_TEMPLATE[32] = {
    0x00, 0x00, 0x00, 0x20, 'm', 'd', 'h', 'd',
    0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // creation, modification
    0x00, 0x00, 0x00, 0x00,                      // timescale
    0x00, 0x00, 0x00, 0x00,                      // duration
    0x15, 0xc7, 0x00, 0x00,                      // language "eng", pre_defined
};

const UINT32 HDLR_HANDLER_OFFSET = 16;
const UINT8 HDLR_TEMPLATE[33] = {
    0x00, 0x00, 0x00, 0x21, 'h', 'd', 'l', 'r',
    0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,                      // pre_defined
    0x00, 0x00, 0x00, 0x00,                      // handler_type
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // reserved
    0x00,                                        // name: empty string
};

const UINT8 VMHD_BOX[20] = {
    0x00, 0x00, 0x00, 0x14, 'v', 'm', 'h', 'd',
    0x00, 0x00, 0x00, 0x01,                      // version 0, flags 1
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // graphicsmode, opcolor
};

const UINT8 SMHD_BOX[16] = {
    0x00, 0x00, 0x00, 0x10, 's', 'm', 'h', 'd',
    0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,                      // balance, reserved
};

// "dinf" with one "url " entry whose flag 1 says the media is in this file.
const UINT8 DINF_BOX[36] = {
    0x00, 0x00, 0x00, 0x24, 'd', 'i', 'n', 'f',
    0x00, 0x00, 0x00, 0x1c, 'd', 'r', 'e', 'f',
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x0c, 'u', 'r', 'l', ' ',
    0x00, 0x00, 0x00, 0x01,
};

// "avc1" sample entry body after its size and type.
const UINT32 AVC1_WIDTH_OFFSET = 24;
const UINT32 AVC1_HEIGHT_OFFSET = 26;
const UINT8 AVC1_BODY_TEMPLATE[78] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, // reserved, data_reference_index 1
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // pre_defined, reserved, pre_defined
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,                      // width, height
    0x00, 0x48, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, // 72 dpi
    0x00, 0x00, 0x00, 0x00,                      // reserved
    0x00, 0x01,                                  // frame_count
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // compressorname
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x18, 0xff, 0xff,                      // depth 24, pre_defined -1
};
// AVCDecoderConfigurationRecord (ISO/IEC 14496-15, 5.2.4.1): version 1,
// then AVCProfileIndication, profile_compatibility and AVCLevelIndication,
// which are the three bytes after the SPS's NAL header (profile_idc, the
// constraint flags, level_idc: ISO/IEC 14496-10, 7.3.2.1), then 4-byte
// lengths and one SPS.
const UINT8 AVCC_CONFIGURATION_VERSION = 0x01;
const UINT32 AVCC_PROFILE_BYTES = 3;
const UINT8 AVCC_LENGTH_SIZE_4 = 0xff;  // reserved '111111', lengthSizeMinusOne 3
const UINT8 AVCC_ONE_SPS = 0xe1;        // reserved '111', numOfSequenceParameterSets 1
const UINT32 AVCC_HEAD_SIZE = 6;
const UINT8 AVCC_NUM_PPS = 0x01;
// "avc1" = header 8 + body 78 + "avcC" header 8 + 11 fixed bytes, less the
// two start codes counted in the parameter-set lengths.
const UINT32 AVC1_LENGTH_BASE = 97;
const UINT32 AVCC_LENGTH_BASE = 11;
const UINT32 STSD_HEADER_SIZE = 16;

// "mp4a" sample entry body with its "esds", after its size and type.
const UINT32 MP4A_ENTRY_SIZE = 75;
const UINT32 MP4A_STSD_SIZE = 91;
const UINT32 MP4A_CHANNELS_OFFSET = 16;
const UINT32 MP4A_SAMPLE_SIZE_OFFSET = 18;
const UINT32 MP4A_SAMPLE_RATE_OFFSET = 24;
const UINT8 MP4A_BODY_TEMPLATE[67] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, // reserved, data_reference_index 1
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // reserved
    0x00, 0x00, 0x00, 0x00,                      // channelcount, samplesize
    0x00, 0x00, 0x00, 0x00,                      // pre_defined, reserved
    0x00, 0x00, 0x00, 0x00,                      // samplerate 16.16
    0x00, 0x00, 0x00, 0x27, 'e', 's', 'd', 's',
    0x00, 0x00, 0x00, 0x00,
    0x03, 0x19, 0x00, 0x01, 0x00,                // ES_Descriptor, ES_ID 1
    0x04, 0x11, 0x40, 0x15,                      // DecoderConfig: MPEG-4 audio, audio stream
    0x00, 0x3a, 0x98,                            // bufferSizeDB 15000
    0x00, 0x16, 0xe3, 0x60,                      // maxBitrate 1500000
    0x00, 0x00, 0x00, 0x00,                      // avgBitrate
    0x05, 0x02, 0x11, 0x90,                      // AudioSpecificConfig: AAC LC, 48 kHz, stereo
    // SLConfigDescriptor (ISO/IEC 14496-1, 7.2.6.8): predefined 2, the
    // MP4 file's own layer, so nothing follows it.
    0x06, 0x01, 0x02,
};

// ---- output primitives -----------------------------------------------------
//
// Every write and seek of the recording is checked. The first failure is
// kept in mp4WriteError (like a stream's error flag): later writes are not
// attempted, and completion reports it.

int mp4WriteError = 0;

static bool outputFailed()
{
    return mp4WriteError != 0 || mp4file == nullptr;
}

static void failOutput(int error)
{
    if (mp4WriteError == 0) {
        mp4WriteError = error != 0 ? error : EIO;
    }
}

// Writes size bytes at the output's position; false (and the error kept)
// when they did not all go.
static bool putBytes(const UINT8* data, UINT32 size)
{
    if (outputFailed()) {
        return false;
    }
    if (size > 0 && fwrite(data, 1, size, mp4file) != size) {
        failOutput(errno);
        return false;
    }
    return true;
}

void longWrite(UINT32 val, FILE* ptr)
{
    (void)ptr;
    UINT8 bytes[4];
    WriteBE32(bytes, val);
    putBytes(bytes, sizeof(bytes));
    if (root != nullptr) {
        root->fileLength += sizeof(bytes);
    }
}

void longReplace(UINT32 val, FILE* ptr)
{
    (void)ptr;
    UINT8 bytes[4];
    WriteBE32(bytes, val);
    putBytes(bytes, sizeof(bytes));
}

UINT32 swapBytes(UINT8* pByte)
{
    return ReadBE32(pByte);
}

// Appends a block to the output and keeps fileLength equal to the position.
static void writeBlock(const UINT8* data, UINT32 size)
{
    putBytes(data, size);
    root->fileLength += size;
}

void writeFtypAtom()
{
    writeBlock(FTYP_BOX, sizeof(FTYP_BOX));
}

static void seekOutput(UINT64 offset)
{
    if (!outputFailed() && fseeko(mp4file, (off_t)offset, SEEK_SET) != 0) {
        failOutput(errno);
    }
}

// Header of a box whose size is patched at the end; returns its offset.
static UINT64 openBox(UINT32 type)
{
    UINT64 offset = root->fileLength;
    longWrite(0, mp4file);
    longWrite(type, mp4file);
    return offset;
}

// Overwrites the size field of the box that starts at boxOffset.
static void patchBoxSize(UINT64 boxOffset, UINT32 size)
{
    seekOutput(boxOffset);
    longReplace(size, mp4file);
}

// Pushes what the stream holds to the file; false when that failed.
static bool flushOutput()
{
    if (!outputFailed() && fflush(mp4file) != 0) {
        failOutput(errno);
    }
    return !outputFailed();
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
    root->fileLength = length;
}

// ---- spool files -----------------------------------------------------------

static void spoolRecord(tSpool* spool, UINT32 value)
{
    if (!appendRecord(spool, value)) {
        failOutput(errno);
    }
}

bool flushMP4Spools()
{
    bool flushed = true;
    for (tSpool* spool : spoolFiles) {
        if (!flushSpool(spool)) {
            failOutput(errno);
            flushed = false;
        }
    }
    return flushed;
}

// Copies count records from the start of a spool file to the output as
// big-endian words.
static void copySpoolRecords(tSpool* spool, UINT32 count)
{
    const UINT32 RECORDS_PER_BLOCK = 256;
    UINT8 bytes[RECORDS_PER_BLOCK * SPOOL_RECORD_SIZE];

    for (UINT32 first = 0; first < count; first += RECORDS_PER_BLOCK) {
        UINT32 n = count - first < RECORDS_PER_BLOCK ? count - first : RECORDS_PER_BLOCK;
        for (UINT32 i = 0; i < n; i++) {
            WriteBE32(bytes + i * SPOOL_RECORD_SIZE, readRecordAt(spool, first + i));
        }
        writeBlock(bytes, n * SPOOL_RECORD_SIZE);
    }
}

// ---- index reserve -----------------------------------------------------------
//
// Completion appends the index ("moov") after the samples, about 16 bytes
// per video sample and 8 per audio sample. So that a full disk never leaves
// a recording without its index, the writer keeps a file of zeros at least
// as large as the index of the samples taken so far, and removes it just
// before it writes the index, which then takes the space the reserve gives
// back. When the reserve cannot grow, the recording takes no more samples.

static int reserveFd = -1;
static UINT64 reserveSize = 0;

static UINT64 sampleCount(const tTrack* track)
{
    return track != nullptr ? track->mdia->minf->stbl->stsz->numSamples : 0;
}

// The most the index can take once extraSamples more samples are in.
static UINT64 indexBytesAtMost(UINT64 extraSamples)
{
    UINT64 samples = sampleCount(root->videoTrack) + sampleCount(root->audioTrack) + extraSamples;
    UINT64 parameterSets = 0;
    if (root->videoTrack != nullptr) {
        parameterSets = (UINT64)root->videoTrack->spsLength + root->videoTrack->ppsLength;
    }
    return INDEX_FIXED_BYTES_AT_MOST + parameterSets + samples * INDEX_BYTES_PER_SAMPLE_AT_MOST;
}

static bool openIndexReserve()
{
    reserveSize = 0;
    reserveFd = OpenRegularFile(activeSpoolNames()->reserve, SAFE_OPEN_TRUNCATE);
    return reserveFd >= 0;
}

// Makes the reserve hold the index after extraSamples more samples. False,
// with the error kept, when the disk has no room for it.
static bool growIndexReserve(UINT64 extraSamples)
{
    static const UINT8 zeros[INDEX_RESERVE_STEP] = {};
    UINT64 target = indexBytesAtMost(extraSamples);
    if (reserveSize >= target) {
        return true;
    }
    if (reserveFd < 0) {
        failOutput(EBADF);
        return false;
    }
    UINT64 size = target + INDEX_RESERVE_STEP;
    while (reserveSize < size) {
        UINT64 piece = size - reserveSize < INDEX_RESERVE_STEP ? size - reserveSize : INDEX_RESERVE_STEP;
        if (!writeAll(reserveFd, zeros, (size_t)piece, (off_t)reserveSize)) {
            failOutput(errno);
            return false;
        }
        reserveSize += piece;
    }
    return true;
}

// Gives the reserved space back.
static void releaseIndexReserve()
{
    if (reserveFd >= 0) {
        close(reserveFd);
        reserveFd = -1;
    }
    reserveSize = 0;
    unlink(activeSpoolNames()->reserve);
}

// ---- durability ----------------------------------------------------------------
//
// The info file beside the spool files (see mp4spool.h) is rewritten when
// what it holds changes: when the recording is opened and when its
// parameter sets change. syncMP4Recording makes the sample data durable,
// then the spool records that point at it.

static char recordingName[RECORDING_NAME_SIZE] = "";
static bool infoStale = false;
UINT32 mp4SyncCount = 0;

void setMP4RecordingName(const char* name)
{
    snprintf(recordingName, sizeof(recordingName), "%s", name);
}

static void copyParameterSet(std::vector<UINT8>* copy, const UINT8* buffer, UINT32 length)
{
    copy->assign(buffer, buffer + (buffer != nullptr ? length : 0));
}

// Writes the info file when it no longer matches the recording.
static bool storeRecordingInfo()
{
    if (!infoStale) {
        return true;
    }
    tRecordingInfo info = tRecordingInfo();
    snprintf(info.name, sizeof(info.name), "%s", recordingName);
    info.video = root->VideoPresentFlag != 0;
    info.audio = root->AudioPresentFlag != 0;
    info.audioFrequency = root->audioFrequency;
    info.audioChannels = root->numAudioChannels;
    info.audioBitsPerSample = root->audioBitsPerSample;
    info.firstVideoStamp = firstTimeStampVid;
    info.firstAudioStamp = firstTimeStampAud;
    if (root->videoTrack != nullptr) {
        copyParameterSet(&info.sps, root->videoTrack->spsBuffer, root->videoTrack->spsLength);
        copyParameterSet(&info.pps, root->videoTrack->ppsBuffer, root->videoTrack->ppsLength);
    }
    if (!writeRecordingInfo(&info)) {
        failOutput(errno);
        return false;
    }
    infoStale = false;
    return true;
}

UINT64 mp4SampleCount()
{
    return root != nullptr ? sampleCount(root->videoTrack) + sampleCount(root->audioTrack) : 0;
}

UINT8 syncMP4Recording()
{
    if (root == nullptr || outputFailed() || !flushOutput()) {
        return 0;
    }
    if (fdatasync(fileno(mp4file)) != 0) {
        failOutput(errno);
        return 0;
    }
    // The info (first stamps, parameter sets) before the records it explains.
    if (!storeRecordingInfo()) {
        return 0;
    }
    if (!syncSpools()) {
        failOutput(errno);
        return 0;
    }
    mp4SyncCount++;
    return 1;
}

// ---- opening and releasing -------------------------------------------------

// Builds a track's record chain; the caller opens its spool files.
static tTrack* newTrack()
{
    tTrack* track = new tTrack();
    track->tkhd = new tTKHD();
    track->mdia = new tMDIA();
    track->mdia->mdhd = new tMDHD();
    track->mdia->minf = new tMINF();
    tSTBL* stbl = track->mdia->minf->stbl = new tSTBL();
    stbl->stts = new tSTTS();
    stbl->stsc = new tSTSC();
    stbl->stco = new tSTCO();
    stbl->stsz = new tSTSZ();
    stbl->stsc->entriesSTSC = 1;
    stbl->stsc->sample2chunkTbl = new tSample2chunkTbl();
    stbl->stsc->sample2chunkTbl->firstChunk = 1;
    stbl->stsc->sample2chunkTbl->samplesPerChunk = 1;
    stbl->stsc->sample2chunkTbl->sampleID = 1;
    return track;
}

// One recording per run: its time line starts from nothing.
static void resetTimeline()
{
    currTimeStampVid = prevTimeStampVid = firstTimeStampVid = durationTimeVid = 0;
    currTimeStampAud = prevTimeStampAud = firstTimeStampAud = durationTimeAud = 0;
    durationTimeAudonVidScale = 0;
    videoTrakSize = 0;
    lastVideoGap = MP4_LONE_PICTURE_TICKS;
    audioTicks = 0;
    startOffsetVid = startOffsetAud = 0;
}

static tSTBL* sampleTable(tTrack* track)
{
    return track->mdia->minf->stbl;
}

UINT8 createMP4Params()
{
    if (root == nullptr || mp4file == nullptr) {
        return 0;
    }
    root->fileLength = 0;
    root->audioConfigSet = 0;
    mp4WriteError = 0;
    root->mvhd = new tMVHD();
    resetTimeline();
    infoStale = true;

    if (root->AudioPresentFlag) {
        root->audioTrack = newTrack();
        if (!openSpool(sttsAudFile, true) || !openSpool(stcoAudFile, true) || !openSpool(stszAudFile, true)) {
            return 0;
        }
    }
    if (root->VideoPresentFlag) {
        root->videoTrack = newTrack();
        sampleTable(root->videoTrack)->stss = new tSTSS();
        if (!openSpool(sttsVidFile, true) || !openSpool(stcoVidFile, true) || !openSpool(stszVidFile, true) ||
            !openSpool(stssVidFile, true)) {
            return 0;
        }
    }
    if (!openIndexReserve()) {
        return 0;
    }

    writeFtypAtom();
    longWrite(0, mp4file);  // "mdat" size, patched at completion
    longWrite(FourCC("mdat"), mp4file);
    return flushOutput() ? 1 : 0;
}

static void deleteTrack(tTrack*& track)
{
    if (track == nullptr) {
        return;
    }
    if (track->mdia != nullptr) {
        tMINF* minf = track->mdia->minf;
        if (minf != nullptr && minf->stbl != nullptr) {
            tSTBL* stbl = minf->stbl;
            delete stbl->stss;
            if (stbl->stsc != nullptr) {
                delete stbl->stsc->sample2chunkTbl;
            }
            delete stbl->stts;
            delete stbl->stsc;
            delete stbl->stco;
            delete stbl->stsz;
            delete stbl;
        }
        delete minf;
        delete track->mdia->mdhd;
        delete track->mdia;
    }
    delete track->tkhd;
    delete[] track->spsBuffer;
    delete[] track->ppsBuffer;
    delete track;
    track = nullptr;
}

// Closes the spools, the index reserve and the output, and releases root.
static void releaseMP4State()
{
    for (tSpool* spool : spoolFiles) {
        closeSpool(spool);
    }
    if (reserveFd >= 0) {
        close(reserveFd);
        reserveFd = -1;
    }
    reserveSize = 0;
    // Completion closes the output; when it did not run, the header and any
    // samples written are flushed here so nothing recorded is lost.
    if (mp4file != nullptr) {
        fclose(mp4file);
        mp4file = nullptr;
    }
    if (root != nullptr) {
        deleteTrack(root->audioTrack);
        deleteTrack(root->videoTrack);
        delete root->mvhd;
        delete root;
        root = nullptr;
    }
    infoStale = false;
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
    return root != nullptr && !outputFailed() && flushOutput() ? 1 : 0;
}

void keepMP4ParameterSets(tMP4ParameterSets* sets)
{
    sets->sps.clear();
    sets->pps.clear();
    tTrack* video = root != nullptr ? root->videoTrack : nullptr;
    if (video != nullptr) {
        copyParameterSet(&sets->sps, video->spsBuffer, video->spsLength);
        copyParameterSet(&sets->pps, video->ppsBuffer, video->ppsLength);
    }
}

void forgetMP4Recording()
{
    releaseMP4State();
}

// ---- samples ---------------------------------------------------------------

UINT64 mp4MaxFileLength = MP4_MAX_FILE_LENGTH;

static bool fitsInFile(UINT32 size)
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

// sequenceParameterSetLength and pictureParameterSetLength of "avcC" are 16
// bits (ISO/IEC 14496-15, 5.3.3.1).
const UINT32 AVCC_MAX_PARAMETER_SET_SIZE = 0xFFFF;

// Keeps a copy of a parameter set (start code included) for "avcC". A set
// too long for its length field there is not taken: the last one that fits
// stays in use, and without one the video track is left out.
static void captureParameterSet(UINT8*& copy, UINT32& length, UINT8& setFlag, const UINT8* unit, UINT32 size)
{
    if (size - START_CODE_SIZE > AVCC_MAX_PARAMETER_SET_SIZE) {
        return;
    }
    if (copy != nullptr && length == size && memcmp(copy, unit, size) == 0) {
        return;  // the same set again
    }
    delete[] copy;
    copy = new UINT8[size];
    memcpy(copy, unit, size);
    length = size;
    setFlag = 1;
    infoStale = true;
}

void seedMP4ParameterSets(const tMP4ParameterSets& sets)
{
    tTrack* track = root != nullptr ? root->videoTrack : nullptr;
    if (track == nullptr) {
        return;
    }
    if (sets.sps.size() > START_CODE_SIZE) {
        captureParameterSet(track->spsBuffer, track->spsLength, track->SPSSetFlag, sets.sps.data(),
                            (UINT32)sets.sps.size());
    }
    if (sets.pps.size() > START_CODE_SIZE) {
        captureParameterSet(track->ppsBuffer, track->ppsLength, track->PPSSetFlag, sets.pps.data(),
                            (UINT32)sets.pps.size());
    }
}

// Writes one sample at the end of "mdat" and spools its size and chunk
// offset. False, with nothing of the sample left in the file, when the
// recording cannot take it: the index reserve cannot grow (the disk is
// full), or the write failed (mp4WriteError says why).
static bool appendSample(tSTBL* stbl, tSpool* stszSpool, tSpool* stcoSpool, const UINT8* buffer, UINT32 size)
{
    if (outputFailed() || !growIndexReserve(1) || !storeRecordingInfo()) {
        return false;
    }
    UINT64 offset = root->fileLength;
    if (!putBytes(buffer, size) || !flushOutput()) {
        cutOutputBack(offset);
        return false;
    }
    root->fileLength += size;
    spoolRecord(stszSpool, size);
    stbl->stsz->numSamples++;
    spoolRecord(stcoSpool, (UINT32)offset);
    stbl->stco->nChunks++;
    return true;
}

// Spools a video duration (90 kHz ticks) and keeps the running total.
static void appendVideoDuration(tSTBL* stbl, UINT32 duration)
{
    spoolRecord(sttsVidFile, duration);
    stbl->stts->numEntries++;
    durationTimeVid += duration;
}

UINT8 writeVideoSample(UINT8* buffer, UINT32 size, UINT32 timeStamp)
{
    if (root == nullptr || root->videoTrack == nullptr || buffer == nullptr || size < MIN_NALU_SIZE) {
        return 1;
    }
    tTrack* track = root->videoTrack;
    tSTBL* stbl = sampleTable(track);

    bool isSample = true;
    UINT8 naluHeader = buffer[START_CODE_SIZE];
    if (memcmp(buffer, START_CODE, START_CODE_SIZE) == 0) {
        if (naluHeader == NALU_HEADER_SPS) {
            captureParameterSet(track->spsBuffer, track->spsLength, track->SPSSetFlag, buffer, size);
        } else if (naluHeader == NALU_HEADER_PPS) {
            captureParameterSet(track->ppsBuffer, track->ppsLength, track->PPSSetFlag, buffer, size);
        }
        // A sample is an access unit (ISO/IEC 14496-15): parameter sets live
        // in "avcC", and SEI is left out, whatever their nal_ref_idc.
        UINT8 naluType = NaluType(naluHeader);
        isSample = naluType != NALU_TYPE_SEI && naluType != NALU_TYPE_SPS && naluType != NALU_TYPE_PPS;
        // In the file every NAL unit is preceded by its length (avcC
        // lengthSizeMinusOne = 3).
        WriteBE32(buffer, size - START_CODE_SIZE);
    }
    if (!isSample || !track->SPSSetFlag || !track->PPSSetFlag || !fitsInFile(size)) {
        return 1;
    }

    UINT32 previousSamples = stbl->stsz->numSamples;
    if (!appendSample(stbl, stszVidFile, stcoVidFile, buffer, size)) {
        return 1;
    }
    currTimeStampVid = timeStamp;
    if (previousSamples > 0) {
        UINT32 gap = timeStamp - prevTimeStampVid;
        appendVideoDuration(stbl, gap);
        if (gap != 0) {
            lastVideoGap = gap;
        }
    } else {
        firstTimeStampVid = timeStamp;
        infoStale = true;
    }
    prevTimeStampVid = timeStamp;
    if (naluHeader == NALU_HEADER_IDR) {
        spoolRecord(stssVidFile, stbl->stsz->numSamples);
        stbl->stss->nEntries++;
    }
    return 1;
}

// Spools an audio duration (audio samples) and keeps the running total.
static void appendAudioDuration(tSTBL* stbl, UINT32 duration)
{
    spoolRecord(sttsAudFile, duration);
    stbl->stts->numEntries++;
    durationTimeAud += duration;
}

// The previous audio frame lasts until this one: the difference of the two
// stamps' audio times, each converted whole from the first frame on.
static UINT32 audioDurationUntil(UINT32 timeStamp)
{
    UINT64 ticks = audioTicks + (UINT32)(timeStamp - prevTimeStampAud);
    UINT64 duration = QBoxTicksToRate(ticks, root->audioFrequency) - QBoxTicksToRate(audioTicks, root->audioFrequency);
    audioTicks = ticks;
    return (UINT32)duration;
}

UINT8 writeAudioSample(UINT8* buffer, UINT32 size, UINT32 timeStamp)
{
    if (root == nullptr || root->audioTrack == nullptr || buffer == nullptr || !fitsInFile(size)) {
        return 0;
    }
    tSTBL* stbl = sampleTable(root->audioTrack);
    UINT32 previousSamples = stbl->stsz->numSamples;
    if (!appendSample(stbl, stszAudFile, stcoAudFile, buffer, size)) {
        return 0;
    }
    currTimeStampAud = timeStamp;
    if (previousSamples > 0) {
        appendAudioDuration(stbl, audioDurationUntil(timeStamp));
    } else {
        firstTimeStampAud = timeStamp;
        infoStale = true;
    }
    prevTimeStampAud = timeStamp;
    return 1;
}

// ---- resuming an interrupted recording ---------------------------------------------
//
// A recording interrupted by a crash or a power cut leaves its file, its
// spool files and its info file. The samples kept are the longest run of
// each track whose table entries are whole in the spool files and whose
// data lies whole in the file (a video sample must also begin with its own
// NAL unit length); everything after them is cut off, and completion then
// writes the same index it would have written for those samples.

// Samples of a track whose entries and data are whole: at most count, each
// after the one before, inside the file after the "mdat" header.
static UINT32 wholeSamples(tSpool* stsz, tSpool* stco, UINT32 count, UINT64 fileSize, bool lengthPrefixed,
                           UINT64* end)
{
    UINT64 previousOffset = 0;
    for (UINT32 i = 0; i < count; i++) {
        UINT64 offset = readRecordAt(stco, i);
        UINT64 size = readRecordAt(stsz, i);
        if (offset < MP4_MDAT_DATA_OFFSET || offset < previousOffset || size == 0 || offset + size > fileSize) {
            return i;
        }
        if (lengthPrefixed) {
            UINT8 prefix[START_CODE_SIZE];
            if (size <= START_CODE_SIZE ||
                pread(fileno(mp4file), prefix, sizeof(prefix), (off_t)offset) != (ssize_t)sizeof(prefix) ||
                ReadBE32(prefix) != size - START_CODE_SIZE) {
                return i;
            }
        }
        previousOffset = offset + size;
        if (previousOffset > *end) {
            *end = previousOffset;
        }
    }
    return count;
}

static UINT32 minRecords(UINT32 a, UINT32 b)
{
    return a < b ? a : b;
}

static UINT64 sumRecords(const tSpool* spool, UINT32 count)
{
    UINT64 sum = 0;
    for (UINT32 i = 0; i < count; i++) {
        sum += readRecordAt(spool, i);
    }
    return sum;
}

// The video track: durations are the gaps to the next sample (audio's too),
// so n samples have n - 1 of them; sync-sample numbers are kept while they
// count up within the samples kept.
static bool resumeVideo(UINT64 fileSize, UINT64* end)
{
    tSTBL* stbl = sampleTable(root->videoTrack);
    UINT32 count = minRecords(spoolRecords(stszVidFile), spoolRecords(stcoVidFile));
    count = minRecords(count, spoolRecords(sttsVidFile) + 1);
    UINT32 kept = wholeSamples(stszVidFile, stcoVidFile, count, fileSize, true, end);
    UINT32 durations = kept > 0 ? kept - 1 : 0;
    UINT32 sync = 0;
    for (UINT32 n = spoolRecords(stssVidFile), previous = 0; sync < n; sync++) {
        UINT32 number = readRecordAt(stssVidFile, sync);
        if (number <= previous || number > kept) {
            break;
        }
        previous = number;
    }
    if (!cutSpool(stszVidFile, kept) || !cutSpool(stcoVidFile, kept) || !cutSpool(sttsVidFile, durations) ||
        !cutSpool(stssVidFile, sync)) {
        return false;
    }
    stbl->stsz->numSamples = stbl->stco->nChunks = kept;
    stbl->stts->numEntries = durations;
    stbl->stss->nEntries = sync;
    durationTimeVid = sumRecords(sttsVidFile, durations);
    for (UINT32 i = durations; i > 0; i--) {
        if (readRecordAt(sttsVidFile, i - 1) != 0) {
            lastVideoGap = readRecordAt(sttsVidFile, i - 1);
            break;
        }
    }
    return true;
}

static bool resumeAudio(UINT64 fileSize, UINT64* end)
{
    tSTBL* stbl = sampleTable(root->audioTrack);
    UINT32 count = minRecords(minRecords(spoolRecords(stszAudFile), spoolRecords(stcoAudFile)),
                              spoolRecords(sttsAudFile) + 1);
    UINT32 kept = wholeSamples(stszAudFile, stcoAudFile, count, fileSize, false, end);
    UINT32 durations = kept > 0 ? kept - 1 : 0;
    if (!cutSpool(stszAudFile, kept) || !cutSpool(stcoAudFile, kept) || !cutSpool(sttsAudFile, durations)) {
        return false;
    }
    stbl->stsz->numSamples = stbl->stco->nChunks = kept;
    stbl->stts->numEntries = durations;
    durationTimeAud = sumRecords(sttsAudFile, durations);
    return true;
}

static bool openTrackSpools(bool video)
{
    if (video) {
        return openSpool(sttsVidFile, false) && openSpool(stcoVidFile, false) && openSpool(stszVidFile, false) &&
               openSpool(stssVidFile, false);
    }
    return openSpool(sttsAudFile, false) && openSpool(stcoAudFile, false) && openSpool(stszAudFile, false);
}

static void takeParameterSet(UINT8*& copy, UINT32& length, UINT8& setFlag, const std::vector<UINT8>& set)
{
    if (set.size() > START_CODE_SIZE) {
        captureParameterSet(copy, length, setFlag, set.data(), (UINT32)set.size());
    }
}

// Whether the file begins as the writer begins every recording: its "ftyp"
// box and the header of "mdat".
static bool beginsAsWritten(FILE* file)
{
    UINT8 head[MP4_MDAT_DATA_OFFSET];
    if (pread(fileno(file), head, sizeof(head), 0) != (ssize_t)sizeof(head)) {
        return false;
    }
    return memcmp(head, FTYP_BOX, sizeof(FTYP_BOX)) == 0 && ReadBE32(head + MP4_MDAT_HEADER_OFFSET + 4) == FourCC("mdat");
}

int resumeMP4Recording(const tRecordingInfo* info, FILE* file)
{
    root = new tRootAtom();
    root->VideoPresentFlag = info->video ? 1 : 0;
    root->AudioPresentFlag = info->audio ? 1 : 0;
    root->audioFrequency = info->audioFrequency;
    root->numAudioChannels = info->audioChannels;
    root->audioBitsPerSample = info->audioBitsPerSample;
    root->mvhd = new tMVHD();
    mp4file = file;
    mp4WriteError = 0;
    resetTimeline();
    setMP4RecordingName(info->name);
    firstTimeStampVid = info->firstVideoStamp;
    firstTimeStampAud = info->firstAudioStamp;

    off_t fileSize = lseek(fileno(file), 0, SEEK_END);
    if (fileSize < (off_t)MP4_MDAT_DATA_OFFSET || !beginsAsWritten(file)) {
        return -1;
    }
    UINT64 end = MP4_MDAT_DATA_OFFSET;
    if (root->AudioPresentFlag) {
        root->audioTrack = newTrack();
        if (!openTrackSpools(false) || !resumeAudio((UINT64)fileSize, &end)) {
            return -1;
        }
    }
    if (root->VideoPresentFlag) {
        tTrack* track = root->videoTrack = newTrack();
        sampleTable(track)->stss = new tSTSS();
        if (!openTrackSpools(true) || !resumeVideo((UINT64)fileSize, &end)) {
            return -1;
        }
        takeParameterSet(track->spsBuffer, track->spsLength, track->SPSSetFlag, info->sps);
        takeParameterSet(track->ppsBuffer, track->ppsLength, track->PPSSetFlag, info->pps);
    }
    infoStale = false;
    // Without a sample kept, what follows the header is a sample whose
    // entries never reached the disk: the file goes back to its header, as
    // a recording that never took a sample leaves it.
    if (ftruncate(fileno(file), (off_t)end) != 0 || fseeko(file, (off_t)end, SEEK_SET) != 0) {
        failOutput(errno);
        return -1;
    }
    root->fileLength = end;
    return sampleCount(root->videoTrack) + sampleCount(root->audioTrack) > 0 ? 1 : 0;
}

// ---- track boxes -----------------------------------------------------------

// "mvhd", "tkhd" and "mdhd" in version 0 carry 32-bit times; a duration
// beyond that (at 90 kHz, past 13.25 hours) needs version 1, where creation
// time, modification time and duration are 64-bit (ISO/IEC 14496-12 8.2.2,
// 8.3.2, 8.4.2). The version-0 box given is written as is when its duration
// fits, else widened: the fields between the times and the duration, and
// everything after the duration, are kept.
const UINT32 FULL_BOX_TIMES_OFFSET = 12;   // creation_time, then modification_time
const UINT32 FULL_BOX_AFTER_TIMES = 20;
const UINT32 VERSION_1_WIDENING = 12;      // three fields grow from 4 to 8 bytes
const UINT8 FULL_BOX_VERSION_1 = 1;
const UINT32 MAX_TIMED_BOX_SIZE = sizeof(MVHD_TEMPLATE) + VERSION_1_WIDENING;

const UINT32 BOX_HEADER_SIZE = 8;
const UINT32 ELST_HEADER_SIZE = 16;  // size, type, version and flags, entry_count
const UINT32 ELST_ENTRY_SIZE = 12;
const UINT32 ELST_WIDE_ENTRY_SIZE = 20;
const UINT32 ELST_ENTRIES = 2;
const int64_t ELST_EMPTY_MEDIA_TIME = -1;

static void writeTimedBox(const UINT8* box, UINT32 size, UINT32 durationOffset, UINT64 duration)
{
    if (duration <= UINT32_MAX) {
        UINT8 copy[MAX_TIMED_BOX_SIZE];
        memcpy(copy, box, size);
        WriteBE32(copy + durationOffset, (UINT32)duration);
        writeBlock(copy, size);
        return;
    }
    UINT8 wide[MAX_TIMED_BOX_SIZE];
    UINT8* p = WriteBE32(wide, size + VERSION_1_WIDENING);
    memcpy(p, box + 4, FULL_BOX_TIMES_OFFSET - 4);  // type, version and flags
    wide[8] = FULL_BOX_VERSION_1;
    p = WriteBE64(wide + FULL_BOX_TIMES_OFFSET, ReadBE32(box + FULL_BOX_TIMES_OFFSET));
    p = WriteBE64(p, ReadBE32(box + FULL_BOX_TIMES_OFFSET + 4));
    memcpy(p, box + FULL_BOX_AFTER_TIMES, durationOffset - FULL_BOX_AFTER_TIMES);
    p = WriteBE64(p + durationOffset - FULL_BOX_AFTER_TIMES, duration);
    memcpy(p, box + durationOffset + 4, size - durationOffset - 4);
    writeBlock(wide, size + VERSION_1_WIDENING);
}

static void writeTkhdAtom(UINT32 trackId, UINT64 duration, UINT32 volume, UINT32 width, UINT32 height)
{
    UINT8 box[sizeof(TKHD_TEMPLATE)];
    memcpy(box, TKHD_TEMPLATE, sizeof(box));
    WriteBE32(box + TKHD_TRACK_ID_OFFSET, trackId);
    WriteBE32(box + TKHD_VOLUME_OFFSET, volume);
    WriteBE32(box + TKHD_WIDTH_OFFSET, width << 16);
    WriteBE32(box + TKHD_HEIGHT_OFFSET, height << 16);
    writeTimedBox(box, sizeof(box), TKHD_DURATION_OFFSET, duration);
}

// One entry of an edit list: segment_duration (movie ticks), media_time
// (media ticks, -1 for an empty edit), media_rate 1.0.
static void writeElstEntry(bool wide, UINT64 segmentDuration, int64_t mediaTime)
{
    UINT8 entry[ELST_WIDE_ENTRY_SIZE];
    UINT8* p = entry;
    if (wide) {
        p = WriteBE64(p, segmentDuration);
        p = WriteBE64(p, (UINT64)mediaTime);
    } else {
        p = WriteBE32(p, (UINT32)segmentDuration);
        p = WriteBE32(p, (UINT32)mediaTime);
    }
    p = WriteBE16(p, 1);  // media_rate_integer
    p = WriteBE16(p, 0);  // media_rate_fraction
    writeBlock(entry, (UINT32)(p - entry));
}

// Edit list (ISO/IEC 14496-12, 8.6.6) of a track that starts `offset` movie
// ticks after the other one: an empty edit as long as the offset, then the
// whole media from its start. Version 1 when a duration needs 64 bits.
static void writeEdtsAtom(UINT64 offset, UINT64 mediaDuration)
{
    bool wide = offset > UINT32_MAX || mediaDuration > UINT32_MAX;
    UINT32 elstSize = ELST_HEADER_SIZE + ELST_ENTRIES * (wide ? ELST_WIDE_ENTRY_SIZE : ELST_ENTRY_SIZE);
    longWrite(BOX_HEADER_SIZE + elstSize, mp4file);
    longWrite(FourCC("edts"), mp4file);
    longWrite(elstSize, mp4file);
    longWrite(FourCC("elst"), mp4file);
    longWrite(wide ? (UINT32)FULL_BOX_VERSION_1 << 24 : 0, mp4file);  // version, flags 0
    longWrite(ELST_ENTRIES, mp4file);
    writeElstEntry(wide, offset, ELST_EMPTY_MEDIA_TIME);
    writeElstEntry(wide, mediaDuration, 0);
}

static void writeMdhdAtom(UINT32 timescale, UINT64 duration)
{
    UINT8 box[sizeof(MDHD_TEMPLATE)];
    memcpy(box, MDHD_TEMPLATE, sizeof(box));
    WriteBE32(box + MDHD_TIMESCALE_OFFSET, timescale);
    writeTimedBox(box, sizeof(box), MDHD_DURATION_OFFSET, duration);
}

static void writeHdlrAtom(UINT32 handlerType)
{
    UINT8 box[sizeof(HDLR_TEMPLATE)];
    memcpy(box, HDLR_TEMPLATE, sizeof(box));
    WriteBE32(box + HDLR_HANDLER_OFFSET, handlerType);
    writeBlock(box, sizeof(box));
}

static void writeFullBoxHeader(UINT32 size, UINT32 type)
{
    longWrite(size, mp4file);
    longWrite(type, mp4file);
    longWrite(0, mp4file);  // version 0, flags 0
}

// AVCProfileIndication, profile_compatibility, AVCLevelIndication: the
// SPS's own bytes after its NAL header. A unit too short to hold them
// leaves zeros for what it lacks.
static UINT8* putSpsProfile(UINT8* p, const UINT8* sps, UINT32 spsSize)
{
    for (UINT32 i = 1; i <= AVCC_PROFILE_BYTES; i++) {
        *p++ = i < spsSize ? sps[i] : 0;
    }
    return p;
}

// "stsd" with one "avc1" entry whose "avcC" holds the captured SPS and PPS.
static void writeAvc1Stsd(const tTrack* track)
{
    UINT32 avc1AtomLength = track->spsLength + track->ppsLength + AVC1_LENGTH_BASE;
    writeFullBoxHeader(avc1AtomLength + STSD_HEADER_SIZE, FourCC("stsd"));
    longWrite(1, mp4file);  // entry_count

    longWrite(avc1AtomLength, mp4file);
    longWrite(FourCC("avc1"), mp4file);
    UINT8 body[sizeof(AVC1_BODY_TEMPLATE)];
    memcpy(body, AVC1_BODY_TEMPLATE, sizeof(body));
    WriteBE16(body + AVC1_WIDTH_OFFSET, (UINT16)track->width);
    WriteBE16(body + AVC1_HEIGHT_OFFSET, (UINT16)track->height);
    writeBlock(body, sizeof(body));

    UINT32 spsSize = track->spsLength - START_CODE_SIZE;
    UINT32 ppsSize = track->ppsLength - START_CODE_SIZE;
    longWrite(track->spsLength + track->ppsLength + AVCC_LENGTH_BASE, mp4file);
    longWrite(FourCC("avcC"), mp4file);
    UINT8 head[AVCC_HEAD_SIZE + 2];
    UINT8* p = head;
    *p++ = AVCC_CONFIGURATION_VERSION;
    p = putSpsProfile(p, track->spsBuffer + START_CODE_SIZE, spsSize);
    *p++ = AVCC_LENGTH_SIZE_4;
    *p++ = AVCC_ONE_SPS;
    WriteBE16(p, (UINT16)spsSize);
    writeBlock(head, sizeof(head));
    writeBlock(track->spsBuffer + START_CODE_SIZE, spsSize);
    writeBlock(&AVCC_NUM_PPS, 1);
    UINT8 ppsLengthField[2];
    WriteBE16(ppsLengthField, (UINT16)ppsSize);
    writeBlock(ppsLengthField, sizeof(ppsLengthField));
    writeBlock(track->ppsBuffer + START_CODE_SIZE, ppsSize);
}

// "stsd" with one "mp4a" entry and its "esds".
static void writeMp4aStsd()
{
    writeFullBoxHeader(MP4A_STSD_SIZE, FourCC("stsd"));
    longWrite(1, mp4file);  // entry_count

    longWrite(MP4A_ENTRY_SIZE, mp4file);
    longWrite(FourCC("mp4a"), mp4file);
    UINT8 body[sizeof(MP4A_BODY_TEMPLATE)];
    memcpy(body, MP4A_BODY_TEMPLATE, sizeof(body));
    WriteBE16(body + MP4A_CHANNELS_OFFSET, root->numAudioChannels);
    WriteBE16(body + MP4A_SAMPLE_SIZE_OFFSET, root->audioBitsPerSample);
    WriteBE16(body + MP4A_SAMPLE_RATE_OFFSET, (UINT16)root->audioFrequency);
    writeBlock(body, sizeof(body));
}

// "stts" with one entry per sample.
static void writeSttsPerSample(tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 2) * 8, FourCC("stts"));
    longWrite(n, mp4file);
    for (UINT32 i = 0; i < n; i++) {
        longWrite(1, mp4file);
        longWrite(readRecordAt(spool, i), mp4file);
    }
}

// Runs of equal durations among the n spooled records: with write set, each
// run goes out as (sample_count, sample_delta); returns the number of runs.
static UINT32 copySttsRuns(tSpool* spool, UINT32 n, bool write)
{
    UINT32 runs = 0, count = 0, delta = 0;
    for (UINT32 i = 0; i < n; i++) {
        UINT32 record = readRecordAt(spool, i);
        if (count > 0 && record == delta) {
            count++;
            continue;
        }
        if (count > 0 && write) {
            longWrite(count, mp4file);
            longWrite(delta, mp4file);
        }
        runs++;
        count = 1;
        delta = record;
    }
    if (count > 0 && write) {
        longWrite(count, mp4file);
        longWrite(delta, mp4file);
    }
    return runs;
}

// "stts" with one entry per run of equal durations (ISO/IEC 14496-12, 8.6.1.2).
static void writeSttsRuns(tSpool* spool, UINT32 n)
{
    UINT32 runs = copySttsRuns(spool, n, false);
    writeFullBoxHeader((runs + 2) * 8, FourCC("stts"));
    longWrite(runs, mp4file);
    copySttsRuns(spool, n, true);
}

static void writeStscAtom(const tSTSC* stsc)
{
    writeFullBoxHeader(stsc->entriesSTSC * 12 + 16, FourCC("stsc"));
    longWrite(stsc->entriesSTSC, mp4file);
    longWrite(stsc->sample2chunkTbl->firstChunk, mp4file);
    longWrite(stsc->sample2chunkTbl->samplesPerChunk, mp4file);
    longWrite(stsc->sample2chunkTbl->sampleID, mp4file);
}

static void writeStszAtom(tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 5) * 4, FourCC("stsz"));
    longWrite(0, mp4file);  // sample_size 0: a table follows
    longWrite(n, mp4file);
    copySpoolRecords(spool, n);
}

// "stco" and "stss" share the layout: entry_count, then the entries.
static void writeCountedTable(UINT32 type, tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 4) * 4, type);
    longWrite(n, mp4file);
    copySpoolRecords(spool, n);
}

// Offsets of the boxes of one "trak" whose sizes are patched at the end.
struct tOpenBoxes {
    UINT64 trak;
    UINT64 mdia;
    UINT64 minf;
    UINT64 stbl;
};

// Patches "mdat" and "moov", then the open boxes of the track just written
// (each box runs to the end of the file), and returns to the end.
static UINT32 patchTrackSizes(UINT32 mdatAtomSize, UINT32 moovOffset, const tOpenBoxes& boxes)
{
    UINT32 end = (UINT32)root->fileLength;
    UINT32 trakSize = end - (UINT32)boxes.trak;
    patchBoxSize(MP4_MDAT_HEADER_OFFSET, mdatAtomSize);
    patchBoxSize(moovOffset, end - moovOffset);
    patchBoxSize(boxes.trak, trakSize);
    patchBoxSize(boxes.mdia, end - (UINT32)boxes.mdia);
    patchBoxSize(boxes.minf, end - (UINT32)boxes.minf);
    patchBoxSize(boxes.stbl, end - (UINT32)boxes.stbl);
    seekOutput(root->fileLength);
    return trakSize;
}

void writeVideoTrackAtom(UINT32 mdatAtomSize, UINT32 moovOffset)
{
    tTrack* track = root->videoTrack;
    tSTBL* stbl = sampleTable(track);
    tOpenBoxes boxes;

    boxes.trak = openBox(FourCC("trak"));
    writeTkhdAtom(VIDEO_TRACK_ID, startOffsetVid + durationTimeVid, 0, track->width, track->height);
    if (startOffsetVid > 0) {
        writeEdtsAtom(startOffsetVid, durationTimeVid);
    }
    boxes.mdia = openBox(FourCC("mdia"));
    writeMdhdAtom(MP4_MOVIE_TIMESCALE, durationTimeVid);
    writeHdlrAtom(FourCC("vide"));
    boxes.minf = openBox(FourCC("minf"));
    writeBlock(VMHD_BOX, sizeof(VMHD_BOX));
    writeBlock(DINF_BOX, sizeof(DINF_BOX));
    boxes.stbl = openBox(FourCC("stbl"));
    writeAvc1Stsd(track);
    writeSttsPerSample(sttsVidFile, stbl->stts->numEntries);
    writeStscAtom(stbl->stsc);
    writeStszAtom(stszVidFile, stbl->stsz->numSamples);
    writeCountedTable(FourCC("stco"), stcoVidFile, stbl->stco->nChunks);
    if (stbl->stss->nEntries != 0) {
        writeCountedTable(FourCC("stss"), stssVidFile, stbl->stss->nEntries);
    }

    videoTrakSize = patchTrackSizes(mdatAtomSize, moovOffset, boxes);
    closeSpool(stszVidFile);
    closeSpool(sttsVidFile);
    closeSpool(stssVidFile);
    closeSpool(stcoVidFile);
}

void writeAudioTrackAtom(UINT32 mdatAtomSize, UINT32 moovOffset)
{
    tSTBL* stbl = sampleTable(root->audioTrack);
    tOpenBoxes boxes;

    boxes.trak = openBox(FourCC("trak"));
    writeTkhdAtom(AUDIO_TRACK_ID, startOffsetAud + durationTimeAudonVidScale, TKHD_AUDIO_VOLUME, 0, 0);
    if (startOffsetAud > 0) {
        writeEdtsAtom(startOffsetAud, durationTimeAudonVidScale);
    }
    boxes.mdia = openBox(FourCC("mdia"));
    writeMdhdAtom(root->audioFrequency, durationTimeAud);
    writeHdlrAtom(FourCC("soun"));
    boxes.minf = openBox(FourCC("minf"));
    writeBlock(SMHD_BOX, sizeof(SMHD_BOX));
    writeBlock(DINF_BOX, sizeof(DINF_BOX));
    boxes.stbl = openBox(FourCC("stbl"));
    writeMp4aStsd();
    writeSttsRuns(sttsAudFile, stbl->stts->numEntries);
    writeStscAtom(stbl->stsc);
    writeStszAtom(stszAudFile, stbl->stsz->numSamples);
    writeCountedTable(FourCC("stco"), stcoAudFile, stbl->stco->nChunks);

    patchTrackSizes(mdatAtomSize, moovOffset, boxes);
    closeSpool(stszAudFile);
    closeSpool(sttsAudFile);
    closeSpool(stcoAudFile);
}

// ---- completion --------------------------------------------------------------

// The last video sample lasts as long as the last non-zero gap seen.
static void closeVideoDurations()
{
    tSTBL* stbl = sampleTable(root->videoTrack);
    if (stbl->stsz->numSamples > 0) {
        appendVideoDuration(stbl, lastVideoGap);
    }
}

// The last audio frame has no successor to end it: it lasts one AAC frame.
static void closeAudioDurations()
{
    tSTBL* stbl = sampleTable(root->audioTrack);
    if (stbl->stsz->numSamples > 0) {
        appendAudioDuration(stbl, AAC_FRAME_SAMPLES);
    }
}

// The audio media duration on the movie clock, rounded down.
static UINT64 audioDurationOnMovieScale()
{
    if (root->audioFrequency == 0) {
        return 0;
    }
    return durationTimeAud * MP4_MOVIE_TIMESCALE / root->audioFrequency;
}

// The track whose first sample comes later starts that many movie ticks
// into the movie, so that each sample plays at its stamp relative to the
// earliest one of the file.
static void setStartOffsets(bool video, bool audio)
{
    startOffsetVid = startOffsetAud = 0;
    if (!video || !audio || sampleTable(root->videoTrack)->stsz->numSamples == 0 ||
        sampleTable(root->audioTrack)->stsz->numSamples == 0) {
        return;
    }
    int64_t videoLater = (INT32)(firstTimeStampVid - firstTimeStampAud);
    if (videoLater > 0) {
        startOffsetVid = (UINT64)videoLater;
    } else {
        startOffsetAud = (UINT64)-videoLater;
    }
}

static void writeMvhdAtom(UINT64 movieFileDuration, UINT32 nextTrackId)
{
    UINT8 box[sizeof(MVHD_TEMPLATE)];
    memcpy(box, MVHD_TEMPLATE, sizeof(box));
    WriteBE32(box + MVHD_NEXT_TRACK_ID_OFFSET, nextTrackId);
    writeTimedBox(box, sizeof(box), MVHD_DURATION_OFFSET, movieFileDuration);
}

static void writeIodsAtom(UINT32 trackId)
{
    UINT8 box[sizeof(IODS_TEMPLATE)];
    memcpy(box, IODS_TEMPLATE, sizeof(box));
    WriteBE32(box + IODS_TRACK_ID_OFFSET, trackId);
    lengthIODSAtom = sizeof(box);
    writeBlock(box, sizeof(box));
}

UINT8 completeMP4File()
{
    if (root == nullptr) {
        return 0;
    }
    // The index goes into the space the reserve gives back. Whatever made
    // the recording stop taking samples (mp4WriteError, a full disk), the
    // samples in the file are whole; from here on the error is completion's.
    releaseIndexReserve();
    mp4WriteError = 0;
    if (mp4file == nullptr) {
        failOutput(EBADF);
        return 0;
    }
    UINT32 mdatAtomSize = (UINT32)root->fileLength - MP4_MDAT_HEADER_OFFSET;

    // Without both parameter sets there is no "avcC", so the video track is
    // left out, and so is a track without samples; with no track left the
    // file stays as it was opened.
    tTrack* video = root->VideoPresentFlag ? root->videoTrack : nullptr;
    bool writeVideo = video != nullptr && video->SPSSetFlag && video->PPSSetFlag && sampleCount(video) > 0;
    bool writeAudio = root->AudioPresentFlag && sampleCount(root->audioTrack) > 0;

    if (writeVideo) {
        closeVideoDurations();
    }
    if (writeAudio) {
        closeAudioDurations();
        durationTimeAudonVidScale = audioDurationOnMovieScale();
    }
    setStartOffsets(writeVideo, writeAudio);

    if (writeVideo || writeAudio) {
        // The movie lasts as long as its longest track, start offset included.
        UINT64 videoEnd = writeVideo ? startOffsetVid + durationTimeVid : 0;
        UINT64 audioEnd = writeAudio ? startOffsetAud + durationTimeAudonVidScale : 0;
        UINT64 movieFileDuration = videoEnd > audioEnd ? videoEnd : audioEnd;

        UINT32 moovOffset = (UINT32)root->fileLength;
        openBox(FourCC("moov"));
        writeMvhdAtom(movieFileDuration, (writeAudio ? AUDIO_TRACK_ID : VIDEO_TRACK_ID) + 1);
        writeIodsAtom(writeVideo ? VIDEO_TRACK_ID : AUDIO_TRACK_ID);
        videoTrakSize = 0;
        if (writeVideo) {
            writeVideoTrackAtom(mdatAtomSize, moovOffset);
        }
        if (writeAudio) {
            writeAudioTrackAtom(mdatAtomSize, moovOffset);
        }
    }

    bool completed = flushOutput();
    if (fclose(mp4file) != 0 && completed) {
        failOutput(errno);
        completed = false;
    }
    mp4file = nullptr;
    return completed ? 1 : 0;
}
