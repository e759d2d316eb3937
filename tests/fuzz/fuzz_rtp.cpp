// The RTP streamer over arbitrary data on every route: whole QBox samples
// (QBox2Streaming: H.264 units and AAC frames), single H.264 NAL units
// (RTPH264Stream, single packets and FU-A fragments), AAC frames raw or
// behind an ADTS header (RTPAACStream), transport-stream packets
// (RTPTransportStream), and the destination address test (IsClassD). The
// sockets send to a loopback receiver, and every datagram is checked: RTP
// version 2, a payload type of the route, a size no larger than the
// streamer's packet, and for H.264 a valid single-unit or FU-A payload. A
// single H.264 unit must come out whole or as fragments that rebuild it,
// and an AAC frame whole behind its AU header.
//
// Input: records of a route byte (low 3 bits: 0 QBox sample, 1 H.264 unit
// ending its access unit, 2 H.264 unit in the middle of one, 3 AAC frame,
// 4 transport-stream packets, 5 address text), a 4-byte big-endian time
// stamp, a 2-byte big-endian length and that many bytes, in a heap block of
// exactly its length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Rtp.h"
#include "WriteAACHeader.h"
#include "tspacket.h"
#include "byteorder.h"
#include "fuzz_common.h"

namespace {

const size_t LARGEST_DATAGRAM = RTP_HEADER_SIZE + RTP_PAYLOAD_BUFFER_SIZE;
const size_t TS_PACKET = TS_PACKET_SIZE;

FuzzReceiver* receiver = nullptr;

// RFC 6184, 5.2 and 5.8: a single NAL unit packet carries a unit of type
// 1..23 (24..31 are the payload structures, 0 is unspecified); an FU-A
// carries a fragment of such a unit, and no fragment both starts and ends
// it. (The forbidden_zero_bit is passed through as the encoder set it.)
bool IsSingleUnitType(unsigned type)
{
    return type >= 1 && type <= 23;
}

void CheckH264Payload(const uint8_t* p, size_t n)
{
    FUZZ_CHECK(n >= 1);
    unsigned type = p[0] & 0x1F;
    if (type == RTP_NALU_TYPE_FU_A) {
        FUZZ_CHECK(n >= 3);  // indicator, header and at least one byte
        bool start = (p[1] & 0x80) != 0, end = (p[1] & 0x40) != 0;
        FUZZ_CHECK(!(start && end));
        FUZZ_CHECK((p[1] & 0x20) == 0);
        FUZZ_CHECK(IsSingleUnitType(p[1] & 0x1F));
    } else {
        FUZZ_CHECK(IsSingleUnitType(type));
    }
}

void CheckDatagram(const uint8_t* d, size_t n)
{
    FUZZ_CHECK(n > (size_t)RTP_HEADER_SIZE && n <= LARGEST_DATAGRAM);
    FUZZ_CHECK((d[0] & 0xC0) == RTP_VERSION << 6 && (d[0] & 0x3F) == 0);
    unsigned pt = d[1] & 0x7F;
    const uint8_t* payload = d + RTP_HEADER_SIZE;
    size_t size = n - RTP_HEADER_SIZE;
    if (pt == RTP_PT_H264) {
        CheckH264Payload(payload, size);
    } else if (pt == RTP_PT_AAC) {
        FUZZ_CHECK(size >= (size_t)RTP_AAC_AU_HEADERS_SIZE);
        FUZZ_CHECK(ReadBE16(payload) == 16);
        FUZZ_CHECK((size_t)(ReadBE16(payload + 2) >> 3) == size - RTP_AAC_AU_HEADERS_SIZE);
    } else {
        FUZZ_CHECK(pt == RTP_PT_MP2T);
        FUZZ_CHECK(size % TS_PACKET == 0 && size / TS_PACKET <= RTP_TS_PACKETS_PER_DATAGRAM);
    }
}

std::vector<FuzzBytes> received;

void Collect(const uint8_t* d, size_t n)
{
    CheckDatagram(d, n);
    received.emplace_back(d, d + n);
}

// What one H.264 unit became: nothing for an unsent type, one packet
// holding the unit, or FU-A fragments that rebuild it as a receiver does
// (header from the FU indicator's F and NRI and the FU header's type, RFC
// 6184, 5.8), all with the unit's
// time stamp, consecutive sequence numbers and the marker on the last packet
// only when the unit ends its access unit.
void CheckH264Unit(const FuzzBytes& nal, uint32_t ts, bool endOfAccessUnit)
{
    if (!IsSingleUnitType(nal[0] & 0x1F)) {
        FUZZ_CHECK(received.empty());
        return;
    }
    FUZZ_CHECK(!received.empty());
    FuzzBytes rebuilt;
    for (size_t i = 0; i < received.size(); i++) {
        const FuzzBytes& d = received[i];
        FUZZ_CHECK((d[1] & 0x7F) == RTP_PT_H264);
        FUZZ_CHECK(ReadBE32(d.data() + 4) == ts);
        FUZZ_CHECK(ReadBE16(d.data() + 2) == (uint16_t)(ReadBE16(received[0].data() + 2) + i));
        bool last = i + 1 == received.size();
        FUZZ_CHECK((d[1] >> 7) == (last && endOfAccessUnit ? 1 : 0));
        const uint8_t* payload = d.data() + RTP_HEADER_SIZE;
        size_t size = d.size() - RTP_HEADER_SIZE;
        if (received.size() == 1 && nal.size() <= RTP_MAX_SINGLE_NALU_SIZE) {
            FUZZ_CHECK(FuzzBytes(payload, payload + size) == nal);
            return;
        }
        FUZZ_CHECK((payload[0] & 0x1F) == RTP_NALU_TYPE_FU_A);
        FUZZ_CHECK(((payload[1] & 0x80) != 0) == (i == 0));
        FUZZ_CHECK(((payload[1] & 0x40) != 0) == last);
        if (i == 0)
            rebuilt.push_back((uint8_t)((payload[0] & 0xE0) | (payload[1] & 0x1F)));
        rebuilt.insert(rebuilt.end(), payload + 2, payload + size);
    }
    FUZZ_CHECK(nal == rebuilt);
}

// One AAC frame: sent whole behind its AU header section (RFC 3640, 3.2.1)
// when the streamer takes it, with the ADTS header left out, at its stamp's
// time on the 48 kHz clock.
void CheckAacFrame(const FuzzBytes& frame, uint32_t ts)
{
    size_t skip = frame[0] == ADTS_SYNC_BYTE ? ADTS_HEADER_SIZE : 0;
    bool sent = frame.size() >= 4 && frame.size() > skip &&
                frame.size() - skip <= (size_t)(RTP_PAYLOAD_BUFFER_SIZE - RTP_AAC_AU_HEADERS_SIZE);
    if (!sent) {
        FUZZ_CHECK(received.empty());
        return;
    }
    FUZZ_CHECK(received.size() == 1);
    const FuzzBytes& d = received[0];
    FUZZ_CHECK((d[1] & 0x7F) == RTP_PT_AAC && (d[1] >> 7) == 1);
    FUZZ_CHECK(ReadBE32(d.data() + 4) == AacRtpTimestamp(RtpCaptureClock(ts)));
    FUZZ_CHECK(FuzzBytes(d.begin() + RTP_HEADER_SIZE + RTP_AAC_AU_HEADERS_SIZE, d.end()) ==
               FuzzBytes(frame.begin() + skip, frame.end()));
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
    while (!in.Empty()) {
        uint8_t route = in.Byte() & 7;
        uint32_t ts = in.Long();
        FuzzBytes record = in.Record();
        FuzzBytes before = record;
        unsigned char* p = record.empty() ? nullptr : record.data();
        unsigned int n = (unsigned int)record.size();
        switch (route) {
        case 0:
            FUZZ_CHECK(QBox2Streaming(p, (int)n) == 1);
            break;
        case 1:
        case 2:
            if (n > 0)
                FUZZ_CHECK(RTPH264Stream(p, n, ts, route == 1) == 1);
            break;
        case 3:
            if (n > 0)
                RTPAACStream(p, n, ts);
            break;
        case 4:
            RTPTransportStream(p, n / TS_PACKET, ts);
            break;
        case 5: {
            record.push_back('\0');
            int classD = IsClassD((char*)record.data());
            FUZZ_CHECK(classD == 0 || classD == 1);
            record.pop_back();
            break;
        }
        default:
            break;
        }
        // The streamers only read the sample.
        FUZZ_CHECK(record == before);
        received.clear();
        receiver->Drain(Collect);
        if ((route == 1 || route == 2) && n > 0)
            CheckH264Unit(record, ts, route == 1);
        if (route == 3 && n > 0)
            CheckAacFrame(record, ts);
    }
    return 0;
}
