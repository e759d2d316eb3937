// ADTS header writer and its bit writer.
#include <gtest/gtest.h>

#include <cstring>

#include "WriteAACHeader.h"

namespace {

struct AdtsVector {
    unsigned int frameLength;
    unsigned char bytes[7];
};

TEST(AdtsHeader, KnownVectors)
{
    const AdtsVector vectors[] = {
        {7, {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xFF, 0xFC}},
        {369, {0xFF, 0xF1, 0x4C, 0x80, 0x2E, 0x3F, 0xFC}},
        {8191, {0xFF, 0xF1, 0x4C, 0x83, 0xFF, 0xFF, 0xFC}},
        // Only the low 13 bits of a longer length are kept.
        {8192 + 7, {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xFF, 0xFC}},
    };
    for (const AdtsVector& v : vectors) {
        unsigned char out[7];
        memset(out, 0x5A, sizeof(out));  // stale bytes must be cleared
        EXPECT_EQ(56u, WriteADTSHeader(out, v.frameLength, 2, 3));
        EXPECT_EQ(0, memcmp(out, v.bytes, 7)) << "frame length " << v.frameLength;
    }
}

TEST(AdtsHeader, ChannelAndRateFieldsLandInTheirBits)
{
    unsigned char out[7];
    WriteADTSHeader(out, 7, 1, 4);  // mono, 44.1 kHz
    // profile 01, sampling_frequency_index 0100, private 0, channel 001
    EXPECT_EQ(0x50, out[2]);
    EXPECT_EQ(0x40, out[3] & 0xC0);
    WriteADTSHeader(out, 7, 7, 15);
    EXPECT_EQ(0x7D, out[2]);
    EXPECT_EQ(0xC0, out[3] & 0xC0);
}

TEST(BitWriter, FieldsContinueAcrossBytesWithoutClearingThem)
{
    unsigned char buf[4];
    memset(buf, 0xEE, sizeof(buf));
    BitStream bs = {buf, 0, 1536, 0, 0};
    EXPECT_EQ(0, PutBit(&bs, 0xABC, 12));
    EXPECT_EQ(0xAB, buf[0]);
    EXPECT_EQ(0xC0, buf[1] & 0xF0);
    EXPECT_EQ(12, bs.currentBit);
    EXPECT_EQ(12, bs.numBit);
    PutBit(&bs, 0x5, 3);  // continues in byte 1, keeps its top nibble
    EXPECT_EQ(0xCA, buf[1] & 0xFE);
    PutBit(&bs, 0, 0);  // nothing
    EXPECT_EQ(15, bs.currentBit);
    PutBit(&bs, 0x1FF, 9);  // 1 bit in byte 1, 8 in byte 2
    EXPECT_EQ(0xCB, buf[1]);
    EXPECT_EQ(0xFF, buf[2]);
    EXPECT_EQ(0xEE, buf[3]);  // untouched until a write reaches it
    EXPECT_EQ(24, bs.numBit);
    // Only the low numBit bits of the value are used.
    PutBit(&bs, 0xFFFFFF00UL | 0x3, 2);
    EXPECT_EQ(0xC0, buf[3]);
}

TEST(BitWriter, ByteIndexWrapsAtBufferSize)
{
    unsigned char buf[2] = {0, 0};
    BitStream bs = {buf, 0, 2, 0, 0};
    PutBit(&bs, 0x1234, 16);
    PutBit(&bs, 0x9, 4);  // byte index 2 wraps to 0, which restarts clean
    EXPECT_EQ(0x90, buf[0]);
    EXPECT_EQ(0x34, buf[1]);
}

}  // namespace
