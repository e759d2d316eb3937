// QBox header decoding, NAL unit splitting and picture-size decoding.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "QBoxParser.h"

namespace {

// A video payload: each unit behind its 4-byte big-endian length.
std::vector<UINT8> Payload(const std::vector<std::vector<UINT8>>& units)
{
    std::vector<UINT8> p;
    for (const auto& u : units) {
        UINT8 len[4];
        WriteBE32(len, (UINT32)u.size());
        p.insert(p.end(), len, len + 4);
        p.insert(p.end(), u.begin(), u.end());
    }
    return p;
}

std::vector<UINT8> Unit(UINT32 size, UINT8 header)
{
    std::vector<UINT8> u(size, 0xAB);
    u[0] = header;
    return u;
}

const UINT8 kStartCode[4] = {0, 0, 0, 1};

TEST(QBoxParserHeader, DecodesFieldsAndJudgesUsability)
{
    QBoxParser parser;
    UINT8 raw[24];
    QBox in = {25, QBOX_TYPE, 0x01020304, QBOX_STREAM_VIDEO, 7, 1, 90000};
    EncodeQBoxHeader(&in, raw);
    QBox out;
    EXPECT_EQ(1, parser.GetQBoxHeader(raw, &out));
    EXPECT_EQ(25u, out.ulBoxSize);
    EXPECT_EQ(0x01020304u, out.ulBoxFlags);
    EXPECT_EQ(QBOX_STREAM_VIDEO, out.usSampleStreamType);
    EXPECT_EQ(7, out.usSampleStreamId);
    EXPECT_EQ(90000u, out.ulSampleCts);

    // Size 24 holds no payload: decoded all the same, but not usable.
    in.ulBoxSize = 24;
    EncodeQBoxHeader(&in, raw);
    EXPECT_EQ(0, parser.GetQBoxHeader(raw, &out));
    EXPECT_EQ(24u, out.ulBoxSize);

    // Type bytes reversed ("xobq").
    in.ulBoxSize = 100;
    in.ulBoxType = FourCC("xobq");
    EncodeQBoxHeader(&in, raw);
    EXPECT_EQ(0, parser.GetQBoxHeader(raw, &out));
    EXPECT_EQ(100u, out.ulBoxSize);

    // A null pointer leaves the record alone.
    QBox before = out;
    EXPECT_EQ(0, parser.GetQBoxHeader(nullptr, &out));
    EXPECT_EQ(0, memcmp(&before, &out, sizeof(QBox)));
}

TEST(QBoxParserSplit, HandsOutUnitsInStartCodeForm)
{
    QBoxParser parser;
    std::vector<UINT8> p = Payload({Unit(10, 0x67), Unit(20, 0x65)});
    ASSERT_EQ(38u, p.size());
    UINT8* nalu = nullptr;
    UINT32 size = 0;
    int last = -1;

    ASSERT_EQ(1, parser.GetNextVideoNALU(p.data(), (UINT32)p.size(), &nalu, &size, &last));
    EXPECT_EQ(p.data(), nalu);
    EXPECT_EQ(14u, size);
    EXPECT_EQ(0, last);

    ASSERT_EQ(1, parser.GetNextVideoNALU(nullptr, 0, &nalu, &size, &last));
    EXPECT_EQ(p.data() + 14, nalu);
    EXPECT_EQ(24u, size);
    EXPECT_EQ(1, last);

    EXPECT_EQ(0, memcmp(p.data(), kStartCode, 4));
    EXPECT_EQ(0x67, p[4]);
    EXPECT_EQ(0, memcmp(p.data() + 14, kStartCode, 4));
    EXPECT_EQ(0x65, p[18]);

    // Idle again: a null payload is refused and changes nothing.
    nalu = nullptr;
    size = 77;
    last = 5;
    EXPECT_EQ(0, parser.GetNextVideoNALU(nullptr, 0, &nalu, &size, &last));
    EXPECT_EQ(nullptr, nalu);
    EXPECT_EQ(77u, size);
    EXPECT_EQ(5, last);
}

TEST(QBoxParserSplit, DropsTrailingBytesTooShortForAPrefix)
{
    QBoxParser parser;
    std::vector<UINT8> p = Payload({Unit(10, 0x41)});
    p.push_back(0xEE);
    p.push_back(0xEE);
    UINT8* nalu = nullptr;
    UINT32 size = 0;
    int last = -1;

    ASSERT_EQ(1, parser.GetNextVideoNALU(p.data(), 16, &nalu, &size, &last));
    EXPECT_EQ(14u, size);
    EXPECT_EQ(0, last);
    EXPECT_EQ(0, parser.GetNextVideoNALU(nullptr, 0, &nalu, &size, &last));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(1, last);
    EXPECT_EQ(0xEE, p[14]);

    // The next payload starts afresh at its own offset 0.
    std::vector<UINT8> q = Payload({Unit(3, 0x41)});
    ASSERT_EQ(1, parser.GetNextVideoNALU(q.data(), (UINT32)q.size(), &nalu, &size, &last));
    EXPECT_EQ(q.data(), nalu);
    EXPECT_EQ(7u, size);
    EXPECT_EQ(1, last);
}

TEST(QBoxParserSplit, LengthRunningPastThePayloadEndsIt)
{
    QBoxParser parser;
    std::vector<UINT8> p = Payload({Unit(10, 0x41), Unit(20, 0x41)});
    // The second prefix claims one byte more than is left.
    WriteBE32(p.data() + 14, 21);
    UINT8* nalu = nullptr;
    UINT32 size = 0;
    int last = -1;

    ASSERT_EQ(1, parser.GetNextVideoNALU(p.data(), (UINT32)p.size(), &nalu, &size, &last));
    EXPECT_EQ(0, parser.GetNextVideoNALU(nullptr, 0, &nalu, &size, &last));
    EXPECT_EQ(1, last);
    EXPECT_EQ(p.data(), nalu);  // not moved past the payload
    EXPECT_EQ(21u, ReadBE32(p.data() + 14));  // the bad prefix is left as it was

    // A huge length on a fresh payload, and a payload shorter than a prefix.
    std::vector<UINT8> q = Payload({Unit(4, 0x41)});
    WriteBE32(q.data(), 0xFFFFFFFF);
    EXPECT_EQ(0, parser.GetNextVideoNALU(q.data(), (UINT32)q.size(), &nalu, &size, &last));
    EXPECT_EQ(1, last);
    UINT8 tiny[3] = {0, 0, 0};
    last = 0;
    EXPECT_EQ(0, parser.GetNextVideoNALU(tiny, sizeof(tiny), &nalu, &size, &last));
    EXPECT_EQ(1, last);
    EXPECT_EQ(3u, size);
}

TEST(QBoxParserSplit, ResetAbandonsThePayloadInProgress)
{
    QBoxParser parser;
    std::vector<UINT8> p = Payload({Unit(5, 0x41), Unit(5, 0x41)});
    std::vector<UINT8> q = Payload({Unit(8, 0x65)});
    UINT8* nalu = nullptr;
    UINT32 size = 0;
    int last = -1;
    ASSERT_EQ(1, parser.GetNextVideoNALU(p.data(), (UINT32)p.size(), &nalu, &size, &last));
    ASSERT_EQ(0, last);
    EXPECT_EQ(1, parser.Reset());
    ASSERT_EQ(1, parser.GetNextVideoNALU(q.data(), (UINT32)q.size(), &nalu, &size, &last));
    EXPECT_EQ(q.data(), nalu);
    EXPECT_EQ(12u, size);
}

// ---- sequence parameter sets ----

struct SpsVector {
    std::vector<UINT8> unit;
    unsigned int width;
    unsigned int height;
};

TEST(DecParSet, DecodesThePictureSizeOfBaselineUnits)
{
    const SpsVector vectors[] = {
        {{0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4}, 320, 240},        // POC type 2
        {{0x67, 0x42, 0xE0, 0x1E, 0xF4, 0x05, 0xA1, 0xEC, 0x80}, 720, 480},  // POC type 0
        {{0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x02, 0xD0, 0x49, 0x90}, 720, 576},
    };
    for (const SpsVector& v : vectors) {
        std::vector<UINT8> unit = v.unit;
        unsigned int size[2] = {0, 0};
        EXPECT_EQ(1u, DecParSet(unit.data(), (unsigned int)unit.size(), size));
        EXPECT_EQ(v.width, size[0]);
        EXPECT_EQ(v.height, size[1]);
    }
}

TEST(DecParSet, TruncatedUnitLeavesTheSizeAndStaysInside)
{
    // The 720 x 480 unit cut before its height code ends.
    std::vector<UINT8> full = {0x67, 0x42, 0xE0, 0x1E, 0xF4, 0x05, 0xA1, 0xEC, 0x80};
    for (size_t cut = 0; cut < 8; cut++) {
        // Heap copy of exactly `cut` bytes, so ASan sees any read beyond it.
        std::unique_ptr<UINT8[]> unit(new UINT8[cut ? cut : 1]);
        memcpy(unit.get(), full.data(), cut);
        unsigned int size[2] = {11, 22};
        EXPECT_EQ(1u, DecParSet(unit.get(), (unsigned int)cut, size));
        EXPECT_EQ(11u, size[0]) << cut;
        EXPECT_EQ(22u, size[1]) << cut;
    }
    // All zero bits: the Exp-Golomb prefix never ends inside the unit.
    std::vector<UINT8> zeros(16, 0);
    zeros[0] = 0x67;
    unsigned int size[2] = {11, 22};
    DecParSet(zeros.data(), (unsigned int)zeros.size(), size);
    EXPECT_EQ(11u, size[0]);
}

// A High 4:2:2 unit (found by fuzz_decparset) whose scaling list carries a
// delta_scale far outside -128..127: the unit is taken for damaged, the
// size left alone, and no sum overflows (UBSan build).
TEST(DecParSet, ScalingListDeltaOutOfRangeIsADamagedUnit)
{
    const UINT8 found[] = {0x27, 0x7a, 0x14, 0xff, 0xff, 0xff, 0xff, 0x0d, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff,
                           0xff, 0x00, 0x27, 0x03, 0x00, 0xff, 0xff, 0x19, 0x7e, 0x00, 0xe9, 0x00, 0x00, 0x03,
                           0xff, 0x00, 0x00, 0x00, 0x03, 0xff, 0xff, 0x27, 0x7e, 0x00, 0xe9, 0x00, 0x00, 0x03,
                           0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x67, 0x03, 0x00, 0x3c, 0x0f, 0x1f, 0x00,
                           0x00, 0x00, 0x03, 0xff, 0x70, 0x60, 0x00, 0x00, 0xff, 0x27, 0x7e, 0x5f, 0xe9, 0x00,
                           0x00, 0x03, 0xff};
    std::vector<UINT8> unit(found, found + sizeof(found));
    unsigned int size[2] = {11, 22};
    EXPECT_EQ(1u, DecParSet(unit.data(), (unsigned int)unit.size(), size));
    EXPECT_EQ(11u, size[0]);
    EXPECT_EQ(22u, size[1]);
}

// A unit longer than the 16-bit cursor can address: its zero bits run out at
// the cursor's limit instead of wrapping back to the start of the unit (and
// never ending when that is zero too).
TEST(DecParSet, UnitBeyondTheCursorRangeEndsAtItsLimit)
{
    std::vector<UINT8> unit(70000, 0);
    const UINT8 head[] = {0x67, 0x42, 0xE0, 0x1E};
    memcpy(unit.data(), head, sizeof(head));
    unsigned int size[2] = {11, 22};
    EXPECT_EQ(1u, DecParSet(unit.data(), (unsigned int)unit.size(), size));
    EXPECT_EQ(11u, size[0]);
    EXPECT_EQ(22u, size[1]);

    // The size fields near the start still decode in a long unit.
    const UINT8 sps[] = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4};
    memcpy(unit.data(), sps, sizeof(sps));
    EXPECT_EQ(1u, DecParSet(unit.data(), (unsigned int)unit.size(), size));
    EXPECT_EQ(320u, size[0]);
    EXPECT_EQ(240u, size[1]);
}

TEST(DecParSet, BitReaderPrimitives)
{
    EXPECT_EQ(1, GetBit(0x80, 7));
    EXPECT_EQ(0, GetBit(0x80, 6));
    EXPECT_EQ(1, GetBit(0x01, 0));

    // decExpGol reads the unit DecParSet was last given.
    std::vector<UINT8> unit = {0x67, 0x42, 0xE0, 0x1E, 0x01, 0x38, 0x00, 0x00};
    unsigned int size[2] = {0, 0};
    DecParSet(unit.data(), (unsigned int)unit.size(), size);

    // A lone 1 as the last bit of byte 4 is the value 0; the cursor moves to
    // bit 7 of byte 5.
    unsigned short byte = 4, bit = 0;
    EXPECT_EQ(0, decExpGol(byte, bit));
    EXPECT_EQ(5, byte);
    EXPECT_EQ(7, bit);
    // Byte 5 = 0011 1000: "00111" is 6.
    EXPECT_EQ(6, decExpGol(byte, bit));
    EXPECT_EQ(5, byte);
    EXPECT_EQ(2, bit);
}

}  // namespace
