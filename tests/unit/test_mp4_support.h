// Helpers for the MP4 writer tests: a scratch directory per test (the
// writer spools to the current directory), sample builders and a small box
// walker over the finished file.
#ifndef VOZIREV_TEST_MP4_SUPPORT_H
#define VOZIREV_TEST_MP4_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QBoxParser.h"
#include "byteorder.h"
#include "codecs.h"
#include "mp4Writer.h"

namespace mp4test {

const char* const kOutput = "out.mp4";
const char* const kSpoolNames[7] = {"~temp1", "~temp2", "~temp3", "~temp4", "~temp5", "~temp6", "~temp7"};

// SPS of a 320 x 240 Baseline stream and a PPS, without start codes.
const std::vector<UINT8> kSps = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4};
const std::vector<UINT8> kPps = {0x68, 0xCE, 0x3C, 0x80};

inline std::vector<UINT8> ReadFileBytes(const char* name)
{
    std::vector<UINT8> bytes;
    FILE* f = fopen(name, "rb");
    if (f == nullptr) {
        return bytes;
    }
    int c;
    while ((c = fgetc(f)) != EOF) {
        bytes.push_back((UINT8)c);
    }
    fclose(f);
    return bytes;
}

inline bool FileExists(const char* name)
{
    struct stat st;
    return stat(name, &st) == 0;
}

// The 4-byte host-order records of a spool file (the records gathered in
// memory are written out first).
inline std::vector<UINT32> SpoolRecords(const char* name)
{
    flushMP4Spools();
    std::vector<UINT8> bytes = ReadFileBytes(name);
    std::vector<UINT32> records(bytes.size() / 4);
    for (size_t i = 0; i < records.size(); i++) {
        memcpy(&records[i], bytes.data() + i * 4, 4);
    }
    return records;
}

// A NAL unit in start-code form: 00 00 00 01, header byte, filler.
inline std::vector<UINT8> Nalu(UINT8 header, UINT32 bodySize = 16)
{
    std::vector<UINT8> u = {0, 0, 0, 1, header};
    for (UINT32 i = 0; i < bodySize; i++) {
        u.push_back((UINT8)(i * 7 + header));
    }
    return u;
}

inline std::vector<UINT8> WithStartCode(const std::vector<UINT8>& unit)
{
    std::vector<UINT8> u = {0, 0, 0, 1};
    u.insert(u.end(), unit.begin(), unit.end());
    return u;
}

// Big-endian words, for expected box images.
inline std::vector<UINT8> Words(std::initializer_list<UINT32> words)
{
    std::vector<UINT8> bytes;
    for (UINT32 w : words) {
        UINT8 b[4];
        WriteBE32(b, w);
        bytes.insert(bytes.end(), b, b + 4);
    }
    return bytes;
}

inline std::vector<UINT8> Cat(std::vector<UINT8> a, const std::vector<UINT8>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bool IsContainer(UINT32 type)
{
    return type == FourCC("moov") || type == FourCC("trak") || type == FourCC("mdia") ||
           type == FourCC("minf") || type == FourCC("stbl") || type == FourCC("dinf");
}

// Checks that the boxes in [begin, end) tile it exactly, and so on down
// every container.
inline void ExpectTiled(const std::vector<UINT8>& f, size_t begin, size_t end)
{
    size_t pos = begin;
    while (pos + 8 <= end) {
        UINT32 size = ReadBE32(&f[pos]);
        UINT32 type = ReadBE32(&f[pos + 4]);
        ASSERT_GE(size, 8u) << "box at " << pos;
        ASSERT_LE(pos + size, end) << "box at " << pos << " runs past its parent";
        if (IsContainer(type)) {
            ExpectTiled(f, pos + 8, pos + size);
        }
        pos += size;
    }
    EXPECT_EQ(end, pos) << "boxes do not fill their parent";
}

struct BoxRef {
    size_t offset = 0;
    UINT32 size = 0;
    bool found = false;
};

// Finds a box by a path such as {"moov", "trak#2", "mdia", "hdlr"} (#n: the
// n-th box of that type among its siblings).
inline BoxRef FindBox(const std::vector<UINT8>& f, const std::vector<std::string>& path)
{
    BoxRef ref;
    size_t begin = 0, end = f.size();
    for (const std::string& step : path) {
        std::string type = step.substr(0, 4);
        int wanted = step.size() > 5 ? atoi(step.c_str() + 5) : 1;
        size_t pos = begin;
        ref.found = false;
        while (pos + 8 <= end) {
            UINT32 size = ReadBE32(&f[pos]);
            if (size < 8 || pos + size > end) {
                return BoxRef();
            }
            if (memcmp(&f[pos + 4], type.data(), 4) == 0 && --wanted == 0) {
                ref.offset = pos;
                ref.size = size;
                ref.found = true;
                break;
            }
            pos += size;
        }
        if (!ref.found) {
            return ref;
        }
        begin = ref.offset + 8;
        end = ref.offset + ref.size;
    }
    return ref;
}

inline std::vector<UINT8> BoxBytes(const std::vector<UINT8>& f, const std::vector<std::string>& path)
{
    BoxRef ref = FindBox(f, path);
    if (!ref.found) {
        return {};
    }
    return std::vector<UINT8>(f.begin() + ref.offset, f.begin() + ref.offset + ref.size);
}

// A whole QBox in a heap block of exactly its size, so that the sanitizer
// build sees any access past it.
struct Sample {
    std::unique_ptr<UINT8[]> bytes;
    UINT32 size = 0;
    UINT8* payload() { return bytes.get() + QBOX_HEADER_SIZE; }
};

Sample MakeSample(UINT16 type, UINT32 cts, const std::vector<UINT8>& payload, UINT32 boxSize = 0)
{
    Sample s;
    s.size = QBOX_HEADER_SIZE + (UINT32)payload.size();
    s.bytes.reset(new UINT8[s.size]);
    QBox h = {boxSize ? boxSize : s.size, QBOX_TYPE, 0, type, 0, 0, cts};
    EncodeQBoxHeader(&h, s.bytes.get());
    if (!payload.empty()) {
        memcpy(s.payload(), payload.data(), payload.size());
    }
    return s;
}

// Video payload of length-prefixed NAL units (given without start codes).
std::vector<UINT8> Units(const std::vector<std::vector<UINT8>>& units)
{
    std::vector<UINT8> p;
    for (const auto& u : units) {
        p = Cat(p, Words({(UINT32)u.size()}));
        p = Cat(p, u);
    }
    return p;
}

std::vector<UINT8> Body(UINT8 header, size_t size)
{
    std::vector<UINT8> u(size, 0x5A);
    u[0] = header;
    return u;
}

// Each test runs in a scratch directory, with the writer's state cleared.
class Mp4Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mp4writer_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        ASSERT_NE(nullptr, getcwd(oldDir_, sizeof(oldDir_)));
        ASSERT_EQ(0, chdir(dir_.c_str()));
        VideoCodecClear(RunVideoCodec());
    }

    void TearDown() override
    {
        if (root != nullptr || mp4file != nullptr) {
            deleteMP4Params();
        }
        remove(kOutput);
        for (const char* name : kSpoolNames) {
            remove(name);
            rmdir(name);
        }
        const tSpoolSetNames* names = spoolSetNames(0);
        for (const char* name : {names->reserve, names->info, names->infoNew}) {
            remove(name);
        }
        EXPECT_EQ(0, chdir(oldDir_));
        rmdir(dir_.c_str());
        VideoCodecClear(RunVideoCodec());
    }

    // Opens a recording on out.mp4 as the route does, as the first of a
    // run: no parameter set is known yet.
    bool Open(bool audio, bool video)
    {
        VideoCodecClear(RunVideoCodec());
        mp4file = fopen(kOutput, "wb");
        root = new tRootAtom();
        root->AudioPresentFlag = audio ? 1 : 0;
        root->VideoPresentFlag = video ? 1 : 0;
        return createMP4Params() == 1;
    }

    UINT8 Video(std::vector<UINT8> unit, UINT32 timeStamp)
    {
        return writeVideoSample(unit.data(), (UINT32)unit.size(), timeStamp);
    }

    UINT8 Audio(UINT32 size, UINT32 timeStamp)
    {
        std::vector<UINT8> frame(size, 0x21);
        return writeAudioSample(frame.data(), size, timeStamp);
    }

    void ParameterSets(UINT32 timeStamp)
    {
        Video(WithStartCode(kSps), timeStamp);
        Video(WithStartCode(kPps), timeStamp);
    }

    std::vector<UINT8> Finish()
    {
        completeMP4File();
        deleteMP4Params();
        return ReadFileBytes(kOutput);
    }

    std::string dir_;
    char oldDir_[4096];
};

}  // namespace mp4test

#endif
