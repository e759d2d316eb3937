// Helpers of the transport-stream tests: a small independent reader of
// 188-byte packets and of the PES packets they carry.
#ifndef VOZIREV_TEST_MPGTS_UTIL_H
#define VOZIREV_TEST_MPGTS_UTIL_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Rtp.h"
#include "test_rtp_receiver.h"

namespace tsutil {

typedef std::vector<uint8_t> Bytes;

struct Packet {
    bool unitStart = false;
    bool priority = false;
    unsigned pid = 0;
    unsigned afc = 0;  // adaptation_field_control
    unsigned cc = 0;
    bool hasAF = false;
    unsigned afLength = 0;
    unsigned afFlags = 0;
    bool hasPcr = false;
    uint64_t pcrBase = 0;
    unsigned pcrExt = 0;
    unsigned stuffing = 0;  // 0xFF bytes in the adaptation field
    Bytes payload;
};

// Parses one packet; returns false when the packet is malformed.
inline bool ParsePacket(const uint8_t* p, Packet* out)
{
    if (p[0] != 0x47) return false;
    Packet k;
    k.unitStart = (p[1] & 0x40) != 0;
    k.priority = (p[1] & 0x20) != 0;
    k.pid = ((p[1] & 0x1F) << 8) | p[2];
    k.afc = (p[3] >> 4) & 3;
    k.cc = p[3] & 0x0F;
    unsigned pos = 4;
    if (k.afc == 2 || k.afc == 3) {
        k.hasAF = true;
        k.afLength = p[4];
        if (5 + k.afLength > 188) return false;
        pos = 5;
        unsigned end = 5 + k.afLength;
        if (k.afLength > 0) {
            k.afFlags = p[5];
            pos = 6;
            if (k.afFlags & 0x10) {
                k.hasPcr = true;
                k.pcrBase = ((uint64_t)p[6] << 25) | ((uint64_t)p[7] << 17) | ((uint64_t)p[8] << 9) |
                            ((uint64_t)p[9] << 1) | (p[10] >> 7);
                k.pcrExt = ((p[10] & 1) << 8) | p[11];
                if ((p[10] & 0x7E) != 0x7E) return false;
                pos = 12;
            }
            for (; pos < end; pos++) {
                if (p[pos] != 0xFF) return false;
                k.stuffing++;
            }
        }
        pos = end;
    }
    if (k.afc == 1 || k.afc == 3) k.payload.assign(p + pos, p + 188);
    *out = k;
    return true;
}

inline std::vector<Packet> ParseAll(const uint8_t* p, size_t nPackets)
{
    std::vector<Packet> v;
    for (size_t i = 0; i < nPackets; i++) {
        Packet k;
        if (!ParsePacket(p + i * 188, &k)) return std::vector<Packet>();
        v.push_back(k);
    }
    return v;
}

inline uint64_t DecodePTS(const uint8_t* p)
{
    return ((uint64_t)((p[0] >> 1) & 7) << 30) | ((uint64_t)p[1] << 22) | ((uint64_t)(p[2] >> 1) << 15) |
           ((uint64_t)p[3] << 7) | (p[4] >> 1);
}

// The access unit delimiter the writer puts in front of the first NAL unit
// of every video access unit (nal_unit_type 9, primary_pic_type 7).
const Bytes kAccessUnitDelimiter = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};

// One PES packet put back together from its transport packets.
struct Pes {
    unsigned pid = 0;
    unsigned streamId = 0;
    unsigned pesLength = 0;
    uint64_t pts = 0;
    bool aud = false;  // the data began with an access unit delimiter
    Bytes data;        // bytes after the PES header (and after the delimiter)
    size_t packets = 0;
};

// Reassembles every PES packet of the packets given (PSI PIDs and packets
// without payload skipped).
inline std::vector<Pes> Reassemble(const std::vector<Packet>& packets)
{
    std::vector<Pes> out;
    std::map<unsigned, Bytes> open;
    std::map<unsigned, size_t> counts;
    auto close = [&](unsigned pid) {
        Bytes& b = open[pid];
        if (b.size() >= 14) {
            Pes e;
            e.pid = pid;
            e.streamId = b[3];
            e.pesLength = (b[4] << 8) | b[5];
            e.pts = DecodePTS(&b[9]);
            e.data.assign(b.begin() + 9 + b[8], b.end());
            e.aud = e.data.size() >= kAccessUnitDelimiter.size() &&
                    std::equal(kAccessUnitDelimiter.begin(), kAccessUnitDelimiter.end(), e.data.begin());
            if (e.aud) e.data.erase(e.data.begin(), e.data.begin() + kAccessUnitDelimiter.size());
            e.packets = counts[pid];
            out.push_back(e);
        }
        b.clear();
        counts[pid] = 0;
    };
    for (const Packet& k : packets) {
        if (k.pid == 0 || k.pid == 0x42 || k.payload.empty()) continue;
        if (k.unitStart) close(k.pid);
        Bytes& b = open[k.pid];
        b.insert(b.end(), k.payload.begin(), k.payload.end());
        counts[k.pid]++;
    }
    std::vector<unsigned> pids;
    for (auto& kv : open) pids.push_back(kv.first);
    for (unsigned pid : pids) close(pid);
    return out;
}

// Arrival time (27 MHz) of every packet as a receiver works it out: the PCR
// of the PCR PID where a packet has one, and between two of them the byte
// position on a straight line (ISO/IEC 13818-1, 2.4.2.2). Packets before the
// first or after the last PCR get -1.
inline std::vector<int64_t> ArrivalTimes(const std::vector<Packet>& packets, unsigned pcrPid)
{
    std::vector<int64_t> t(packets.size(), -1);
    long prev = -1;
    for (size_t i = 0; i < packets.size(); i++) {
        if (packets[i].pid != pcrPid || !packets[i].hasPcr) continue;
        int64_t pcr = (int64_t)packets[i].pcrBase * 300 + packets[i].pcrExt;
        t[i] = pcr;
        if (prev >= 0) {
            for (size_t j = prev + 1; j < i; j++)
                t[j] = t[prev] + (pcr - t[prev]) * (int64_t)(j - prev) / (int64_t)(i - prev);
        }
        prev = (long)i;
    }
    return t;
}

// The timing rules of a receiver: PCRs on the PCR PID never go back and
// come at most 100 ms apart (2.7.2), and every PES packet has arrived whole
// before its decoding time (its PTS; no DTS is sent), so a decoder has
// its data in time (2.4.2.3).
inline void ExpectTimingRules(const std::vector<Packet>& packets, unsigned pcrPid, const char* what)
{
    std::vector<int64_t> t = ArrivalTimes(packets, pcrPid);
    int64_t lastPcr = -1;
    for (size_t i = 0; i < packets.size(); i++) {
        if (packets[i].pid != pcrPid || !packets[i].hasPcr) continue;
        if (lastPcr >= 0) {
            EXPECT_GE(t[i], lastPcr) << what << ": PCR goes back at packet " << i;
            EXPECT_LE(t[i] - lastPcr, 2700000) << what << ": PCR gap at packet " << i;
        }
        lastPcr = t[i];
    }
    // The last packet of each PES packet: the one before the next unit start
    // of its PID.
    std::map<unsigned, uint64_t> openPts;
    std::map<unsigned, size_t> lastPacket;
    auto check = [&](unsigned pid) {
        if (!openPts.count(pid) || t[lastPacket[pid]] < 0) return;
        EXPECT_LT(t[lastPacket[pid]], (int64_t)openPts[pid] * 300)
            << what << ": PES of PID " << pid << " ends after its decoding time, packet " << lastPacket[pid];
    };
    for (size_t i = 0; i < packets.size(); i++) {
        const Packet& k = packets[i];
        if (k.pid == 0 || k.pid == 0x42 || k.payload.empty()) continue;
        if (k.unitStart) {
            check(k.pid);
            if (k.payload.size() >= 14) openPts[k.pid] = DecodePTS(&k.payload[9]);
        }
        lastPacket[k.pid] = i;
    }
    for (auto& kv : openPts) check(kv.first);
}

// A NAL unit in start-code form of the given type and total size.
inline Bytes MakeNalu(unsigned type, size_t totalSize, uint8_t seed = 1)
{
    Bytes b(totalSize);
    for (size_t i = 0; i < totalSize; i++) b[i] = (uint8_t)(seed + i * 7);
    if (totalSize >= 4) {
        b[0] = b[1] = b[2] = 0;
        b[3] = 1;
    }
    if (totalSize >= 5) b[4] = (uint8_t)(0x60 | type);
    return b;
}

// One RTP datagram as received, with the transport packets it carries.
struct RtpDatagram {
    unsigned seq = 0;
    unsigned ts = 0;
    unsigned pt = 0;
    std::vector<Packet> packets;
    Bytes raw;
};

// A loopback receiver with RTPOpen pointed at it (video port; the audio port
// two above is not listened to).
class LoopbackRtp {
public:
    LoopbackRtp()
    {
        char ip[] = "127.0.0.1";
        unsigned short port = receiver_.Port();
        ready_ = port != 0 && RTPOpen((unsigned short)(port + 2), port, ip, 1) == 1;
    }
    ~LoopbackRtp() { CloseSockets(); }
    bool Ready() const { return ready_; }

    // Every datagram that has arrived so far.
    std::vector<RtpDatagram> Drain()
    {
        std::vector<RtpDatagram> out;
        for (const Datagram& raw : receiver_.Drain(0)) {
            RtpDatagram d;
            d.raw = raw;
            const size_t header = RTP_HEADER_SIZE;
            if (raw.size() >= header) {
                d.pt = raw[1] & 0x7F;
                d.seq = ReadBE16(&raw[2]);
                d.ts = ReadBE32(&raw[4]);
                size_t payload = raw.size() - header;
                if (payload % 188 == 0)
                    d.packets = ParseAll(&raw[header], payload / 188);
            }
            out.push_back(d);
        }
        return out;
    }

    // The transport packets of every datagram that has arrived so far.
    std::vector<Packet> Packets()
    {
        std::vector<Packet> all;
        for (const RtpDatagram& d : Drain()) all.insert(all.end(), d.packets.begin(), d.packets.end());
        return all;
    }

private:
    LoopbackReceiver receiver_;
    bool ready_ = false;
};

inline std::string TempPath(const char* name)
{
    return ::testing::TempDir() + "/vozirev_" + std::to_string(getpid()) + "_" + name;
}

inline Bytes ReadFile(const std::string& path)
{
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

}  // namespace tsutil

#endif
