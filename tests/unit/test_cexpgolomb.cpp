// Exp-Golomb bit reader: fixed-width reads across windows, ue(v)/se(v),
// emulation-prevention removal and the end of the input. Every input is
// placed right before an inaccessible page, so a read of any byte past the
// end stops the test with a fault, in plain builds as well as sanitized ones.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
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

// A script of reads run against one reader, each with what it must give.
enum Op { BITS, UE, SE, CUR_POS, C_READ };
const int64_t END = INT64_MIN;  // ReadBits gives all ones, GetUVLC/GetSVLC give 0
struct Step {
    Op op;
    int n;  // bits to read (BITS only)
    int64_t expect;
};
struct Script {
    const char* what;
    std::vector<UINT8> input;
    std::vector<Step> steps;
};

void RunScript(const Script& script)
{
    SCOPED_TRACE(script.what);
    Reader r(script.input);
    ASSERT_TRUE(r.input.ok());
    for (size_t i = 0; i < script.steps.size(); ++i) {
        const Step& step = script.steps[i];
        const UINT32 untouched = 0xDEAD;
        UINT32 ue = untouched;
        INT32 se = (INT32)untouched;
        switch (step.op) {
        case BITS:
            EXPECT_EQ(step.expect == END ? EXPGOLOMB_END_OF_INPUT : (UINT32)step.expect,
                      r.eg.ReadBits((UINT8)step.n)) << "step " << i;
            break;
        case UE:
            EXPECT_EQ(step.expect == END ? 0 : 1, r.eg.GetUVLC(ue)) << "step " << i;
            EXPECT_EQ(step.expect == END ? untouched : (UINT32)step.expect, ue) << "step " << i;
            break;
        case SE:
            EXPECT_EQ(step.expect == END ? 0 : 1, r.eg.GetSVLC(se)) << "step " << i;
            EXPECT_EQ(step.expect == END ? (INT32)untouched : (INT32)step.expect, se) << "step " << i;
            break;
        case CUR_POS:
            EXPECT_EQ(step.expect, r.eg.m_CurPos) << "step " << i;
            break;
        case C_READ:
            EXPECT_EQ(step.expect, (int64_t)r.eg.m_cRead) << "step " << i;
            break;
        }
    }
}

TEST(CExpGolombCodes, ShortCodesDecodeToTheirNumbers)
{
    const Script scripts[] = {
        {"1", {0x80}, {{UE, 0, 0}}},
        {"010", {0x40}, {{UE, 0, 1}}},
        {"00100", {0x20}, {{UE, 0, 3}}},
        {"0001000", {0x10}, {{UE, 0, 7}}},
        {"se 1", {0x80}, {{SE, 0, 0}}},
        {"se 010", {0x40}, {{SE, 0, 1}}},
        {"se 011", {0x60}, {{SE, 0, -1}}},
        {"se 00101", {0x28}, {{SE, 0, -2}}},
        {"se 00111", {0x38}, {{SE, 0, -3}}},
        {"codes back to back", {0xA6, 0x42, 0x9C, 0x44},  // 1 010 011 00100 00101 00111 0001000 1 00
         {{UE, 0, 0}, {UE, 0, 1}, {UE, 0, 2}, {UE, 0, 3}, {SE, 0, -2}, {UE, 0, 6}, {UE, 0, 7}, {UE, 0, 0},
          {BITS, 2, 0}, {BITS, 1, END}}},
        {"32 leading zeros: longer than any 32-bit code number",
         {0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}, {{UE, 0, END}}},
    };
    for (const Script& s : scripts)
        RunScript(s);
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

TEST(CExpGolombWindow, ReadsWithinAndAcrossWindows)
{
    const Script scripts[] = {
        {"four bytes read whole are big-endian", {0x12, 0x34, 0x56, 0x78},
         {{BITS, 32, 0x12345678}, {BITS, 1, END}}},
        {"12 bits: the last 4 of one window, the first 8 of the next",
         {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0},
         {{BITS, 28, 0x1234567}, {BITS, 12, 0x89A}, {BITS, 24, 0xBCDEF0}}},
        {"32-bit reads at an odd offset", {0xF1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01},
         {{BITS, 4, 0xF}, {BITS, 32, 0x12345678}, {BITS, 32, 0x9ABCDEF0}, {BITS, 4, 0x1}}},
        {"reading 0 bits changes nothing", {0xC0},
         {{BITS, 0, 0}, {CUR_POS, 0, 8}, {BITS, 2, 3}}},
    };
    for (const Script& s : scripts)
        RunScript(s);
}

TEST(CExpGolombEmulation, PreventionBytesAreDropped)
{
    const Script scripts[] = {
        {"00 00 03 01", {0x00, 0x00, 0x03, 0x01},
         {{BITS, 24, 0x000001}, {BITS, 1, END}, {C_READ, 0, 4}}},
        {"three zeros, then 03", {0x00, 0x00, 0x00, 0x03, 0x01},
         {{BITS, 32, 0x00000001}, {BITS, 1, END}}},
        {"03 after a single zero is data", {0x00, 0x03, 0x03, 0x00, 0x03},
         {{BITS, 32, 0x00030300}, {BITS, 8, 0x03}}},
        {"a zero taken in place of a dropped byte starts the next run",
         {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x01},
         {{BITS, 32, 0}, {BITS, 8, 0x01}, {C_READ, 0, 7}}},
        {"03 taken in place of a dropped byte is data", {0x00, 0x00, 0x03, 0x03, 0x7F},
         {{BITS, 32, 0x0000037F}}},
        {"00 00 03 across a window boundary", {0x11, 0x22, 0x33, 0x00, 0x00, 0x03, 0x44, 0x55, 0x66},
         {{BITS, 32, 0x11223300}, {BITS, 32, 0x00445566}, {BITS, 1, END}}},
        {"03 as the last byte", {0xAA, 0x00, 0x00, 0x03},
         {{CUR_POS, 0, 24}, {BITS, 24, 0xAA0000}, {C_READ, 0, 4}, {BITS, 1, END}}},
        {"03 as the last byte, in a later window", {0x10, 0x20, 0x30, 0x00, 0x00, 0x03},
         {{BITS, 32, 0x10203000}, {BITS, 4, 0}, {CUR_POS, 0, 4}, {C_READ, 0, 6}, {BITS, 5, END}}},
    };
    for (const Script& s : scripts)
        RunScript(s);
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

TEST(CExpGolombEnd, TheEndOfTheInputIsReported)
{
    const Script scripts[] = {
        {"a short window holds exactly the bits left", {0xAB, 0xCD, 0xEF},
         {{CUR_POS, 0, 24}, {BITS, 25, END}}},
        {"all bits of a short window, then the end", {0xAB, 0xCD, 0xEF},
         {{BITS, 24, 0xABCDEF}, {BITS, 1, END}, {C_READ, 0, 3}}},
        {"the end inside a later window", {0x01, 0x02, 0x03, 0x04, 0x5A},
         {{BITS, 32, 0x01020304}, {BITS, 4, 0x5}, {CUR_POS, 0, 4}, {BITS, 5, END}}},
        {"a request spanning into a shorter window", {0x01, 0x02, 0x03, 0x04, 0x5A},
         {{BITS, 28, 0x0102030}, {BITS, 13, END}}},
        {"input used up at a window boundary", {0x01, 0x02, 0x03, 0x04},
         {{BITS, 16, 0x0102}, {BITS, 16, 0x0304}, {BITS, 1, END}, {UE, 0, END}}},
        {"no input", {}, {{BITS, 1, END}, {UE, 0, END}}},
        // The end while GetCodeNum counts zeros.
        {"zeros to the end of a short window", {0x00}, {{UE, 0, END}}},
        {"zeros to the end of a full window", {0xFF, 0xFF, 0xFF, 0xF0},
         {{BITS, 28, 0xFFFFFFF}, {UE, 0, END}}},
        {"zeros running on into the next window", {0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00},
         {{BITS, 28, 0xFFFFFFF}, {UE, 0, END}}},
        {"zeros, then a dropped byte at the end", {0x00, 0x00, 0x03}, {{SE, 0, END}, {C_READ, 0, 3}}},
        // The end while GetCodeNum reads the bits after the 1.
        {"7 zeros, the 1, no bits", {0x01}, {{UE, 0, END}}},
        {"15 zeros, the 1, 8 of 15 bits", {0x00, 0x01, 0xFF}, {{UE, 0, END}}},
        {"a code crossing into a short window", {0xFF, 0xFF, 0xFF, 0xF0, 0x01},
         {{BITS, 28, 0xFFFFFFF}, {UE, 0, END}}},
        {"the same code with its bits present", {0xFF, 0xFF, 0xFF, 0xF0, 0x01, 0xFF, 0xE0},
         {{BITS, 28, 0xFFFFFFF}, {UE, 0, 2047 + 2047}}},
    };
    for (const Script& s : scripts)
        RunScript(s);
}

TEST(CExpGolombEnd, NoInputAttached)
{
    CExpGolomb detached;
    const unsigned char* none = nullptr;
    unsigned int count = 16;
    detached.FillBuffer(none, count);
    EXPECT_EQ(EXPGOLOMB_END_OF_INPUT, detached.ReadBits(8));
}

// ---- sequence parameter sets, decoded by both SPS readers ----------------

const UINT8 NAL_TYPE_MASK = 0x1F;
const UINT8 NAL_TYPE_SPS = 7;

// The fields of seq_parameter_set_data() (H.264 clause 7.3.2.1.1) up to the
// frame cropping flag, read with the general bit reader from the unit after
// its one-byte NAL header. Only the layout the small reader also knows is
// followed (no High-profile fields, picture order count type 0 or 2); false
// for any other layout or when the unit ends early.
struct SpsFields {
    UINT32 pic_width_in_mbs_minus1 = 0;
    UINT32 pic_height_in_map_units_minus1 = 0;
    UINT32 frame_mbs_only_flag = 0;
    UINT32 frame_cropping_flag = 0;
};

const UINT32 PROFILE_BASELINE = 66;
const UINT32 PROFILE_MAIN = 77;
const UINT32 PROFILE_EXTENDED = 88;

bool ReadSps(const UINT8* unit, unsigned int size, SpsFields& sps)
{
    const unsigned char* payload = unit + 1;
    unsigned int count = size - 1;
    CExpGolomb eg;
    eg.FillBuffer(payload, count);
    UINT32 profile = eg.ReadBits(8);
    if (profile != PROFILE_BASELINE && profile != PROFILE_MAIN && profile != PROFILE_EXTENDED)
        return false;
    UINT32 v = 0, pocType = 0;
    eg.ReadBits(16);  // constraint flags, level_idc
    if (!eg.GetUVLC(v) || !eg.GetUVLC(v) || !eg.GetUVLC(pocType))
        return false;  // id, log2_max_frame_num_minus4, pic_order_cnt_type
    if (pocType == 1 || (pocType == 0 && !eg.GetUVLC(v)))
        return false;
    if (!eg.GetUVLC(v) || eg.ReadBits(1) == EXPGOLOMB_END_OF_INPUT)
        return false;  // max_num_ref_frames, gaps_in_frame_num_value_allowed_flag
    if (!eg.GetUVLC(sps.pic_width_in_mbs_minus1) || !eg.GetUVLC(sps.pic_height_in_map_units_minus1))
        return false;
    sps.frame_mbs_only_flag = eg.ReadBits(1);
    if (sps.frame_mbs_only_flag == 0)
        eg.ReadBits(1);  // mb_adaptive_frame_field_flag
    eg.ReadBits(1);      // direct_8x8_inference_flag
    sps.frame_cropping_flag = eg.ReadBits(1);
    return sps.frame_cropping_flag != EXPGOLOMB_END_OF_INPUT;
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

// One of the shared test streams and the encoder options it was made with.
struct Stream {
    const char* name;
    const char* options;
    unsigned int width, height;
};

// The shared stream if it has been encoded; otherwise a short stream with
// the same settings made by the build's encoder tool in `scratch`. Empty
// when neither is possible.
std::string StreamFile(const Stream& s, const std::string& scratch)
{
    const char* corpus = getenv("VOZIREV_CORPUS");
    if (corpus) {
        std::string shared = std::string(corpus) + "/" + s.name;
        if (access(shared.c_str(), R_OK) == 0)
            return shared;
    }
    const char* bin = getenv("VOZIREV_BIN");
    if (!bin || scratch.empty())
        return "";
    std::string made = scratch + "/" + s.name;
    std::string command = std::string(bin) + "/qbox-encode " + s.options +
                          " --duration 1 -o " + made + " >/dev/null 2>&1";
    return system(command.c_str()) == 0 ? made : "";
}

// A temporary directory, removed with the files in it.
struct ScratchDir {
    ScratchDir()
    {
        char dirTemplate[] = "/tmp/vozirev_sps_XXXXXX";
        if (mkdtemp(dirTemplate))
            path = dirTemplate;
    }
    ~ScratchDir()
    {
        if (path.empty())
            return;
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    unlink((path + "/" + entry->d_name).c_str());
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    std::string path;
};

TEST(CExpGolombSps, DecodesTheEncoderStreamsLikeTheSmallReader)
{
    const Stream video[] = {
        {"av_320x240_30fps_gop30.qbox", "-m 3 -w 320 -h 240 -f 30 -i 30 -v 512 -a 48", 320, 240},
        {"av_720x576_25fps_gop12.qbox", "-m 3 -w 720 -h 576 -f 25 -i 12 -v 2000 -a 96", 720, 576},
        {"av_720x480_15fps_gop5.qbox", "-m 3 -w 720 -h 480 -f 15 -i 5 -v 1000 -a 64", 720, 480},
        {"v_352x288_30fps_gop10.qbox", "-m 2 -w 352 -h 288 -f 30 -i 10 -v 768", 352, 288},
    };
    const Stream audio = {"a_only.qbox", "-m 1 -a 128", 0, 0};

    ScratchDir scratch;
    for (const Stream& s : video) {
        SCOPED_TRACE(s.name);
        std::string path = StreamFile(s, scratch.path);
        if (path.empty())
            GTEST_SKIP() << "no shared test streams and no encoder tool to make them";
        std::vector<std::vector<UINT8>> units = SpsUnitsOf(path);
        EXPECT_GE(units.size(), 1u) << "no sequence parameter set in " << path;
        for (const std::vector<UINT8>& unit : units)
            ExpectSameSize(unit, s.width, s.height);
    }
    std::string audioPath = StreamFile(audio, scratch.path);
    ASSERT_FALSE(audioPath.empty());
    EXPECT_TRUE(SpsUnitsOf(audioPath).empty());
}

}  // namespace
