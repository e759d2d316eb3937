// The transport-stream route: QBoxToMP2TS over arbitrary QBox samples in
// every output mode (1 file, 2 RTP, 3 both from one packetisation, and the
// other values, which only build the packets), after initMP2TS with any
// programme. Each sample is parsed into the shared header record first, as
// the capture loop does.
//
// Checks: the route leaves the sample as it came in; the file holds whole
// 188-byte packets that start with the sync byte, whose continuity counters
// run on per PID and whose PES packets have the lengths they claim; every RTP datagram (sent to a loopback receiver)
// carries 1 to 5 such packets behind a version-2 header of payload type 33.
//
// Input: byte 0: bits 0..2 the output mode (0..7), bits 4..5 the programme
// given to initMP2TS (0..3). Then records of a 2-byte big-endian length and
// that many bytes, one sample each (header included) in a heap block of
// exactly its length; shorter records are padded with zeros to the 24-byte
// header, as the reader never delivers less.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBox.h"
#include "Rtp.h"
#include "QBox.h"
#include "housekeeping.h"
#include "tsroute.h"
#include "byteorder.h"
#include "crc32.h"
#include "mpgTSWriter.h"
#include "fuzz_common.h"

namespace {

const size_t TS_PACKET = 188;
const uint8_t SYNC_BYTE = 0x47;
const unsigned PID_COUNT = 0x2000;
const size_t MAX_TS_PER_DATAGRAM = 5;

FuzzReceiver* receiver = nullptr;

// Per PID over one sequence of packets: continuity (2.4.3.3: a packet with
// payload carries the previous counter plus one), and the PES packets
// rebuilt from the payloads (2.4.3.6): each starts with the start code
// prefix, a non-zero PES_packet_length counts exactly the bytes that follow
// it, and an AAC frame's ADTS aac_frame_length counts exactly the frame.
class StreamCheck {
public:
    StreamCheck() { memset(last_, 0xFF, sizeof(last_)); }
    void Packet(const uint8_t* p)
    {
        FUZZ_CHECK(p[0] == SYNC_BYTE);
        unsigned pid = ((p[1] & 0x1F) << 8) | p[2];
        bool unitStart = (p[1] & 0x40) != 0;
        bool payload = (p[3] & 0x10) != 0;
        bool adaptation = (p[3] & 0x20) != 0;
        int cc = p[3] & 0x0F;
        if (!payload)
            return;
        if (last_[pid] >= 0)
            FUZZ_CHECK(cc == ((last_[pid] + 1) & 0x0F));
        last_[pid] = cc;
        if (pid != PID_VIDEO && pid != PID_AUDIO && pid != PID_PRIVATE)
            return;
        size_t at = 4;
        if (adaptation) {
            at += 1 + p[4];
            FUZZ_CHECK(at < TS_PACKET);
        }
        FuzzBytes& pes = pes_[PesIndex(pid)];
        if (unitStart) {
            EndPes(pid);
            pes.clear();
            started_[PesIndex(pid)] = true;
        }
        if (started_[PesIndex(pid)])
            pes.insert(pes.end(), p + at, p + TS_PACKET);
    }
    void End()
    {
        EndPes(PID_VIDEO);
        EndPes(PID_AUDIO);
        EndPes(PID_PRIVATE);
    }

private:
    static unsigned PesIndex(unsigned pid) { return pid == PID_VIDEO ? 0 : pid == PID_AUDIO ? 1 : 2; }
    void EndPes(unsigned pid)
    {
        FuzzBytes& pes = pes_[PesIndex(pid)];
        if (!started_[PesIndex(pid)])
            return;
        started_[PesIndex(pid)] = false;
        const size_t headerBytes = 9;
        FUZZ_CHECK(pes.size() >= headerBytes);
        FUZZ_CHECK(pes[0] == 0 && pes[1] == 0 && pes[2] == 1);
        UINT16 pesLength = ReadBE16(pes.data() + 4);
        if (pid != PID_VIDEO || pesLength != 0)
            FUZZ_CHECK(pesLength == pes.size() - 6);
        size_t es = headerBytes + pes[8];
        FUZZ_CHECK(es <= pes.size());
        if (pid == PID_AUDIO) {
            FUZZ_CHECK(pes.size() - es >= 7 && pes[es] == 0xFF && (pes[es + 1] & 0xF0) == 0xF0);
            size_t frameLength = ((pes[es + 3] & 3u) << 11) | (pes[es + 4] << 3) | (pes[es + 5] >> 5);
            FUZZ_CHECK(frameLength == pes.size() - es);
        }
    }
    int last_[PID_COUNT];
    FuzzBytes pes_[3];
    bool started_[3] = {false, false, false};
};

void CheckDatagram(const uint8_t* d, size_t n)
{
    FUZZ_CHECK(n > (size_t)RTP_HEADER_SIZE);
    FUZZ_CHECK(d[0] == 0x80 && d[1] == RTP_PT_MP2T);
    size_t payload = n - RTP_HEADER_SIZE;
    FUZZ_CHECK(payload % TS_PACKET == 0 && payload / TS_PACKET <= MAX_TS_PER_DATAGRAM);
    for (size_t at = RTP_HEADER_SIZE; at < n; at += TS_PACKET)
        FUZZ_CHECK(d[at] == SYNC_BYTE);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    receiver = OpenStreamingToReceiver();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzCursor in(data, size);
    uint8_t options = in.Byte();
    unsigned int mode = options & 7;
    unsigned char programme = (options >> 4) & 3;

    char* file = nullptr;
    size_t fileSize = 0;
    FILE* out = open_memstream(&file, &fileSize);
    FUZZ_CHECK(out != nullptr);
    unsigned int opened = initMP2TS(programme, out, mode);
    FUZZ_CHECK(opened == 1);

    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulVideo_Frame_Rate = 30;
    while (!in.Empty()) {
        FuzzBytes sample = in.Record();
        if (sample.size() < QBOX_HEADER_SIZE)
            sample.resize(QBOX_HEADER_SIZE, 0);
        FuzzBytes before = sample;
        write_bitrate_to_file(&input, sample.data(), (int)sample.size(), 2);
        unsigned int result = QBoxToMP2TS(sample.data(), (unsigned int)sample.size(), mode);
        FUZZ_CHECK(result == 0 || result == 1);
        FUZZ_CHECK(sample == before);
    }
    deinitMP2TS();

    FUZZ_CHECK(fileSize % TS_PACKET == 0);
    if (mode != TS_OUTPUT_FILE && mode != TS_OUTPUT_FILE_AND_RTP)
        FUZZ_CHECK(fileSize == 0);
    static StreamCheck* stream = new StreamCheck();
    *stream = StreamCheck();
    for (size_t at = 0; at < fileSize; at += TS_PACKET)
        stream->Packet((const uint8_t*)file + at);
    stream->End();
    free(file);

    unsigned datagrams = receiver->Drain(CheckDatagram);
    if (mode != TS_OUTPUT_RTP && mode != TS_OUTPUT_FILE_AND_RTP)
        FUZZ_CHECK(datagrams == 0);
    return 0;
}
