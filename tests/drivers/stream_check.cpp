// stream_check: checks of the program's outputs written from the standards,
// as a strict receiver applies them (ffmpeg and GStreamer, the readers the
// interop tests use next to it, forgive much of this). Independent of the
// writers under test: only the QBox stream reader of driver_common.h.
//
//   stream_check ts FILE
//       ISO/IEC 13818-1: whole packets behind sync bytes; continuity per PID
//       (a packet without payload repeats the count, 2.4.3.3); PAT and PMT
//       with a good CRC (Annex A); PCRs on the PMT's PCR PID never back and
//       at most 100 ms apart (2.7.2); every PES packet whole before its
//       decoding time and its first byte less than 1 s before it (2.4.2.6),
//       by the arrival time a receiver takes from the PCRs (2.4.2.2); PAT
//       and PMT at most 0.5 s apart and in front of every access unit that
//       starts with an SPS or an IDR picture; an access unit delimiter first
//       in every video access unit and nowhere else (ISO/IEC 14496-10,
//       7.4.1.2.3). Prints "ok", or the faults found (10 per rule at most).
//   stream_check ts-splice FILE
//       Prints the byte offset of the PAT in front of the random access
//       point nearest the middle of FILE, where a receiver joining late
//       starts (0 when the file has only the one it starts with).
//   stream_check mp4 FILE BOXES
//       ISO/IEC 14496-12, -14, -15 against the boxes that were recorded
//       (BOXES as printed by "mp4_record list"): the track that starts later
//       has an edit list whose empty edit is its stamp offset (8.6.6), the
//       other none; avcC profile, compatibility and level are the SPS's
//       (14496-15 5.2.4.1); mvhd next_track_ID is above every track_ID
//       (8.2.2); iods names a track of the file; the esds descriptors nest
//       exactly and SLConfigDescriptor is predefined 2 alone (14496-1,
//       7.2.6.8).
//   stream_check rtp-es STREAM.qbox VIDEO_CAPTURE AUDIO_CAPTURE
//       RFC 6184 and 3640 against the QBox stream sent, on the datagrams
//       rtp_tee captured ("-" for a medium not sent): as many markers as
//       pictures (5.1); the NAL units rebuilt as a depayloader does (an FU-A
//       unit's header from the indicator's F and NRI and the FU header's
//       type, 5.8) equal the units sent; each AAC time stamp within one
//       48 kHz sample of its frame's QBox stamp (3.2.1).
//   stream_check rtp-ts CAPTURE OUT.ts
//       Writes the transport packets of captured MP2T datagrams to OUT.ts.
//   stream_check rtp-payloads CAPTURE OUT
//       Writes what of each captured datagram does not depend on the
//       sender's random starting points (RFC 3550, 5.1): marker and payload
//       type, the time stamp less the first one's, and the payload; two
//       runs that sent the same stream write the same bytes.
//   stream_check rtcp STREAM.qbox VIDEO_PORT AUDIO_PORT PACKETS
//       RFC 3550 on the RTP and RTCP datagrams of a run, PACKETS holding one
//       "PORT HEX" line per datagram in the order they were sent (tshark's
//       udp.dstport and udp.payload); VIDEO_PORT carries H.264 or the
//       transport stream, AUDIO_PORT AAC ("-" when not sent), each with its
//       RTCP on the port above. Every RTCP datagram is a valid compound
//       packet (A.2) with one CNAME for all; each report names the stream's
//       SSRC and counts the RTP packets and payload octets sent before it
//       (6.4.1); its RTP time stamp is that of a sample sent (the QBox stamp
//       for H.264 and the transport stream, for AAC the stamp on the 48 kHz
//       clock) and its NTP time that sample's QBox stamp on one wall clock
//       for both streams, to within 1 ms; the last RTCP datagram of a stream
//       that sent, and only it, ends with its BYE (6.6).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "driver_common.h"
#include "rtcp_reader.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t TS = 188;
const int64_t CLOCK_27MHZ = 27000000;
const int MAX_REPORTS = 10;

std::map<std::string, int> g_faults;

void Fault(const char* rule, const std::string& detail)
{
    if (g_faults[rule]++ < MAX_REPORTS)
        printf("%s: %s\n", rule, detail.c_str());
}

int Done()
{
    if (g_faults.empty()) {
        puts("ok");
        return 0;
    }
    for (auto& f : g_faults)
        if (f.second > MAX_REPORTS)
            printf("%s: %d faults in all\n", f.first.c_str(), f.second);
    return 1;
}

bool ReadFile(const char* path, Bytes& out)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return true;
}

// ---- transport stream ------------------------------------------------------------

uint32_t Crc32Mpeg(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint32_t)p[i] << 24;
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

struct TsPacket {
    unsigned pid;
    bool unitStart, payload, pcr;
    unsigned cc;
    int64_t pcr27;
    const uint8_t* data;  // payload bytes
    size_t size;
};

TsPacket Parse(const uint8_t* p)
{
    TsPacket k = {};
    k.pid = ((p[1] & 0x1F) << 8) | p[2];
    k.unitStart = (p[1] & 0x40) != 0;
    k.payload = (p[3] & 0x10) != 0;
    k.cc = p[3] & 0x0F;
    size_t at = 4;
    if (p[3] & 0x20) {
        if (p[4] > 0 && (p[5] & 0x10)) {
            int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
            k.pcr = true;
            k.pcr27 = base * 300 + (((p[10] & 1) << 8) | p[11]);
        }
        at = 5 + p[4];
    }
    k.data = p + (at < TS ? at : TS);
    k.size = at < TS ? TS - at : 0;
    return k;
}

// The section of a PSI packet (pointer_field 0): its CRC must check.
bool SectionOk(const TsPacket& k, unsigned tableId)
{
    if (!k.unitStart || k.size < 1 + 3 || k.data[0] + 1u + 3 > k.size)
        return false;
    const uint8_t* s = k.data + 1 + k.data[0];
    size_t length = ((s[1] & 0x0F) << 8) | s[2];
    if (s[0] != tableId || (size_t)(s - k.data) + 3 + length > k.size)
        return false;
    return Crc32Mpeg(s, 3 + length) == 0;
}

std::string Num(int64_t v)
{
    return std::to_string((long long)v);
}

struct Pes {
    size_t first, last;  // packet indexes
    int64_t pts;
    bool video;
    Bytes es;  // elementary stream bytes (video only)
};

struct TsFile {
    std::vector<TsPacket> packets;
    std::vector<int64_t> arrival;  // 27 MHz, -1 where no PCR frames it
    std::vector<Pes> pes;
    std::vector<size_t> pats;
    unsigned pmtPid = 0x1FFF, pcrPid = 0x1FFF, videoPid = 0x1FFF;
};

bool LoadTs(const char* path, TsFile& ts, Bytes& raw)
{
    if (!ReadFile(path, raw) || raw.empty() || raw.size() % TS != 0) {
        Fault("packets", "not a whole number of 188-byte packets");
        return false;
    }
    for (size_t at = 0; at < raw.size(); at += TS) {
        if (raw[at] != 0x47) {
            Fault("packets", "lost sync at packet " + Num(at / TS));
            return false;
        }
        ts.packets.push_back(Parse(&raw[at]));
    }
    return true;
}

// PAT, PMT and their CRCs: the PMT's PID, the PCR PID and the video PID.
void ReadTables(TsFile& ts)
{
    for (size_t i = 0; i < ts.packets.size(); i++) {
        const TsPacket& k = ts.packets[i];
        if (k.pid == 0) {
            ts.pats.push_back(i);
            if (!SectionOk(k, 0x00)) {
                Fault("psi", "PAT without a good section at packet " + Num(i));
                continue;
            }
            const uint8_t* s = k.data + 1 + k.data[0];
            ts.pmtPid = ((s[10] & 0x1F) << 8) | s[11];
        } else if (k.pid == ts.pmtPid) {
            if (!SectionOk(k, 0x02)) {
                Fault("psi", "PMT without a good section at packet " + Num(i));
                continue;
            }
            const uint8_t* s = k.data + 1 + k.data[0];
            ts.pcrPid = ((s[8] & 0x1F) << 8) | s[9];
            size_t length = ((s[1] & 0x0F) << 8) | s[2];
            size_t info = ((s[10] & 0x0F) << 8) | s[11];
            for (size_t e = 12 + info; e + 5 <= 3 + length - 4; e += 5 + (((s[e + 3] & 0x0F) << 8) | s[e + 4]))
                if (s[e] == 0x1B)
                    ts.videoPid = ((s[e + 1] & 0x1F) << 8) | s[e + 2];
        }
    }
}

void CheckContinuity(const TsFile& ts)
{
    std::map<unsigned, unsigned> last;
    for (size_t i = 0; i < ts.packets.size(); i++) {
        const TsPacket& k = ts.packets[i];
        if (k.pid == 0x1FFF)
            continue;
        auto it = last.find(k.pid);
        if (it != last.end()) {
            unsigned expected = k.payload ? (it->second + 1) & 15 : it->second;
            if (k.cc != expected)
                Fault("continuity", "PID " + Num(k.pid) + " packet " + Num(i) + ": " + Num(k.cc) + " after " +
                                        Num(it->second));
        }
        last[k.pid] = k.cc;
    }
}

// PCRs of the PCR PID, and every packet's arrival between two of them.
void CheckPcr(TsFile& ts)
{
    ts.arrival.assign(ts.packets.size(), -1);
    long prev = -1;
    for (size_t i = 0; i < ts.packets.size(); i++) {
        const TsPacket& k = ts.packets[i];
        if (k.pid != ts.pcrPid || !k.pcr)
            continue;
        ts.arrival[i] = k.pcr27;
        if (prev >= 0) {
            int64_t gap = k.pcr27 - ts.arrival[prev];
            if (gap < 0)
                Fault("pcr", "PCR goes back at packet " + Num(i));
            if (gap > CLOCK_27MHZ / 10)
                Fault("pcr", "PCR gap of " + Num(gap / 27000) + " ms at packet " + Num(i));
            for (size_t j = prev + 1; j < i; j++)
                ts.arrival[j] = ts.arrival[prev] + gap * (int64_t)(j - prev) / (int64_t)(i - prev);
        }
        prev = (long)i;
    }
    if (prev < 0)
        Fault("pcr", "no PCR on the PCR PID " + Num(ts.pcrPid));
}

int64_t DecodePts(const uint8_t* p)
{
    return ((int64_t)((p[0] >> 1) & 7) << 30) | ((int64_t)p[1] << 22) | ((int64_t)(p[2] >> 1) << 15) |
           ((int64_t)p[3] << 7) | (p[4] >> 1);
}

void CollectPes(TsFile& ts)
{
    std::map<unsigned, size_t> open;
    for (size_t i = 0; i < ts.packets.size(); i++) {
        const TsPacket& k = ts.packets[i];
        if (!k.payload || k.pid == 0 || k.pid == ts.pmtPid)
            continue;
        if (k.unitStart && k.size >= 14 && k.data[0] == 0 && k.data[1] == 0 && k.data[2] == 1 && (k.data[7] & 0x80)) {
            Pes p = {i, i, DecodePts(k.data + 9), k.pid == ts.videoPid, {}};
            if (p.video)
                p.es.assign(k.data + 9 + k.data[8], k.data + k.size);
            open[k.pid] = ts.pes.size();
            ts.pes.push_back(p);
        } else if (open.count(k.pid)) {
            Pes& p = ts.pes[open[k.pid]];
            p.last = i;
            if (p.video)
                p.es.insert(p.es.end(), k.data, k.data + k.size);
        }
    }
}

// Every PES packet has arrived whole before its decoding time (its PTS: no
// DTS is sent), and not more than a second before it.
void CheckLead(const TsFile& ts)
{
    for (const Pes& p : ts.pes) {
        int64_t due = p.pts * 300;
        if (ts.arrival[p.last] >= 0 && ts.arrival[p.last] >= due)
            Fault("lead", "PES at packet " + Num(p.first) + " ends " + Num((ts.arrival[p.last] - due) / 27) +
                              " us after its decoding time");
        if (ts.arrival[p.first] >= 0 && due - ts.arrival[p.first] > CLOCK_27MHZ)
            Fault("lead", "PES at packet " + Num(p.first) + " arrives more than 1 s before its decoding time");
    }
}

// The NAL unit type after an access unit delimiter at the start of es, or
// of the first unit when there is no delimiter.
bool StartsWithAud(const Bytes& es)
{
    return es.size() >= 5 && es[0] == 0 && es[1] == 0 && es[2] == 0 && es[3] == 1 && (es[4] & 0x1F) == 9;
}

unsigned FirstUnitType(const Bytes& es)
{
    size_t at = StartsWithAud(es) ? 6 : 0;
    return es.size() > at + 4 ? es[at + 4] & 0x1F : 0;
}

// Video PES packets that open an access unit with an SPS or an IDR picture.
std::vector<size_t> RandomAccessPes(const TsFile& ts)
{
    std::vector<size_t> at;
    for (size_t i = 0; i < ts.pes.size(); i++) {
        const Pes& p = ts.pes[i];
        unsigned type = FirstUnitType(p.es);
        if (p.video && StartsWithAud(p.es) && (type == 7 || type == 5))
            at.push_back(i);
    }
    return at;
}

// A delimiter opens every access unit (the units of one time stamp) and no
// PES packet inside one; PAT and PMT come between the previous video packet
// and every random access point.
void CheckAccessUnits(const TsFile& ts)
{
    int64_t lastPts = -1;
    size_t lastVideoPacket = 0;
    for (const Pes& p : ts.pes) {
        if (!p.video)
            continue;
        bool opens = p.pts != lastPts;
        if (opens != StartsWithAud(p.es))
            Fault("aud", std::string(opens ? "no" : "a") + " delimiter in the PES at packet " + Num(p.first));
        unsigned type = FirstUnitType(p.es);
        if (opens && (type == 7 || type == 5)) {
            bool pat = false, pmt = false;
            for (size_t i = lastVideoPacket; i < p.first; i++) {
                pat = pat || ts.packets[i].pid == 0;
                pmt = pmt || ts.packets[i].pid == ts.pmtPid;
            }
            if (!pat || !pmt)
                Fault("psi", "no PAT and PMT in front of the random access point at packet " + Num(p.first));
        }
        lastPts = p.pts;
        lastVideoPacket = p.last;
    }
}

void CheckTableInterval(const TsFile& ts)
{
    int64_t last = -1;
    for (size_t i : ts.pats) {
        if (ts.arrival[i] < 0)
            continue;
        if (last >= 0 && ts.arrival[i] - last > CLOCK_27MHZ / 2)
            Fault("psi", "PAT " + Num((ts.arrival[i] - last) / 27000) + " ms after the last one, packet " + Num(i));
        last = ts.arrival[i];
    }
}

int CheckTs(const char* path)
{
    TsFile ts;
    Bytes raw;
    if (!LoadTs(path, ts, raw))
        return Done();
    ReadTables(ts);
    CheckContinuity(ts);
    CheckPcr(ts);
    CollectPes(ts);
    CheckLead(ts);
    if (ts.videoPid != 0x1FFF)
        CheckAccessUnits(ts);
    CheckTableInterval(ts);
    return Done();
}

int Splice(const char* path)
{
    TsFile ts;
    Bytes raw;
    if (!LoadTs(path, ts, raw))
        return 1;
    ReadTables(ts);
    CollectPes(ts);
    size_t best = 0;
    bool found = false;
    long middle = (long)ts.packets.size() / 2;
    for (size_t i : RandomAccessPes(ts)) {
        size_t pat = ts.pes[i].first;
        while (pat > 0 && ts.packets[pat].pid != 0)
            pat--;
        if (ts.packets[pat].pid == 0 && (!found || labs((long)pat - middle) < labs((long)best - middle))) {
            best = pat;
            found = true;
        }
    }
    if (!found)
        return 1;
    printf("%zu\n", best * TS);
    return 0;
}

// ---- MP4 -----------------------------------------------------------------------

struct Box {
    size_t at, size, body;  // offset, size, offset of the content
    std::string type;
};

std::vector<Box> Children(const Bytes& f, size_t begin, size_t end)
{
    std::vector<Box> boxes;
    while (begin + 8 <= end) {
        size_t size = ReadBE32(&f[begin]);
        if (size < 8 || begin + size > end)
            break;
        boxes.push_back({begin, size, begin + 8, std::string((const char*)&f[begin + 4], 4)});
        begin += size;
    }
    return boxes;
}

const Box* Find(const std::vector<Box>& boxes, const char* type)
{
    for (const Box& b : boxes)
        if (b.type == type)
            return &b;
    return nullptr;
}

// The box at a path of types below a container; size 0 when there is none.
Box Path(const Bytes& f, const Box& from, std::vector<const char*> path)
{
    Box b = from;
    for (const char* type : path) {
        std::vector<Box> children = Children(f, b.body, b.at + b.size);
        const Box* found = Find(children, type);
        if (!found)
            return Box{0, 0, 0, ""};
        b = *found;
    }
    return b;
}

// The empty edit at the start of a track's edit list, in movie ticks (0 when
// there is none).
int64_t EmptyEdit(const Bytes& f, const Box& trak)
{
    Box elst = Path(f, trak, {"edts", "elst"});
    if (elst.size == 0)
        return 0;
    const uint8_t* p = &f[elst.body];
    bool wide = p[0] == 1;
    uint32_t entries = ReadBE32(p + 4);
    if (entries == 0)
        return 0;
    int64_t duration = wide ? ((int64_t)ReadBE32(p + 8) << 32 | ReadBE32(p + 12)) : ReadBE32(p + 8);
    int64_t mediaTime = wide ? (int64_t)((uint64_t)ReadBE32(p + 16) << 32 | ReadBE32(p + 20)) : (int32_t)ReadBE32(p + 12);
    return mediaTime == -1 ? duration : 0;
}

// Descriptor of ISO/IEC 14496-1 (8.3.3): tag, size in 1..4 bytes of 7 bits.
bool Descriptor(const uint8_t* p, size_t left, unsigned* tag, size_t* header, size_t* length)
{
    if (left < 2)
        return false;
    *tag = p[0];
    *length = 0;
    size_t i = 1;
    for (; i < 5 && i < left; i++) {
        *length = (*length << 7) | (p[i] & 0x7F);
        if (!(p[i] & 0x80))
            break;
    }
    *header = i + 1;
    return *header + *length <= left;
}

void CheckEsds(const Bytes& f, const Box& esds)
{
    const uint8_t* p = &f[esds.body + 4];
    size_t left = esds.size - 12;
    unsigned tag;
    size_t header, length;
    if (!Descriptor(p, left, &tag, &header, &length) || tag != 3 || header + length != left) {
        Fault("esds", "the ES_Descriptor does not fill the box exactly");
        return;
    }
    const uint8_t* es = p + header;
    size_t at = 3 + ((es[2] & 0x80) ? 2 : 0);  // ES_ID, flags, dependsOn_ES_ID
    while (at < length) {
        size_t sub;
        if (!Descriptor(es + at, length - at, &tag, &header, &sub)) {
            Fault("esds", "a descriptor runs past the ES_Descriptor");
            return;
        }
        if (tag == 6 && (sub != 1 || es[at + header] != 2))
            Fault("esds", "SLConfigDescriptor is not predefined 2 alone (length " + Num(sub) + ")");
        at += header + sub;
    }
    if (at != length)
        Fault("esds", "descriptors do not fill the ES_Descriptor");
}

int CheckMp4(const char* path, const char* boxesPath)
{
    Bytes f;
    if (!ReadFile(path, f))
        return Fault("mp4", "cannot read the file"), Done();
    FILE* list = fopen(boxesPath, "r");
    if (!list)
        return Fault("mp4", "cannot read the box list"), Done();
    char kind[8];
    unsigned stamp;
    int picture;
    bool haveVideo = false, haveAudio = false;
    uint32_t firstVideo = 0, firstAudio = 0;
    char line[64];
    while (fgets(line, sizeof line, list)) {
        if (sscanf(line, "%7s %u %d", kind, &stamp, &picture) >= 2) {
            if (!strcmp(kind, "video") && picture == 1 && !haveVideo) {
                haveVideo = true;
                firstVideo = stamp;
            }
            if (!strcmp(kind, "audio") && !haveAudio) {
                haveAudio = true;
                firstAudio = stamp;
            }
        }
    }
    fclose(list);

    std::vector<Box> top = Children(f, 0, f.size());
    const Box* moov = Find(top, "moov");
    if (!moov)
        return Fault("mp4", "no moov"), Done();
    std::vector<Box> inMoov = Children(f, moov->body, moov->at + moov->size);
    uint32_t largestTrack = 0;
    std::vector<uint32_t> tracks;
    for (const Box& trak : inMoov) {
        if (trak.type != "trak")
            continue;
        Box tkhd = Path(f, trak, {"tkhd"});
        Box hdlr = Path(f, trak, {"mdia", "hdlr"});
        if (tkhd.size == 0 || hdlr.size == 0)
            continue;
        uint32_t id = ReadBE32(&f[tkhd.body + (f[tkhd.body] == 1 ? 20 : 12)]);
        tracks.push_back(id);
        largestTrack = id > largestTrack ? id : largestTrack;
        bool video = !memcmp(&f[hdlr.body + 8], "vide", 4);
        int64_t expected = 0;
        if (haveVideo && haveAudio) {
            int64_t later = (int32_t)(video ? firstVideo - firstAudio : firstAudio - firstVideo);
            expected = later > 0 ? later : 0;
        }
        if (EmptyEdit(f, trak) != expected)
            Fault("edts", std::string(video ? "video" : "audio") + " starts " + Num(EmptyEdit(f, trak)) +
                              " ticks in, its stamps say " + Num(expected));
        Box stsd = Path(f, trak, {"mdia", "minf", "stbl", "stsd"});
        if (video && stsd.size > 0) {
            std::vector<Box> entries = Children(f, stsd.body + 8, stsd.at + stsd.size);
            const Box* avc1 = Find(entries, "avc1");
            std::vector<Box> inAvc1 = avc1 ? Children(f, avc1->body + 78, avc1->at + avc1->size) : std::vector<Box>();
            const Box* cfg = Find(inAvc1, "avcC");
            if (!cfg)
                Fault("avcC", "no avc1/avcC");
            else if (memcmp(&f[cfg->body + 1], &f[cfg->body + 9], 3) != 0)
                Fault("avcC", "profile, compatibility and level differ from the SPS's");
        }
        if (!video && stsd.size > 0) {
            std::vector<Box> entries = Children(f, stsd.body + 8, stsd.at + stsd.size);
            const Box* mp4a = Find(entries, "mp4a");
            std::vector<Box> inMp4a = mp4a ? Children(f, mp4a->body + 28, mp4a->at + mp4a->size) : std::vector<Box>();
            const Box* esds = Find(inMp4a, "esds");
            if (!esds)
                Fault("esds", "no mp4a/esds");
            else
                CheckEsds(f, *esds);
        }
    }
    const Box* mvhd = Find(inMoov, "mvhd");
    if (mvhd) {
        uint32_t next = ReadBE32(&f[mvhd->at + mvhd->size - 4]);
        if (next <= largestTrack)
            Fault("mvhd", "next_track_ID " + Num(next) + " is not above track " + Num(largestTrack));
    }
    const Box* iods = Find(inMoov, "iods");
    if (iods && iods->size >= 6) {
        uint32_t named = ReadBE32(&f[iods->at + iods->size - 4]);
        bool known = false;
        for (uint32_t id : tracks)
            known = known || id == named;
        if (!known)
            Fault("iods", "names track " + Num(named) + ", which the file does not have");
    }
    return Done();
}

// ---- RTP -------------------------------------------------------------------------

// Datagrams of a capture file: records of a 4-byte big-endian length.
std::vector<Bytes> ReadCapture(const char* path)
{
    std::vector<Bytes> datagrams;
    Bytes raw;
    if (strcmp(path, "-") == 0 || !ReadFile(path, raw))
        return datagrams;
    for (size_t at = 0; at + 4 <= raw.size();) {
        size_t n = ReadBE32(&raw[at]);
        if (at + 4 + n > raw.size())
            break;
        datagrams.emplace_back(raw.begin() + at + 4, raw.begin() + at + 4 + n);
        at += 4 + n;
    }
    return datagrams;
}

struct Sent {
    std::vector<Bytes> units;  // NAL units of types 1..23 as sent
    size_t pictures = 0;
    std::vector<uint32_t> audioStamps;
};

Sent ReadSent(const char* path)
{
    Sent s;
    FILE* in = fopen(path, "rb");
    if (!in)
        return s;
    static UINT8 box[SAMPLE_BUFFER_SIZE];
    long size;
    while ((size = ReadStreamBox(in, box)) > 0) {
        QBox h;
        DecodeQBoxHeader(box, &h);
        const UINT8* payload = box + QBOX_HEADER_SIZE;
        UINT32 n = (UINT32)size - QBOX_HEADER_SIZE;
        if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
            s.audioStamps.push_back(h.ulSampleCts);
            continue;
        }
        if (h.usSampleStreamType != QBOX_STREAM_VIDEO)
            continue;
        s.pictures += HoldsPicture(payload, n) ? 1 : 0;
        for (UINT32 at = 0; at + 4 <= n;) {
            UINT32 length = ReadBE32(payload + at);
            if (length > n - at - 4)
                break;
            unsigned type = length > 0 ? payload[at + 4] & 0x1F : 0;
            if (type >= 1 && type <= 23)
                s.units.emplace_back(payload + at + 4, payload + at + 4 + length);
            at += 4 + length;
        }
    }
    fclose(in);
    return s;
}

void CheckVideoRtp(const std::vector<Bytes>& datagrams, const Sent& sent)
{
    std::vector<Bytes> units;
    size_t markers = 0;
    Bytes fragment;
    for (const Bytes& d : datagrams) {
        if (d.size() < 13 || (d[0] >> 6) != 2 || (d[1] & 0x7F) != 97) {
            Fault("rtp-video", "not an H.264 RTP packet");
            continue;
        }
        markers += d[1] >> 7;
        const uint8_t* p = &d[12];
        size_t n = d.size() - 12;
        if ((p[0] & 0x1F) != 28) {
            units.emplace_back(p, p + n);
            continue;
        }
        if (n < 3)
            continue;
        if (p[1] & 0x80)  // start: the header rebuilt as RFC 6184 (5.8) has it
            fragment.assign(1, (uint8_t)((p[0] & 0xE0) | (p[1] & 0x1F)));
        fragment.insert(fragment.end(), p + 2, p + n);
        if (p[1] & 0x40)
            units.push_back(fragment);
    }
    if (markers != sent.pictures)
        Fault("marker", Num(markers) + " markers for " + Num(sent.pictures) + " pictures");
    if (units.size() != sent.units.size())
        Fault("units", Num(units.size()) + " NAL units received for " + Num(sent.units.size()) + " sent");
    for (size_t i = 0; i < units.size() && i < sent.units.size(); i++)
        if (units[i] != sent.units[i])
            Fault("units", "unit " + Num(i) + " (header " + Num(sent.units[i][0]) + ") rebuilt as header " +
                               Num(units[i].empty() ? -1 : units[i][0]) + " or with other bytes");
}

void CheckAudioRtp(const std::vector<Bytes>& datagrams, const Sent& sent)
{
    if (datagrams.size() != sent.audioStamps.size()) {
        Fault("rtp-audio", Num(datagrams.size()) + " AAC packets for " + Num(sent.audioStamps.size()) + " frames");
        return;
    }
    for (size_t i = 1; i < datagrams.size(); i++) {
        int64_t rtp = (uint32_t)(ReadBE32(&datagrams[i][4]) - ReadBE32(&datagrams[0][4]));
        int64_t stamp = (uint32_t)(sent.audioStamps[i] - sent.audioStamps[0]);
        // Within one 48 kHz sample: |rtp / 48000 - stamp / 90000| < 1 / 48000.
        if (rtp * 15 - stamp * 8 <= -15 || rtp * 15 - stamp * 8 >= 15)
            Fault("rtp-audio", "frame " + Num(i) + " at RTP " + Num(rtp) + " for a stamp " + Num(stamp) + " ticks in");
    }
}

int CheckRtpEs(const char* stream, const char* video, const char* audio)
{
    Sent sent = ReadSent(stream);
    if (strcmp(video, "-") != 0)
        CheckVideoRtp(ReadCapture(video), sent);
    if (strcmp(audio, "-") != 0)
        CheckAudioRtp(ReadCapture(audio), sent);
    return Done();
}

int RtpToTs(const char* capture, const char* out)
{
    FILE* f = fopen(out, "wb");
    if (!f)
        return 1;
    for (const Bytes& d : ReadCapture(capture))
        if (d.size() > 12 && (d[1] & 0x7F) == 33)
            fwrite(&d[12], 1, d.size() - 12, f);
    return fclose(f) == 0 ? 0 : 1;
}

int RtpPayloads(const char* capture, const char* out)
{
    FILE* f = fopen(out, "wb");
    if (!f)
        return 1;
    std::vector<Bytes> datagrams = ReadCapture(capture);
    for (const Bytes& d : datagrams) {
        if (d.size() < 12)
            continue;
        uint8_t stamp[4];
        WriteBE32(stamp, ReadBE32(&d[4]) - ReadBE32(&datagrams[0][4]));
        fwrite(&d[1], 1, 1, f);
        fwrite(stamp, 1, sizeof stamp, f);
        fwrite(&d[12], 1, d.size() - 12, f);
    }
    return fclose(f) == 0 ? 0 : 1;
}

// ---- RTCP ------------------------------------------------------------------------

const double NTP_UNIT = 4294967296.0;  // 2^32 fractions of a second
const double MAPPING_TOLERANCE_S = 0.001;
const uint32_t RTP_HEADER = 12;

struct HexDatagram {
    unsigned port;
    Bytes bytes;
};

std::vector<HexDatagram> ReadHexDatagrams(const char* path)
{
    std::vector<HexDatagram> out;
    FILE* in = fopen(path, "r");
    if (!in)
        return out;
    unsigned port;
    static char hex[2 * 65536 + 2];
    while (fscanf(in, "%u %131073s", &port, hex) == 2) {
        HexDatagram d = {port, Bytes()};
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
            d.bytes.push_back((uint8_t)strtoul(std::string(hex + i, 2).c_str(), nullptr, 16));
        out.push_back(d);
    }
    fclose(in);
    return out;
}

// The QBox stamps sent, unwrapped onto one line (each placed nearest the
// latest so far), by the RTP time stamp each stream gives them.
struct SentStamps {
    std::map<uint32_t, int64_t> video, audio, any;
};

SentStamps ReadSentStamps(const char* path)
{
    SentStamps s;
    FILE* in = fopen(path, "rb");
    if (!in)
        return s;
    static UINT8 box[SAMPLE_BUFFER_SIZE];
    bool started = false;
    int64_t latest = 0;
    while (ReadStreamBox(in, box) > 0) {
        QBox h;
        DecodeQBoxHeader(box, &h);
        int64_t t = started ? latest + (int32_t)(h.ulSampleCts - (uint32_t)latest) : h.ulSampleCts;
        started = true;
        latest = t > latest ? t : latest;
        if (h.usSampleStreamType == QBOX_STREAM_VIDEO)
            s.video[(uint32_t)t] = t;
        if (h.usSampleStreamType == QBOX_STREAM_AUDIO)
            s.audio[(uint32_t)(t * 48000 / 90000)] = t;
        s.any[(uint32_t)t] = t;
    }
    fclose(in);
    return s;
}

struct RtcpStream {
    const char* name;
    unsigned port = 0;
    const std::map<uint32_t, int64_t>* stamps = nullptr;
    uint32_t packets = 0, octets = 0;  // RTP sent so far, modulo 2^32 as counted
    uint32_t ssrc = 0;
    size_t reports = 0, byes = 0;
    bool ended = false;
};

struct RtcpRun {
    std::string cname;
    bool anchored = false;
    uint64_t firstNtp = 0;
    double firstOffset = 0, worst = 0;
};

// The report's NTP time less its sample's QBox time, against the first
// report's: the same for every report of either stream on one wall clock.
void CheckMapping(RtcpStream* s, const rtcp_reader::SenderReport& sr, RtcpRun* run)
{
    auto sample = s->stamps->find(sr.rtp);
    if (sample == s->stamps->end()) {
        Fault("rtcp-mapping", std::string(s->name) + " SR with RTP time " + Num(sr.rtp) + ", of no sample sent");
        return;
    }
    if (!run->anchored) {
        run->anchored = true;
        run->firstNtp = sr.ntp;
        run->firstOffset = -(double)sample->second / QBOX_CLOCK_HZ;
    }
    double offset = (double)(int64_t)(sr.ntp - run->firstNtp) / NTP_UNIT - (double)sample->second / QBOX_CLOCK_HZ;
    double off = offset - run->firstOffset;
    if (off < 0)
        off = -off;
    if (off > run->worst)
        run->worst = off;
    if (off > MAPPING_TOLERANCE_S)
        Fault("rtcp-mapping", std::string(s->name) + " SR at RTP " + Num(sr.rtp) + " is " + Num((int64_t)(off * 1e6)) +
                                  " us off the wall clock of the first report");
}

void CheckCompound(RtcpStream* s, const Bytes& d, RtcpRun* run)
{
    using namespace rtcp_reader;
    Compound c = ParseCompound(d.data(), d.size());
    if (!c.error.empty()) {
        Fault("rtcp-packet", std::string(s->name) + ": " + c.error);
        return;
    }
    if (s->ended)
        Fault("rtcp-bye", std::string(s->name) + ": RTCP after the BYE");
    if (run->cname.empty())
        run->cname = c.cname;
    if (c.cname.empty() || c.cname != run->cname)
        Fault("rtcp-sdes", std::string(s->name) + ": CNAME \"" + c.cname + "\", not \"" + run->cname + "\"");
    uint32_t reporter = c.has_sr ? c.sr.ssrc : c.rr_ssrc;
    if (reporter != s->ssrc || c.sdes_ssrc != s->ssrc)
        Fault("rtcp-ssrc", std::string(s->name) + ": SSRC " + Num(reporter) + " for the stream's " + Num(s->ssrc));
    if (c.has_sr) {
        s->reports++;
        if (c.sr.packets != s->packets || c.sr.octets != s->octets)
            Fault("rtcp-counts", std::string(s->name) + ": SR counts " + Num(c.sr.packets) + " packets, " +
                                     Num(c.sr.octets) + " octets after " + Num(s->packets) + ", " + Num(s->octets));
        CheckMapping(s, c.sr, run);
    }
    if (!c.bye.empty()) {
        s->byes++;
        s->ended = true;
        if (c.types.back() != PT_BYE || c.bye != std::vector<uint32_t>{s->ssrc})
            Fault("rtcp-bye", std::string(s->name) + ": BYE not last, or not for the stream's SSRC");
    }
}

int CheckRtcp(const char* stream, const char* videoPort, const char* audioPort, const char* packets)
{
    SentStamps sent = ReadSentStamps(stream);
    RtcpStream streams[2];
    streams[0].name = "video";
    streams[0].port = strcmp(videoPort, "-") == 0 ? 0 : (unsigned)atoi(videoPort);
    streams[1].name = "audio";
    streams[1].port = strcmp(audioPort, "-") == 0 ? 0 : (unsigned)atoi(audioPort);
    streams[1].stamps = &sent.audio;
    // Without an audio stream the video port may carry the transport
    // stream, which is stamped with every sample's stamp.
    streams[0].stamps = streams[1].port == 0 ? &sent.any : &sent.video;
    RtcpRun run;
    for (const HexDatagram& d : ReadHexDatagrams(packets)) {
        for (RtcpStream& s : streams) {
            if (s.port == 0)
                continue;
            if (d.port == s.port && d.bytes.size() >= RTP_HEADER) {
                s.packets++;
                s.octets += (uint32_t)d.bytes.size() - RTP_HEADER;
                s.ssrc = ReadBE32(&d.bytes[8]);
            } else if (d.port == s.port + 1) {
                CheckCompound(&s, d.bytes, &run);
            }
        }
    }
    for (RtcpStream& s : streams) {
        if (s.port == 0)
            continue;
        if (s.packets > 0 && (s.reports == 0 || s.byes != 1))
            Fault("rtcp-bye", std::string(s.name) + ": " + Num(s.reports) + " reports and " + Num(s.byes) +
                                  " BYE after " + Num(s.packets) + " RTP packets");
        printf("%s: %u RTP packets, %zu sender reports, %zu BYE\n", s.name, s.packets, s.reports, s.byes);
    }
    printf("CNAME %s; NTP times off the QBox stamps by at most %.3f ms\n", run.cname.c_str(), run.worst * 1000);
    return Done();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ts" && argc == 3)
        return CheckTs(argv[2]);
    if (mode == "ts-splice" && argc == 3)
        return Splice(argv[2]);
    if (mode == "mp4" && argc == 4)
        return CheckMp4(argv[2], argv[3]);
    if (mode == "rtp-es" && argc == 5)
        return CheckRtpEs(argv[2], argv[3], argv[4]);
    if (mode == "rtp-ts" && argc == 4)
        return RtpToTs(argv[2], argv[3]);
    if (mode == "rtp-payloads" && argc == 4)
        return RtpPayloads(argv[2], argv[3]);
    if (mode == "rtcp" && argc == 6)
        return CheckRtcp(argv[2], argv[3], argv[4], argv[5]);
    fprintf(stderr, "usage: stream_check ts FILE | ts-splice FILE | mp4 FILE BOXES | "
                    "rtp-es STREAM VIDEO_CAPTURE AUDIO_CAPTURE | rtp-ts CAPTURE OUT | rtp-payloads CAPTURE OUT | "
                    "rtcp STREAM VIDEO_PORT AUDIO_PORT PACKETS\n");
    return 2;
}
