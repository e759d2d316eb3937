// The MP4 writer's boxes: "ftyp", and "moov" with its track boxes at
// completion. Each box is written in the order of its fields; a box whose
// size depends on its children opens with a size placeholder and patches
// it once when it closes (mp4OpenBox, mp4CloseBox).
#include "mp4boxes.h"

#include <cstring>

#include "byteorder.h"
#include "mp4Writer.h"
#include "mp4spool.h"

const UINT32 VIDEO_TRACK_ID = 1;
const UINT32 AUDIO_TRACK_ID = 2;

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

// "mp4a" sample entry body with its "esds", after its size and type.
const UINT32 MP4A_CHANNELS_OFFSET = 16;
const UINT32 MP4A_SAMPLE_SIZE_OFFSET = 18;
const UINT32 MP4A_SAMPLE_RATE_OFFSET = 24;
const UINT32 MP4A_AUDIO_SPECIFIC_CONFIG_OFFSET = 62;  // the DecoderSpecificInfo's bytes
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
    0x05, 0x02, 0x00, 0x00,                      // DecoderSpecificInfo: the AudioSpecificConfig
    // SLConfigDescriptor (ISO/IEC 14496-1, 7.2.6.8): predefined 2, the
    // MP4 file's own layer, so nothing follows it.
    0x06, 0x01, 0x02,
};
static_assert(MP4A_AUDIO_SPECIFIC_CONFIG_OFFSET + AUDIO_SPECIFIC_CONFIG_SIZE + 3 == sizeof(MP4A_BODY_TEMPLATE),
              "the DecoderSpecificInfo (length 2) comes just before the SLConfigDescriptor");


// ---- fields shared by the boxes ------------------------------------------------

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

void writeFtypAtom()
{
    mp4Append(FTYP_BOX, sizeof(FTYP_BOX));
}

bool beginsAsWritten(const UINT8* head)
{
    return memcmp(head, FTYP_BOX, sizeof(FTYP_BOX)) == 0 && ReadBE32(head + MP4_MDAT_HEADER_OFFSET + 4) == FourCC("mdat");
}

static void writeTimedBox(const UINT8* box, UINT32 size, UINT32 durationOffset, UINT64 duration)
{
    if (duration <= UINT32_MAX) {
        UINT8 copy[MAX_TIMED_BOX_SIZE];
        memcpy(copy, box, size);
        WriteBE32(copy + durationOffset, (UINT32)duration);
        mp4Append(copy, size);
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
    mp4Append(wide, size + VERSION_1_WIDENING);
}

// A box from its template (size bytes) with one 32-bit field filled in.
static const UINT8* fillTemplate(UINT8* box, const UINT8* boxTemplate, UINT32 size, UINT32 fieldOffset, UINT32 value)
{
    memcpy(box, boxTemplate, size);
    WriteBE32(box + fieldOffset, value);
    return box;
}

static void writeFullBoxHeader(UINT32 size, UINT32 type)
{
    longWrite(size);
    longWrite(type);
    longWrite(0);  // version 0, flags 0
}

// A full box of version 0 whose size depends on what follows: its offset.
static UINT64 openFullBox(UINT32 type)
{
    UINT64 offset = mp4OpenBox(type);
    longWrite(0);  // version 0, flags 0
    return offset;
}

// Copies count records from the start of a spool file to the output as
// big-endian words.
static void copySpoolRecords(const tSpool* spool, UINT32 count)
{
    const UINT32 RECORDS_PER_BLOCK = 256;
    UINT8 bytes[RECORDS_PER_BLOCK * SPOOL_RECORD_SIZE];

    for (UINT32 first = 0; first < count; first += RECORDS_PER_BLOCK) {
        UINT32 n = count - first < RECORDS_PER_BLOCK ? count - first : RECORDS_PER_BLOCK;
        for (UINT32 i = 0; i < n; i++) {
            WriteBE32(bytes + i * SPOOL_RECORD_SIZE, readRecordAt(spool, first + i));
        }
        mp4Append(bytes, n * SPOOL_RECORD_SIZE);
    }
}

// ---- "trak" and "mdia" ------------------------------------------------------------

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
    mp4Append(entry, (UINT32)(p - entry));
}

// Edit list (ISO/IEC 14496-12, 8.6.6) of a track that starts `offset` movie
// ticks after the other one: an empty edit as long as the offset, then the
// whole media from its start. Version 1 when a duration needs 64 bits.
static void writeEdtsAtom(UINT64 offset, UINT64 mediaDuration)
{
    bool wide = offset > UINT32_MAX || mediaDuration > UINT32_MAX;
    UINT32 elstSize = ELST_HEADER_SIZE + ELST_ENTRIES * (wide ? ELST_WIDE_ENTRY_SIZE : ELST_ENTRY_SIZE);
    longWrite(BOX_HEADER_SIZE + elstSize);
    longWrite(FourCC("edts"));
    longWrite(elstSize);
    longWrite(FourCC("elst"));
    longWrite(wide ? (UINT32)FULL_BOX_VERSION_1 << 24 : 0);  // version, flags 0
    longWrite(ELST_ENTRIES);
    writeElstEntry(wide, offset, ELST_EMPTY_MEDIA_TIME);
    writeElstEntry(wide, mediaDuration, 0);
}

static void writeMdhdAtom(UINT32 timescale, UINT64 duration)
{
    UINT8 box[sizeof(MDHD_TEMPLATE)];
    fillTemplate(box, MDHD_TEMPLATE, sizeof(box), MDHD_TIMESCALE_OFFSET, timescale);
    writeTimedBox(box, sizeof(box), MDHD_DURATION_OFFSET, duration);
}

static void writeHdlrAtom(UINT32 handlerType)
{
    UINT8 box[sizeof(HDLR_TEMPLATE)];
    mp4Append(fillTemplate(box, HDLR_TEMPLATE, sizeof(box), HDLR_HANDLER_OFFSET, handlerType), sizeof(box));
}

// ---- the sample descriptions ---------------------------------------------------

// AVCProfileIndication, profile_compatibility, AVCLevelIndication: the
// SPS's own bytes after its NAL header. A unit too short to hold them
// leaves zeros for what it lacks.
static UINT8* putSpsProfile(UINT8* p, const std::vector<UINT8>& sps)
{
    for (UINT32 i = 1; i <= AVCC_PROFILE_BYTES; i++) {
        *p++ = i < sps.size() ? sps[i] : 0;
    }
    return p;
}

// One parameter set of "avcC": its 16-bit length, then the NAL unit.
static void writeAvcCParameterSet(const std::vector<UINT8>& set)
{
    UINT8 length[2];
    WriteBE16(length, (UINT16)set.size());
    mp4Append(length, sizeof(length));
    mp4Append(set.data(), (UINT32)set.size());
}

// AVCDecoderConfigurationRecord with the SPS and PPS in force.
static void writeAvcCAtom(const tVideoCodec* codec)
{
    UINT64 avcC = mp4OpenBox(FourCC("avcC"));
    UINT8 head[AVCC_HEAD_SIZE];
    UINT8* p = head;
    *p++ = AVCC_CONFIGURATION_VERSION;
    p = putSpsProfile(p, codec->sps);
    *p++ = AVCC_LENGTH_SIZE_4;
    *p++ = AVCC_ONE_SPS;
    mp4Append(head, sizeof(head));
    writeAvcCParameterSet(codec->sps);
    mp4Append(&AVCC_NUM_PPS, 1);
    writeAvcCParameterSet(codec->pps);
    mp4CloseBox(avcC);
}

// The "avc1" sample entry at the picture size the SPS gives (its frame
// cropping applied).
static void writeAvc1Entry(const tVideoCodec* codec)
{
    UINT64 avc1 = mp4OpenBox(FourCC("avc1"));
    UINT8 body[sizeof(AVC1_BODY_TEMPLATE)];
    memcpy(body, AVC1_BODY_TEMPLATE, sizeof(body));
    WriteBE16(body + AVC1_WIDTH_OFFSET, (UINT16)codec->stSps.ulWidth);
    WriteBE16(body + AVC1_HEIGHT_OFFSET, (UINT16)codec->stSps.ulHeight);
    mp4Append(body, sizeof(body));
    writeAvcCAtom(codec);
    mp4CloseBox(avc1);
}

// The "mp4a" sample entry with its "esds".
static void writeMp4aEntry(const tAudioCodec* codec)
{
    UINT64 mp4a = mp4OpenBox(FourCC("mp4a"));
    UINT8 body[sizeof(MP4A_BODY_TEMPLATE)];
    memcpy(body, MP4A_BODY_TEMPLATE, sizeof(body));
    WriteBE16(body + MP4A_CHANNELS_OFFSET, (UINT16)codec->ulChannels);
    WriteBE16(body + MP4A_SAMPLE_SIZE_OFFSET, codec->usBitsPerSample);
    WriteBE16(body + MP4A_SAMPLE_RATE_OFFSET, (UINT16)codec->ulSampleRate);  // 16.16
    memcpy(body + MP4A_AUDIO_SPECIFIC_CONFIG_OFFSET, codec->ucConfig, AUDIO_SPECIFIC_CONFIG_SIZE);
    mp4Append(body, sizeof(body));
    mp4CloseBox(mp4a);
}

// "stsd" with the track's one sample entry.
static void writeStsdAtom(bool video)
{
    UINT64 stsd = openFullBox(FourCC("stsd"));
    longWrite(1);  // entry_count
    if (video) {
        writeAvc1Entry(mp4VideoCodec());
    } else {
        writeMp4aEntry(mp4AudioCodec());
    }
    mp4CloseBox(stsd);
}

// ---- the sample tables ----------------------------------------------------------

// "stts" with one entry per sample.
static void writeSttsPerSample(const tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 2) * 8, FourCC("stts"));
    longWrite(n);
    for (UINT32 i = 0; i < n; i++) {
        longWrite(1);
        longWrite(readRecordAt(spool, i));
    }
}

// Runs of equal durations among the n spooled records: with write set, each
// run goes out as (sample_count, sample_delta); returns the number of runs.
static UINT32 copySttsRuns(const tSpool* spool, UINT32 n, bool write)
{
    UINT32 runs = 0, count = 0, delta = 0;
    for (UINT32 i = 0; i < n; i++) {
        UINT32 record = readRecordAt(spool, i);
        if (count > 0 && record == delta) {
            count++;
            continue;
        }
        if (count > 0 && write) {
            longWrite(count);
            longWrite(delta);
        }
        runs++;
        count = 1;
        delta = record;
    }
    if (count > 0 && write) {
        longWrite(count);
        longWrite(delta);
    }
    return runs;
}

// "stts" with one entry per run of equal durations (ISO/IEC 14496-12, 8.6.1.2).
static void writeSttsRuns(const tSpool* spool, UINT32 n)
{
    UINT32 runs = copySttsRuns(spool, n, false);
    writeFullBoxHeader((runs + 2) * 8, FourCC("stts"));
    longWrite(runs);
    copySttsRuns(spool, n, true);
}

// One chunk per sample: a single entry says so for the whole track.
static void writeStscAtom()
{
    writeFullBoxHeader(28, FourCC("stsc"));
    longWrite(1);  // entry_count
    longWrite(1);  // first_chunk
    longWrite(1);  // samples_per_chunk
    longWrite(1);  // sample_description_index
}

static void writeStszAtom(const tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 5) * 4, FourCC("stsz"));
    longWrite(0);  // sample_size 0: a table follows
    longWrite(n);
    copySpoolRecords(spool, n);
}

// "stco" and "stss" share the layout: entry_count, then the entries.
static void writeCountedTable(UINT32 type, const tSpool* spool, UINT32 n)
{
    writeFullBoxHeader((n + 4) * 4, type);
    longWrite(n);
    copySpoolRecords(spool, n);
}

// ---- the tracks -----------------------------------------------------------------

// What differs between the two tracks.
struct tTrakBoxes {
    bool bVideo;
    const tTrack* pTrack;
    UINT32 ulTrackId;
    UINT64 ullStart;          // movie ticks of the empty edit in front (0: none)
    UINT64 ullDuration;       // movie ticks, the start left out
    UINT32 ulTimescale;       // of the media
    UINT64 ullMediaDuration;  // media ticks
    UINT32 ulVolume;
    UINT32 ulWidth;
    UINT32 ulHeight;
    UINT32 ulHandler;
    const UINT8* pucMediaHeader;  // "vmhd" or "smhd"
    UINT32 ulMediaHeaderSize;
};

// "stbl": the sample description, then the tables. Video durations go one
// entry per sample, audio ones in runs (a regular stream is one run).
static void writeStblAtom(const tTrakBoxes* t)
{
    UINT64 stbl = mp4OpenBox(FourCC("stbl"));
    writeStsdAtom(t->bVideo);
    if (t->bVideo) {
        writeSttsPerSample(t->pTrack->pDurations, t->pTrack->ulDurations);
    } else {
        writeSttsRuns(t->pTrack->pDurations, t->pTrack->ulDurations);
    }
    writeStscAtom();
    writeStszAtom(t->pTrack->pSizes, t->pTrack->ulSamples);
    writeCountedTable(FourCC("stco"), t->pTrack->pOffsets, t->pTrack->ulSamples);
    if (t->pTrack->ulSyncSamples != 0) {
        writeCountedTable(FourCC("stss"), t->pTrack->pSyncSamples, t->pTrack->ulSyncSamples);
    }
    mp4CloseBox(stbl);
}

// "trak" > "tkhd", ["edts"], "mdia" > "mdhd", "hdlr", "minf" > media
// header, "dinf", "stbl".
static void writeTrakAtom(const tTrakBoxes* t)
{
    UINT64 trak = mp4OpenBox(FourCC("trak"));
    writeTkhdAtom(t->ulTrackId, t->ullStart + t->ullDuration, t->ulVolume, t->ulWidth, t->ulHeight);
    if (t->ullStart > 0) {
        writeEdtsAtom(t->ullStart, t->ullDuration);
    }
    UINT64 mdia = mp4OpenBox(FourCC("mdia"));
    writeMdhdAtom(t->ulTimescale, t->ullMediaDuration);
    writeHdlrAtom(t->ulHandler);
    UINT64 minf = mp4OpenBox(FourCC("minf"));
    mp4Append(t->pucMediaHeader, t->ulMediaHeaderSize);
    mp4Append(DINF_BOX, sizeof(DINF_BOX));
    writeStblAtom(t);
    mp4CloseBox(minf);
    mp4CloseBox(mdia);
    mp4CloseBox(trak);
}

static void writeVideoTrakAtom(const tMoovPlan* plan)
{
    const tVideoCodec* codec = mp4VideoCodec();
    tTrakBoxes t = {true, root->videoTrack, VIDEO_TRACK_ID, plan->ullVideoStart, durationTimeVid,
                    MP4_MOVIE_TIMESCALE, durationTimeVid, 0, codec->stSps.ulWidth, codec->stSps.ulHeight,
                    FourCC("vide"), VMHD_BOX, sizeof(VMHD_BOX)};
    writeTrakAtom(&t);
}

static void writeAudioTrakAtom(const tMoovPlan* plan)
{
    tTrakBoxes t = {false, root->audioTrack, AUDIO_TRACK_ID, plan->ullAudioStart, durationTimeAudonVidScale,
                    mp4AudioCodec()->ulSampleRate, durationTimeAud, TKHD_AUDIO_VOLUME, 0, 0,
                    FourCC("soun"), SMHD_BOX, sizeof(SMHD_BOX)};
    writeTrakAtom(&t);
}

// ---- "moov" ---------------------------------------------------------------------

static void writeMvhdAtom(UINT64 movieFileDuration, UINT32 nextTrackId)
{
    UINT8 box[sizeof(MVHD_TEMPLATE)];
    fillTemplate(box, MVHD_TEMPLATE, sizeof(box), MVHD_NEXT_TRACK_ID_OFFSET, nextTrackId);
    writeTimedBox(box, sizeof(box), MVHD_DURATION_OFFSET, movieFileDuration);
}

static void writeIodsAtom(UINT32 trackId)
{
    UINT8 box[sizeof(IODS_TEMPLATE)];
    mp4Append(fillTemplate(box, IODS_TEMPLATE, sizeof(box), IODS_TRACK_ID_OFFSET, trackId), sizeof(box));
}

void writeMoovAtom(const tMoovPlan* plan)
{
    UINT64 moov = mp4OpenBox(FourCC("moov"));
    writeMvhdAtom(plan->ullMovieDuration, (plan->bAudio ? AUDIO_TRACK_ID : VIDEO_TRACK_ID) + 1);
    writeIodsAtom(plan->bVideo ? VIDEO_TRACK_ID : AUDIO_TRACK_ID);
    if (plan->bVideo) {
        writeVideoTrakAtom(plan);
        closeTrack(root->videoTrack);
    }
    if (plan->bAudio) {
        writeAudioTrakAtom(plan);
        closeTrack(root->audioTrack);
    }
    mp4CloseBox(moov);
}
