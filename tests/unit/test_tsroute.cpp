// Routing of QBox samples to the transport-stream writer: the start latch,
// the NAL unit walk, the parameter-set bundle of streaming, and the buffer
// left as it came in. Each test case runs in a process of its own under
// ctest: the latch and the writer's wait for the first SPS start closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "housekeeping.h"
#include "tsroute.h"
#include "captureparams.h"
#include "mpgTSWriter.h"
#include "test_mpgts_util.h"

using namespace tsutil;

namespace {

// A QBox sample: header and payload.
Bytes MakeBox(unsigned streamType, const Bytes& payload, unsigned cts)
{
    Bytes box(24 + payload.size());
    QBox h = {};
    h.ulBoxSize = (UINT32)box.size();
    h.ulBoxType = QBOX_TYPE;
    h.usSampleStreamType = (UINT16)streamType;
    h.ulSampleCts = cts;
    EncodeQBoxHeader(&h, box.data());
    std::copy(payload.begin(), payload.end(), box.begin() + 24);
    return box;
}

// Length-prefixed NAL units: each unit is its NAL header byte type and
// size - 1 body bytes.
Bytes VideoPayload(const std::vector<std::pair<unsigned, unsigned>>& units)
{
    Bytes p;
    for (auto& u : units) {
        Bytes nalu = MakeNalu(u.first, u.second + 4, (uint8_t)u.second);
        nalu[0] = (uint8_t)(u.second >> 24);
        nalu[1] = (uint8_t)(u.second >> 16);
        nalu[2] = (uint8_t)(u.second >> 8);
        nalu[3] = (uint8_t)u.second;
        p.insert(p.end(), nalu.begin(), nalu.end());
    }
    return p;
}

// The header record the route reads is filled by the accounting step, as in
// the capture loop.
void Account(Bytes& box)
{
    stInputParameters input = {};
    input.ulVideo_Frame_Rate = 30;
    write_bitrate_to_file(&input, box.data(), (int)box.size(), 1);
}

unsigned Route(Bytes& box, unsigned mode)
{
    Account(box);
    Bytes before = box;
    unsigned r = QBoxToMP2TS(box.data(), (unsigned)box.size(), mode);
    EXPECT_EQ(before, box) << "the route must leave the sample as it found it";
    return r;
}

// The recording file of one test.
class TsFile {
public:
    explicit TsFile(const char* name) : path_(TempPath(name))
    {
        FILE* f = fopen(path_.c_str(), "wb");
        ok_ = f != nullptr && initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE) == 1;
    }
    ~TsFile() { remove(path_.c_str()); }
    bool ok() const { return ok_; }
    // Closes the file and returns its PES packets (tables skipped).
    std::vector<Pes> Close()
    {
        deinitMP2TS();
        Bytes b = ReadFile(path_);
        return Reassemble(ParseAll(b.data(), b.size() / 188));
    }

private:
    std::string path_;
    bool ok_ = false;
};

// The stream of one test: a loopback receiver and the writer opened in
// streaming mode towards it.
class RtpSink : public LoopbackRtp {
public:
    RtpSink() { ok_ = Ready() && initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, nullptr, TS_OUTPUT_RTP) == 1; }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

unsigned NalType(const Pes& p)
{
    return p.data.size() > 4 ? p.data[4] & 0x1F : 99;
}

TEST(RouteLatch, VideoWaitsForSequenceParameterSet)
{
    TsFile file("latch.ts");
    ASSERT_TRUE(file.ok());
    Bytes slice = MakeBox(2, VideoPayload({{1, 300}}), 1000);
    Bytes caption = MakeBox(3, Bytes(24, 0), 1000);
    EXPECT_EQ(1u, Route(slice, 1));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(1u, Route(caption, 1));  // dropped silently while closed
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());

    Bytes first = MakeBox(2, VideoPayload({{7, 12}, {8, 5}}), 3000);
    Bytes idr = MakeBox(2, VideoPayload({{5, 900}}), 3000);
    EXPECT_EQ(1u, Route(first, 1));
    EXPECT_EQ(1u, Route(idr, 1));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(0u, Route(caption, 1));
    EXPECT_EQ("QBox Type Unknown\n", ::testing::internal::GetCapturedStdout());

    std::vector<Pes> pes = file.Close();
    ASSERT_EQ(3u, pes.size());
    EXPECT_EQ(7u, NalType(pes[0]));
    EXPECT_EQ(8u, NalType(pes[1]));
    EXPECT_EQ(5u, NalType(pes[2]));
    EXPECT_EQ(3000u, pes[2].pts);
    // Start code in place of the length prefix, unit unchanged behind it.
    Bytes expected = MakeNalu(5, 904, (uint8_t)900);
    EXPECT_EQ(expected, pes[2].data);
}

TEST(RouteLatch, AudioOpensTheLatch)
{
    TsFile file("audio.ts");
    ASSERT_TRUE(file.ok());
    Bytes frame = MakeNalu(0, 371, 3);
    Bytes audio = MakeBox(1, frame, 1920);
    EXPECT_EQ(1u, Route(audio, 1));
    ::testing::internal::CaptureStdout();
    Bytes caption = MakeBox(3, Bytes(24, 0), 1000);
    EXPECT_EQ(0u, Route(caption, 1));
    EXPECT_EQ("QBox Type Unknown\n", ::testing::internal::GetCapturedStdout());
    std::vector<Pes> pes = file.Close();
    ASSERT_EQ(1u, pes.size());
    EXPECT_EQ(0xC0u, pes[0].streamId);
    EXPECT_EQ(1920u, pes[0].pts);
    EXPECT_EQ(frame, Bytes(pes[0].data.begin() + 7, pes[0].data.end()));
}

TEST(RouteWalk, ShortPayloadsRemaindersAndOverrunningLengths)
{
    TsFile file("walk.ts");
    ASSERT_TRUE(file.ok());
    Bytes open = MakeBox(2, VideoPayload({{7, 12}}), 0);
    Route(open, 1);
    // Five payload bytes or fewer: nothing.
    Bytes tiny = MakeBox(2, VideoPayload({{1, 1}}), 0);
    Route(tiny, 1);
    // A 1..5-byte tail after the last whole unit is ignored.
    for (unsigned tail = 1; tail <= 5; tail++) {
        Bytes payload = VideoPayload({{1, 30}});
        payload.insert(payload.end(), tail, 0x41);
        Bytes box = MakeBox(2, payload, 100 * tail);
        Route(box, 1);
    }
    // A length running past the payload ends the walk; units before it go.
    Bytes payload = VideoPayload({{1, 40}, {1, 60}});
    payload.resize(payload.size() - 10);
    Bytes broken = MakeBox(2, payload, 999);
    Route(broken, 1);
    // A box that claims more than the caller read is cut to what was read.
    Bytes whole = MakeBox(2, VideoPayload({{1, 50}, {1, 70}}), 1234);
    Account(whole);
    QBoxToMP2TS(whole.data(), 24 + 54 + 10, 1);

    std::vector<Pes> pes = file.Close();
    ASSERT_EQ(1u + 5u + 1u + 1u, pes.size());
    for (unsigned i = 1; i <= 5; i++) {
        EXPECT_EQ(34u, pes[i].data.size());
        EXPECT_EQ(100u * i, pes[i].pts);
    }
    EXPECT_EQ(44u, pes[6].data.size());
    EXPECT_EQ(999u, pes[6].pts);
    EXPECT_EQ(54u, pes[7].data.size());
}

TEST(RouteStreaming, ParameterSetsGoOutAloneAndBundled)
{
    RtpSink sink;
    ASSERT_TRUE(sink.ok());
    sink.Packets();  // the tables of the stream's start
    Bytes box = MakeBox(2, VideoPayload({{7, 12}, {8, 5}, {5, 400}}), 9000);
    Route(box, 2);
    std::vector<Packet> packets = sink.Packets();
    // The tables that opened the stream serve this first access unit; the
    // SPS opens it behind a delimiter, the bundle begins with the SPS too.
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(0x44u, packets[0].pid);
    std::vector<Pes> pes = Reassemble(packets);
    ASSERT_EQ(4u, pes.size());
    Bytes sps = MakeNalu(7, 16, 12), pps = MakeNalu(8, 9, 5);
    Bytes bundle = sps;
    bundle.insert(bundle.end(), pps.begin(), pps.end());
    EXPECT_EQ(sps, pes[0].data);
    EXPECT_TRUE(pes[0].aud);
    EXPECT_EQ(bundle, pes[1].data);
    EXPECT_EQ(pps, pes[2].data);
    EXPECT_EQ(5u, NalType(pes[3]));
    EXPECT_FALSE(pes[1].aud || pes[2].aud || pes[3].aud);

    // SPS in one sample, PPS in the next: still bundled, and the next
    // access unit gets the tables in front.
    Bytes spsBox = MakeBox(2, VideoPayload({{7, 12}}), 12000);
    Bytes ppsBox = MakeBox(2, VideoPayload({{8, 5}, {1, 50}}), 12000);
    Route(spsBox, 2);
    Route(ppsBox, 2);
    packets = sink.Packets();
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(0u, packets[0].pid);
    EXPECT_EQ(0x42u, packets[1].pid);
    pes = Reassemble(packets);
    ASSERT_EQ(4u, pes.size());
    EXPECT_EQ(bundle, pes[1].data);

    // A PPS without a waiting SPS goes alone.
    Bytes lone = MakeBox(2, VideoPayload({{8, 5}}), 15000);
    Route(lone, 2);
    pes = Reassemble(sink.Packets());
    ASSERT_EQ(1u, pes.size());
    EXPECT_EQ(pps, pes[0].data);
}

TEST(RouteStreaming, NoBundleBeyondTheParameterSetBuffer)
{
    RtpSink sink;
    ASSERT_TRUE(sink.ok());
    // 104 + 29 = 133 bytes with start codes: more than the 128-byte buffer.
    Bytes box = MakeBox(2, VideoPayload({{7, 100}, {8, 25}}), 0);
    Route(box, 2);
    std::vector<Pes> pes = Reassemble(sink.Packets());
    ASSERT_EQ(2u, pes.size());
    EXPECT_EQ(104u, pes[0].data.size());
    EXPECT_EQ(29u, pes[1].data.size());
    // An SPS too large to keep is not bundled with the next PPS either.
    Bytes big = MakeBox(2, VideoPayload({{7, 125}}), 0);
    Bytes pps = MakeBox(2, VideoPayload({{8, 3}}), 0);
    Route(big, 2);
    Route(pps, 2);
    pes = Reassemble(sink.Packets());
    ASSERT_EQ(2u, pes.size());
    EXPECT_EQ(7u, pes[1].data.size());
    // The largest bundle that fits: 120 + 8 bytes.
    Bytes fit = MakeBox(2, VideoPayload({{7, 116}, {8, 4}}), 0);
    Route(fit, 2);
    pes = Reassemble(sink.Packets());
    ASSERT_EQ(3u, pes.size());
    EXPECT_EQ(128u, pes[1].data.size());
}

TEST(RouteFile, EveryUnitOnceInFileMode)
{
    TsFile file("once.ts");
    ASSERT_TRUE(file.ok());
    Bytes box = MakeBox(2, VideoPayload({{7, 12}, {8, 5}, {6, 20}, {5, 400}}), 3000);
    Route(box, 1);
    std::vector<Pes> pes = file.Close();
    ASSERT_EQ(3u, pes.size());  // the SEI is dropped by the writer
    EXPECT_EQ(7u, NalType(pes[0]));
    EXPECT_EQ(16u, pes[0].data.size());
    EXPECT_EQ(8u, NalType(pes[1]));
    EXPECT_EQ(5u, NalType(pes[2]));
}

}  // namespace
