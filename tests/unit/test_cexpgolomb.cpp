// Exp-Golomb bit reader: fixed-width reads across windows, ue(v)/se(v),
// emulation-prevention removal and the end of the input. Every input is
// placed right before an inaccessible page, so a read of any byte past the
// end stops the test with a fault, in plain builds as well as sanitized ones.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CExpGolomb.h"
#include "QBox.h"
#include "QBoxParser.h"

namespace {

// Bytes that end exactly where an unreadable page begins.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<UINT8>& bytes)
    {
        m_page = (size_t)getpagesize();
        m_base = (UINT8*)mmap(nullptr, 2 * m_page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m_base == MAP_FAILED) {
            m_base = nullptr;
            return;
        }
        mprotect(m_base + m_page, m_page, PROT_NONE);
        m_data = m_base + m_page - bytes.size();
        if (!bytes.empty())
            memcpy(m_data, bytes.data(), bytes.size());
        m_size = (unsigned int)bytes.size();
    }
    ~GuardedBytes()
    {
        if (m_base)
            munmap(m_base, 2 * m_page);
    }
    bool ok() const { return m_base != nullptr; }
    const unsigned char* data() const { return m_data; }
    unsigned int size() const { return m_size; }

private:
    size_t m_page = 0;
    UINT8* m_base = nullptr;
    UINT8* m_data = nullptr;
    unsigned int m_size = 0;
};

// A reader attached to guarded bytes; the bytes live as long as the reader.
struct Reader {
    explicit Reader(const std::vector<UINT8>& bytes) : input(bytes)
    {
        const unsigned char* p = input.data();
        unsigned int c = input.size();
        eg.FillBuffer(p, c);
    }
    GuardedBytes input;
    CExpGolomb eg;
};

// Writes fields and Exp-Golomb codes the way an H.264 encoder does,
// inserting an emulation-prevention byte wherever two zero bytes would be
// followed by a byte of 0x03 or less.
class NalWriter {
public:
    void Bits(UINT64 value, int n)
    {
        for (int i = n - 1; i >= 0; --i) {
            m_acc = (UINT8)((m_acc << 1) | ((value >> i) & 1));
            if (++m_nAcc == 8)
                FlushByte();
        }
    }
    void Ue(UINT32 v)
    {
        UINT64 codeNum = (UINT64)v + 1;
        int len = 0;
        while ((codeNum >> len) > 1)
            ++len;
        Bits(0, len);
        Bits(codeNum, len + 1);
    }
    void Se(INT32 v)
    {
        Ue(v > 0 ? (UINT32)(2 * (int64_t)v - 1) : (UINT32)(-2 * (int64_t)v));
    }
    // rbsp_trailing_bits: a stop bit, then zeros to the byte boundary.
    std::vector<UINT8> Finish()
    {
        Bits(1, 1);
        while (m_nAcc != 0)
            Bits(0, 1);
        return m_out;
    }
    int preventionBytes = 0;

private:
    void FlushByte()
    {
        if (m_zeros >= 2 && m_acc <= 0x03) {
            m_out.push_back(0x03);
            ++preventionBytes;
            m_zeros = 0;
        }
        m_out.push_back(m_acc);
        m_zeros = m_acc == 0 ? m_zeros + 1 : 0;
        m_acc = 0;
        m_nAcc = 0;
    }
    std::vector<UINT8> m_out;
    UINT8 m_acc = 0;
    int m_nAcc = 0;
    int m_zeros = 0;
};

TEST(CExpGolombCodes, ShortCodesDecodeToTheirNumbers)
{
    struct Case {
        UINT8 byte;
        UINT32 ue;
        INT32 se;
    } cases[] = {
        {0x80, 0, 0},   // 1
        {0x40, 1, 1},   // 010
        {0x60, 2, -1},  // 011
        {0x20, 3, 2},   // 00100
        {0x28, 4, -2},  // 00101
        {0x38, 6, -3},  // 00111
        {0x10, 7, 4},   // 0001000
    };
    for (const Case& c : cases) {
        Reader u({c.byte});
        ASSERT_TRUE(u.input.ok());
        UINT32 ue = 0xDEAD;
        EXPECT_EQ(1, u.eg.GetUVLC(ue)) << std::hex << int(c.byte);
        EXPECT_EQ(c.ue, ue) << std::hex << int(c.byte);

        Reader s({c.byte});
        INT32 se = 0xDEAD;
        EXPECT_EQ(1, s.eg.GetSVLC(se)) << std::hex << int(c.byte);
        EXPECT_EQ(c.se, se) << std::hex << int(c.byte);
    }
}

TEST(CExpGolombCodes, MixedFieldsRoundTripAcrossManyWindows)
{
    // Values chosen so that codes and fields straddle window boundaries at
    // every offset, and include the longest code a 32-bit number allows.
    const UINT32 ues[] = {0, 1, 2, 3, 4, 7, 8, 100, 255, 256, 65534, 65535,
                          1000000, 0x7FFFFFFE, 0x7FFFFFFF, 0xFFFFFFFE, 5, 0};
    const INT32 ses[] = {0, 1, -1, 2, -2, 1000, -1000, 0x7FFFFFFF, -0x7FFFFFFF, 3};
    NalWriter w;
    for (int round = 0; round < 3; ++round) {
        for (UINT32 v : ues) {
            w.Ue(v);
            w.Bits(0x5, 3);
        }
        for (INT32 v : ses) {
            w.Se(v);
            w.Bits(round & 1, 1);
        }
        w.Bits(0xA5C3F00F, 32);
        w.Bits(0, 0);
        w.Bits(0x1FFF, 13);
    }
    std::vector<UINT8> bytes = w.Finish();

    Reader r(bytes);
    ASSERT_TRUE(r.input.ok());
    for (int round = 0; round < 3; ++round) {
        for (UINT32 v : ues) {
            UINT32 got = 0;
            ASSERT_EQ(1, r.eg.GetUVLC(got)) << "round " << round << " ue " << v;
            EXPECT_EQ(v, got);
            EXPECT_EQ(0x5u, r.eg.ReadBits(3));
        }
        for (INT32 v : ses) {
            INT32 got = 0;
            ASSERT_EQ(1, r.eg.GetSVLC(got)) << "round " << round << " se " << v;
            EXPECT_EQ(v, got);
            EXPECT_EQ((UINT32)(round & 1), r.eg.ReadBits(1));
        }
        EXPECT_EQ(0xA5C3F00Fu, r.eg.ReadBits(32));
        EXPECT_EQ(0u, r.eg.ReadBits(0));
        EXPECT_EQ(0x1FFFu, r.eg.ReadBits(13));
    }
    EXPECT_EQ(1u, r.eg.ReadBits(1));  // the stop bit
    EXPECT_EQ(bytes.size(), r.eg.m_cRead);
}

TEST(CExpGolombCodes, CodeLongerThanThirtyTwoBitsIsRefused)
{
    // 32 leading zeros: no 32-bit code number has this many.
    Reader r({0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00});
    UINT32 v = 0xDEAD;
    EXPECT_EQ(0, r.eg.GetUVLC(v));
    EXPECT_EQ(0xDEADu, v);
}

TEST(CExpGolombWindow, FourBytesReadWholeAreBigEndian)
{
    Reader r({0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(0, r.eg.IsEmpty());
    EXPECT_EQ(0x12345678u, r.eg.ReadBits(32));
}

TEST(CExpGolombWindow, ReadSpanningTwoWindowsJoinsTheirBits)
{
    Reader r({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
    EXPECT_EQ(0x1234567u, r.eg.ReadBits(28));
    EXPECT_EQ(0x89Au, r.eg.ReadBits(12));  // 4 bits of one window, 8 of the next
    EXPECT_EQ(0xBCDEF0u, r.eg.ReadBits(24));
}

TEST(CExpGolombWindow, ThirtyTwoBitReadsAtOddOffsets)
{
    Reader r({0xF1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01});
    EXPECT_EQ(0xFu, r.eg.ReadBits(4));
    EXPECT_EQ(0x12345678u, r.eg.ReadBits(32));
    EXPECT_EQ(0x9ABCDEF0u, r.eg.ReadBits(32));
    EXPECT_EQ(0x1u, r.eg.ReadBits(4));
}

TEST(CExpGolombWindow, ZeroBitReadChangesNothing)
{
    Reader r({0xC0});
    EXPECT_EQ(0u, r.eg.ReadBits(0));
    EXPECT_EQ(8, r.eg.m_CurPos);
    EXPECT_EQ(3u, r.eg.ReadBits(2));
}

TEST(CExpGolombEmulation, PreventionByteAfterTwoZerosIsNotDelivered)
{
    Reader r({0x00, 0x00, 0x03, 0x01});
    EXPECT_EQ(0x000001u, r.eg.ReadBits(24));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(1));
}

TEST(CExpGolombEmulation, PreventionByteAfterThreeZerosIsDropped)
{
    Reader r({0x00, 0x00, 0x00, 0x03, 0x01});
    EXPECT_EQ(0x00000001u, r.eg.ReadBits(32));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(1));
}

TEST(CExpGolombEmulation, ThreeAfterOneZeroIsData)
{
    Reader r({0x00, 0x03, 0x03, 0x00, 0x03});
    EXPECT_EQ(0x00030300u, r.eg.ReadBits(32));
    EXPECT_EQ(0x03u, r.eg.ReadBits(8));
}

TEST(CExpGolombEmulation, ZeroTakenInPlaceOfADroppedByteCountsTowardsTheNext)
{
    // 00 00 [03] 00 00 [03] 01 carries 00 00 00 00 01; the zero after the
    // first dropped byte starts the next run.
    Reader r({0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x01});
    EXPECT_EQ(0u, r.eg.ReadBits(32));
    EXPECT_EQ(0x01u, r.eg.ReadBits(8));
    EXPECT_EQ(7u, r.eg.m_cRead);
}

TEST(CExpGolombEmulation, ThreeTakenInPlaceOfADroppedByteIsData)
{
    Reader r({0x00, 0x00, 0x03, 0x03, 0x7F});
    EXPECT_EQ(0x0000037Fu, r.eg.ReadBits(32));
}

TEST(CExpGolombEmulation, PreventionSequenceAcrossAWindowBoundary)
{
    Reader r({0x11, 0x22, 0x33, 0x00, 0x00, 0x03, 0x44, 0x55, 0x66});
    EXPECT_EQ(0x11223300u, r.eg.ReadBits(32));
    EXPECT_EQ(0x00445566u, r.eg.ReadBits(32));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(1));
}

TEST(CExpGolombEmulation, PreventionByteAsLastByte)
{
    // The dropped byte ends the input: nothing after it may be taken.
    Reader r({0xAA, 0x00, 0x00, 0x03});
    EXPECT_EQ(24, r.eg.m_CurPos);
    EXPECT_EQ(0xAA0000u, r.eg.ReadBits(24));
    EXPECT_EQ(4u, r.eg.m_cRead);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(1));

    // The same at the start of a later window.
    Reader s({0x10, 0x20, 0x30, 0x00, 0x00, 0x03});
    EXPECT_EQ(0x10203000u, s.eg.ReadBits(32));
    EXPECT_EQ(0x0u, s.eg.ReadBits(4));  // one zero byte made it into the window
    EXPECT_EQ(4, s.eg.m_CurPos);
    EXPECT_EQ(6u, s.eg.m_cRead);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, s.eg.ReadBits(5));
}

TEST(CExpGolombEmulation, EncoderOutputWithManyPreventionBytesRoundTrips)
{
    // Long runs of zero-valued fields make the writer insert prevention bytes.
    NalWriter w;
    for (int i = 0; i < 40; ++i) {
        w.Bits(0, 24 + i % 9);
        w.Ue((UINT32)i % 4);
        w.Bits(0, 16);
        w.Se(-(INT32)(i % 3));
    }
    std::vector<UINT8> bytes = w.Finish();
    ASSERT_GT(w.preventionBytes, 20);

    Reader r(bytes);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(0u, r.eg.ReadBits((UINT8)(24 + i % 9))) << i;
        UINT32 ue = 99;
        ASSERT_EQ(1, r.eg.GetUVLC(ue));
        EXPECT_EQ((UINT32)i % 4, ue) << i;
        ASSERT_EQ(0u, r.eg.ReadBits(16)) << i;
        INT32 se = 99;
        ASSERT_EQ(1, r.eg.GetSVLC(se));
        EXPECT_EQ(-(INT32)(i % 3), se) << i;
    }
    EXPECT_EQ(1u, r.eg.ReadBits(1));
}

TEST(CExpGolombEnd, WindowCutShortHoldsExactlyTheRemainingBits)
{
    Reader r({0xAB, 0xCD, 0xEF});
    EXPECT_EQ(24, r.eg.m_CurPos);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(25));

    Reader s({0xAB, 0xCD, 0xEF});
    EXPECT_EQ(0xABCDEFu, s.eg.ReadBits(24));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, s.eg.ReadBits(1));
    EXPECT_EQ(3u, s.eg.m_cRead);
}

TEST(CExpGolombEnd, ReadBitsReportsTheEndInALaterWindow)
{
    // Four bytes fill the first window, one byte is left for the second.
    Reader r({0x01, 0x02, 0x03, 0x04, 0x5A});
    EXPECT_EQ(0x01020304u, r.eg.ReadBits(32));
    EXPECT_EQ(0x5u, r.eg.ReadBits(4));
    EXPECT_EQ(4, r.eg.m_CurPos);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(5));

    // A request that spans into a second window shorter than its rest.
    Reader s({0x01, 0x02, 0x03, 0x04, 0x5A});
    EXPECT_EQ(0x0102030u, s.eg.ReadBits(28));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, s.eg.ReadBits(13));

    // Input used up exactly at a window boundary.
    Reader t({0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(0x0102u, t.eg.ReadBits(16));
    EXPECT_EQ(0x0304u, t.eg.ReadBits(16));
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, t.eg.ReadBits(1));
    UINT32 v = 7;
    EXPECT_EQ(0, t.eg.GetUVLC(v));
    EXPECT_EQ(7u, v);
}

TEST(CExpGolombEnd, EmptyInputReportsTheEnd)
{
    Reader r(std::vector<UINT8>{});
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, r.eg.ReadBits(1));
    UINT32 v = 7;
    EXPECT_EQ(0, r.eg.GetUVLC(v));

    CExpGolomb detached;
    const unsigned char* none = nullptr;
    unsigned int count = 16;
    detached.FillBuffer(none, count);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, detached.ReadBits(8));
}

TEST(CExpGolombEnd, InputEndsWhileCountingZeros)
{
    Reader a({0x00});  // zeros to the end of a short window
    UINT32 v = 7;
    EXPECT_EQ(0, a.eg.GetUVLC(v));
    EXPECT_EQ(7u, v);

    Reader b({0xFF, 0xFF, 0xFF, 0xF0});  // zeros to the end of a full window
    EXPECT_EQ(0xFFFFFFFu, b.eg.ReadBits(28));
    EXPECT_EQ(0, b.eg.GetUVLC(v));

    Reader c({0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00});  // zeros run on into the next
    EXPECT_EQ(0xFFFFFFFu, c.eg.ReadBits(28));
    EXPECT_EQ(0, c.eg.GetUVLC(v));

    Reader d({0x00, 0x00, 0x03});  // zeros, then a dropped byte at the end
    INT32 s = 7;
    EXPECT_EQ(0, d.eg.GetSVLC(s));
    EXPECT_EQ(7, s);
    EXPECT_EQ(3u, d.eg.m_cRead);
}

TEST(CExpGolombEnd, InputEndsWhileReadingTheBitsAfterTheOne)
{
    UINT32 v = 7;
    Reader a({0x01});  // 7 zeros, the 1, and no room for 7 more bits
    EXPECT_EQ(0, a.eg.GetUVLC(v));

    Reader b({0x00, 0x01, 0xFF});  // 15 zeros, 1, only 8 of 15 bits
    EXPECT_EQ(0, b.eg.GetUVLC(v));

    Reader c({0xFF, 0xFF, 0xFF, 0xF0, 0x01});  // code crosses into a short window
    EXPECT_EQ(0xFFFFFFFu, c.eg.ReadBits(28));
    EXPECT_EQ(0, c.eg.GetUVLC(v));
    EXPECT_EQ(7u, v);

    // The same code with the bits it needs present decodes.
    // 11 zeros, the 1, then 11 ones.
    Reader d({0xFF, 0xFF, 0xFF, 0xF0, 0x01, 0xFF, 0xE0});
    EXPECT_EQ(0xFFFFFFFu, d.eg.ReadBits(28));
    EXPECT_EQ(1, d.eg.GetUVLC(v));
    EXPECT_EQ(2047u + 2047u, v);
}

// ---- sequence parameter sets, decoded by both SPS readers ----------------

const UINT8 NAL_TYPE_MASK = 0x1F;
const UINT8 NAL_TYPE_SPS = 7;

// The fields of seq_parameter_set_data() (H.264 clause 7.3.2.1.1) up to the
// frame cropping, read with the general bit reader from the unit after its
// one-byte NAL header. Returns false when the unit ends early.
struct SpsFields {
    UINT32 profile_idc = 0;
    UINT32 pic_order_cnt_type = 0;
    UINT32 pic_width_in_mbs_minus1 = 0;
    UINT32 pic_height_in_map_units_minus1 = 0;
    UINT32 frame_mbs_only_flag = 0;
    UINT32 frame_cropping_flag = 0;
};

bool ProfileHasChromaFields(UINT32 profile)
{
    const UINT32 profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    for (UINT32 p : profiles)
        if (p == profile)
            return true;
    return false;
}

bool Bits(CExpGolomb& eg, UINT8 n, UINT32& v)
{
    v = eg.ReadBits(n);
    return v != EXPGOLOMB_END_OF_INPUT;
}

bool SkipScalingList(CExpGolomb& eg, int size)
{
    INT32 last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            INT32 delta = 0;
            if (!eg.GetSVLC(delta))
                return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

bool ReadSps(const UINT8* unit, unsigned int size, SpsFields& sps)
{
    const unsigned char* payload = unit + 1;
    unsigned int count = size - 1;
    CExpGolomb eg;
    eg.FillBuffer(payload, count);
    UINT32 v = 0;
    if (!Bits(eg, 8, sps.profile_idc) || !Bits(eg, 16, v) || !eg.GetUVLC(v))
        return false;
    if (ProfileHasChromaFields(sps.profile_idc)) {
        UINT32 chroma = 0;
        if (!eg.GetUVLC(chroma) || (chroma == 3 && !Bits(eg, 1, v)))
            return false;
        if (!eg.GetUVLC(v) || !eg.GetUVLC(v) || !Bits(eg, 1, v))
            return false;
        UINT32 matrices = 0;
        if (!Bits(eg, 1, matrices))
            return false;
        for (int i = 0; matrices && i < (chroma == 3 ? 12 : 8); ++i) {
            UINT32 present = 0;
            if (!Bits(eg, 1, present) || (present && !SkipScalingList(eg, i < 6 ? 16 : 64)))
                return false;
        }
    }
    if (!eg.GetUVLC(v) || !eg.GetUVLC(sps.pic_order_cnt_type))
        return false;
    if (sps.pic_order_cnt_type == 0 && !eg.GetUVLC(v))
        return false;
    if (sps.pic_order_cnt_type == 1) {
        INT32 offset = 0;
        UINT32 cycle = 0;
        if (!Bits(eg, 1, v) || !eg.GetSVLC(offset) || !eg.GetSVLC(offset) || !eg.GetUVLC(cycle))
            return false;
        for (UINT32 i = 0; i < cycle; ++i)
            if (!eg.GetSVLC(offset))
                return false;
    }
    if (!eg.GetUVLC(v) || !Bits(eg, 1, v))  // max_num_ref_frames, gaps flag
        return false;
    if (!eg.GetUVLC(sps.pic_width_in_mbs_minus1) || !eg.GetUVLC(sps.pic_height_in_map_units_minus1))
        return false;
    if (!Bits(eg, 1, sps.frame_mbs_only_flag))
        return false;
    if (!sps.frame_mbs_only_flag && !Bits(eg, 1, v))
        return false;
    return Bits(eg, 1, v) && Bits(eg, 1, sps.frame_cropping_flag);
}

// Both readers give the same macroblock-based size where the small one
// applies: Baseline/Main layout, picture order count type 0 or 2, and no
// emulation-prevention byte before the size fields.
void ExpectSameSize(const std::vector<UINT8>& unit, unsigned int width, unsigned int height)
{
    SpsFields sps;
    ASSERT_TRUE(ReadSps(unit.data(), (unsigned int)unit.size(), sps));
    EXPECT_EQ(width, (sps.pic_width_in_mbs_minus1 + 1) * 16);
    EXPECT_EQ(height, (sps.pic_height_in_map_units_minus1 + 1) * 16);
    EXPECT_EQ(1u, sps.frame_mbs_only_flag);
    EXPECT_EQ(0u, sps.frame_cropping_flag);

    std::vector<UINT8> copy = unit;
    unsigned int size[2] = {0, 0};
    EXPECT_EQ(1u, DecParSet(copy.data(), (unsigned int)copy.size(), size));
    EXPECT_EQ(width, size[0]);
    EXPECT_EQ(height, size[1]);
}

TEST(CExpGolombSps, DecodesKnownUnitsLikeTheSmallReader)
{
    ExpectSameSize({0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4}, 320, 240);
    ExpectSameSize({0x67, 0x42, 0xE0, 0x1E, 0xF4, 0x05, 0xA1, 0xEC, 0x80}, 720, 480);
    ExpectSameSize({0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x02, 0xD0, 0x49, 0x90}, 720, 576);
}

// The NAL units (without their 4-byte length prefixes) of type 7 in the
// video boxes of a QBox stream file.
std::vector<std::vector<UINT8>> SpsUnitsOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<UINT8> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<UINT8>> units;
    size_t pos = 0;
    while (file.size() - pos >= QBOX_HEADER_SIZE) {
        QBox box;
        DecodeQBoxHeader(&file[pos], &box);
        if (!IsUsableQBox(&box) || box.ulBoxSize > file.size() - pos)
            break;
        if (box.usSampleStreamType == QBOX_STREAM_VIDEO) {
            size_t at = pos + QBOX_HEADER_SIZE;
            size_t end = pos + box.ulBoxSize;
            while (end - at > QBOX_NALU_PREFIX_SIZE) {
                UINT32 length = ReadBE32(&file[at]);
                at += QBOX_NALU_PREFIX_SIZE;
                if (length == 0 || length > end - at)
                    break;
                if ((file[at] & NAL_TYPE_MASK) == NAL_TYPE_SPS)
                    units.emplace_back(file.begin() + at, file.begin() + at + length);
                at += length;
            }
        }
        pos += box.ulBoxSize;
    }
    return units;
}

TEST(CExpGolombSps, DecodesTheEncoderStreamsLikeTheSmallReader)
{
    const char* corpus = getenv("VOZIREV_CORPUS");
    if (!corpus || access((std::string(corpus) + "/a_only.qbox").c_str(), R_OK) != 0)
        GTEST_SKIP() << "the shared QBox test streams have not been encoded yet";
    struct Stream {
        const char* name;
        unsigned int width, height;
    } streams[] = {
        {"av_320x240_30fps_gop30.qbox", 320, 240},
        {"av_720x576_25fps_gop12.qbox", 720, 576},
        {"av_720x480_15fps_gop5.qbox", 720, 480},
        {"v_352x288_30fps_gop10.qbox", 352, 288},
    };
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.name);
        std::vector<std::vector<UINT8>> units = SpsUnitsOf(std::string(corpus) + "/" + s.name);
        ASSERT_FALSE(units.empty()) << "no sequence parameter set in " << corpus << "/" << s.name;
        for (const std::vector<UINT8>& unit : units)
            ExpectSameSize(unit, s.width, s.height);
    }
    EXPECT_TRUE(SpsUnitsOf(std::string(corpus) + "/a_only.qbox").empty());
}

}  // namespace
