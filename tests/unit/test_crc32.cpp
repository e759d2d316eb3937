// CRC-32/MPEG-2 and the PAT/PMT packets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crc32.h"

namespace {

unsigned int Crc(const void* data, int size)
{
    char out[4];
    crc32_calc((char*)data, size, out);
    const unsigned char* u = (const unsigned char*)out;
    return ((unsigned)u[0] << 24) | ((unsigned)u[1] << 16) | ((unsigned)u[2] << 8) | u[3];
}

class Crc32Test : public ::testing::Test {
protected:
    void SetUp() override { gen_crc32_table(); }
};

TEST_F(Crc32Test, CheckValueEmptyInputAndBlockChaining)
{
    EXPECT_EQ(0x0376E6E7u, Crc("123456789", 9));
    EXPECT_EQ(0xFFFFFFFFu, Crc("", 0));

    // The block form carries the register across arbitrary splits.
    char digits[] = "123456789";
    unsigned int reg = update_crc_32_block(0xFFFFFFFF, digits, 4);
    reg = update_crc_32_block(reg, digits + 4, 5);
    EXPECT_EQ(0x0376E6E7u, reg);
}

TEST_F(Crc32Test, TableMatchesPolynomial)
{
    EXPECT_EQ(0u, crc_32_table[0]);
    EXPECT_EQ(0x04C11DB7u, crc_32_table[1]);
    EXPECT_EQ(0x09823B6Eu, crc_32_table[2]);
    EXPECT_EQ(0xB1F740B4u, crc_32_table[255]);
}

// PSI sections as a demultiplexer checks them: the register run over the
// section including its stored CRC ends at 0.
TEST_F(Crc32Test, SectionWithItsCrcChecksToZero)
{
    unsigned char section[16] = {0x00, 0xB0, 0x0D, 0x4B, 0x5A, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE0, 0x42};
    crc32_calc((char*)section, 12, (char*)section + 12);
    EXPECT_EQ(0u, update_crc_32_block(0xFFFFFFFF, (char*)section, 16));
    section[5] ^= 0x01;  // one flipped bit is caught
    EXPECT_NE(0u, update_crc_32_block(0xFFFFFFFF, (char*)section, 16));
}

TEST(PatTest, PacketByteForByte)
{
    unsigned char pat[TS_PACKET_SIZE];
    memset(pat, 0xAA, sizeof(pat));
    getPAT(pat);

    const unsigned char head[] = {0x47, 0x40, 0x00, 0x30, 0xA6, 0x00};
    EXPECT_EQ(0, memcmp(pat, head, sizeof(head)));
    for (int i = 6; i <= 170; i++) ASSERT_EQ(0xFF, pat[i]) << "stuffing byte " << i;
    const unsigned char section[] = {0x00, 0x00, 0xB0, 0x0D, 0x4B, 0x5A, 0xC1, 0x00,
                                     0x00, 0x00, 0x01, 0xE0, 0x42};
    EXPECT_EQ(0, memcmp(pat + 171, section, sizeof(section)));
    // CRC-32/MPEG-2 over bytes 172..183, computed independently of the table.
    unsigned int reg = 0xFFFFFFFF;
    for (int i = 172; i < 184; i++) {
        reg ^= (unsigned int)pat[i] << 24;
        for (int b = 0; b < 8; b++) reg = (reg & 0x80000000) ? (reg << 1) ^ 0x04C11DB7 : reg << 1;
    }
    const unsigned char crc[] = {(unsigned char)(reg >> 24), (unsigned char)(reg >> 16),
                                 (unsigned char)(reg >> 8), (unsigned char)reg};
    EXPECT_EQ(0, memcmp(pat + 184, crc, 4));
    EXPECT_EQ(0u, update_crc_32_block(0xFFFFFFFF, (char*)pat + 172, 16));

    unsigned char again[TS_PACKET_SIZE];
    getPAT(again);
    EXPECT_EQ(0, memcmp(pat, again, TS_PACKET_SIZE));
}

struct PmtCase {
    const char* name;
    unsigned char video, audio, priv;
    unsigned char pcrPidLow;
    std::vector<unsigned char> entries;
};

class PmtTest : public ::testing::TestWithParam<PmtCase> {
protected:
    void SetUp() override { gen_crc32_table(); }
};

TEST_P(PmtTest, PacketForComposition)
{
    const PmtCase& c = GetParam();
    unsigned char pmt[TS_PACKET_SIZE];
    memset(pmt, 0xAA, sizeof(pmt));
    getPMT(pmt, c.video, c.audio, c.priv);

    const unsigned int sectionLength = 13 + (unsigned int)c.entries.size();
    const unsigned int szPMT = sectionLength + 4;
    const unsigned int szPadd = 182 - szPMT;

    EXPECT_EQ(0x47, pmt[0]);
    EXPECT_EQ(0x40, pmt[1]);
    EXPECT_EQ(0x42, pmt[2]);
    EXPECT_EQ(0x30, pmt[3]);
    EXPECT_EQ(szPadd + 1, pmt[4]);
    EXPECT_EQ(0x00, pmt[5]);
    for (unsigned int i = 6; i <= 5 + szPadd; i++) ASSERT_EQ(0xFF, pmt[i]) << "stuffing byte " << i;

    const unsigned char* s = pmt + TS_PACKET_SIZE - szPMT;
    std::vector<unsigned char> expected = {0x00, 0x02, 0xB0, (unsigned char)sectionLength,
                                           0x00, 0x01, 0xDF, 0x00, 0x00, 0xE0, c.pcrPidLow, 0xF0, 0x00};
    for (unsigned char b : c.entries) expected.push_back(b);
    EXPECT_EQ(expected, std::vector<unsigned char>(s, s + expected.size()));
    // The section from table_id through the CRC checks to 0.
    EXPECT_EQ(0u, update_crc_32_block(0xFFFFFFFF, (char*)s + 1, (int)szPMT - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Compositions, PmtTest,
    ::testing::Values(
        PmtCase{"AudioOnly", 0, 0x0F, 0, 0x45, {0x0F, 0xE0, 0x45, 0xF0, 0x00}},
        PmtCase{"VideoOnly", 0x1B, 0, 0, 0x44, {0x1B, 0xE0, 0x44, 0xF0, 0x00}},
        PmtCase{"AudioVideo", 0x1B, 0x0F, 1, 0x44,
                {0x1B, 0xE0, 0x44, 0xF0, 0x00, 0x0F, 0xE0, 0x45, 0xF0, 0x00, 0x06, 0xE0, 0x48, 0xF0, 0x00}},
        // A non-zero Private only switches its entry on; its type stays 0x06.
        PmtCase{"VideoPrivate", 0x1B, 0, 9, 0x44, {0x1B, 0xE0, 0x44, 0xF0, 0x00, 0x06, 0xE0, 0x48, 0xF0, 0x00}},
        PmtCase{"Empty", 0, 0, 0, 0x45, {}}),
    [](const ::testing::TestParamInfo<PmtCase>& info) { return std::string(info.param.name); });

TEST(PmtSizes, AdaptationFieldLengthsOfTheCompositions)
{
    getPAT(std::vector<unsigned char>(TS_PACKET_SIZE).data());
    unsigned char pmt[TS_PACKET_SIZE];
    getPMT(pmt, 0x1B, 0x0F, 1);
    EXPECT_EQ(151, pmt[4]);
    EXPECT_EQ(28, pmt[188 - 32 + 3]);
    getPMT(pmt, 0, 0x0F, 0);
    EXPECT_EQ(161, pmt[4]);
    getPMT(pmt, 0x1B, 0, 0);
    EXPECT_EQ(161, pmt[4]);
    getPMT(pmt, 0, 0, 0);
    EXPECT_EQ(166, pmt[4]);
    EXPECT_EQ(13, pmt[188 - 17 + 3]);
}

}  // namespace
