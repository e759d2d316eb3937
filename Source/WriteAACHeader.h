// ADTS header writer (ISO/IEC 13818-7 / ISO/IEC 14496-3 adts_fixed_header and
// adts_variable_header, no CRC) and the most-significant-bit-first bit writer
// it is built on. The transport-stream writer puts one header in front of
// every raw AAC frame.
#ifndef VOZIREV_WRITEAACHEADER_H
#define VOZIREV_WRITEAACHEADER_H

#include "Types.h"

const UINT32 ADTS_HEADER_SIZE = 7;
// The first byte of the 12-bit syncword 0xFFF.
const UINT8 ADTS_SYNC_BYTE = 0xFF;
const UINT32 ADTS_HEADER_BITS = 56;
// aac_frame_length is 13 bits and counts the header itself.
const UINT32 ADTS_MAX_FRAME_LENGTH = 0x1FFF;
const UINT32 ADTS_MAX_RAW_FRAME_SIZE = ADTS_MAX_FRAME_LENGTH - ADTS_HEADER_SIZE;  // 8184
// The encoder's AAC LC frames hold 1024 samples each (ISO/IEC 14496-3,
// frameLengthFlag 0) at 48 kHz.
const UINT32 AAC_FRAME_SAMPLES = 1024;
const UINT32 AAC_SAMPLE_RATE_HZ = 48000;
// channel_configuration and sampling_frequency_index of the encoder's audio.
const UINT32 ADTS_CHANNEL_CONFIG_STEREO = 2;
const UINT32 ADTS_SAMPLING_INDEX_48000 = 3;
// Byte index wrap of the writer's BitStream.
const int ADTS_BITSTREAM_SIZE = 1536;

struct BitStream {
    UINT8* data;     // output buffer
    int numBit;      // bits written so far
    int size;        // buffer size in bytes; the byte index wraps modulo it
    int currentBit;  // position of the next bit, from bit 7 of byte 0
    int numByte;     // unused by the writer
};

// Appends the low numBit bits of data, most significant first. Returns 0.
int PutBit(BitStream* bitStream, unsigned long data, int numBit);

// Writes the 7 header bytes into buffer and returns the bits written (56).
// ulRawDataSize becomes aac_frame_length as it is: pass frame size + 7.
UINT32 WriteADTSHeader(UINT8* buffer, UINT32 ulRawDataSize, UINT32 ulChannelIndx, UINT32 ulSampleRateIndx);

#endif
