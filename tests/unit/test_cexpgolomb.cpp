// Exp-Golomb bit reader: fixed-width reads across windows, ue(v)/se(v),
// emulation-prevention removal and the end of the input. Every input is
// placed right before an inaccessible page, so a read of any byte past the
// end stops the test with a fault, in plain builds as well as sanitized ones.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "CExpGolomb.h"

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

}  // namespace
