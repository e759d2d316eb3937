// Cuts the shared QBox test streams into seed inputs for the fuzz targets
// (tests/fuzz/*.cpp), in the input layout each target documents, and adds a
// few configuration files and option lines.
//
//   fuzz-seeds CORPUS_DIR OUT_DIR
//
// writes OUT_DIR/<target>/<name> for every target. A missing corpus file is
// skipped; the text seeds are always written.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "QBox.h"

typedef std::vector<uint8_t> Bytes;

namespace {

const size_t CHUNK = 512;
const size_t MAX_SEED_BOX = 16384;  // longer boxes are left out of the seeds
const size_t RUN_LENGTH = 6;        // boxes in a "short run" seed

std::string outDir;

void Save(const std::string& target, const std::string& name, const Bytes& data)
{
    std::string dir = outDir + "/" + target;
    mkdir(outDir.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary).write((const char*)data.data(), (std::streamsize)data.size());
}

void SaveText(const std::string& target, const std::string& name, const std::string& text)
{
    Save(target, name, Bytes(text.begin(), text.end()));
}

void PutWord(Bytes& out, size_t v)
{
    out.push_back((uint8_t)(v >> 8));
    out.push_back((uint8_t)v);
}

void Append(Bytes& out, const Bytes& in)
{
    out.insert(out.end(), in.begin(), in.end());
}

std::vector<Bytes> ReadBoxes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    Bytes s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Bytes> boxes;
    for (size_t at = 0; at + QBOX_HEADER_SIZE <= s.size();) {
        size_t size = ReadBE32(s.data() + at);
        if (size <= QBOX_HEADER_SIZE || at + size > s.size())
            break;
        boxes.emplace_back(s.begin() + at, s.begin() + at + size);
        at += size;
    }
    return boxes;
}

// First NAL unit of a video box (no prefix), or empty.
Bytes FirstUnit(const Bytes& box, uint8_t type)
{
    size_t at = QBOX_HEADER_SIZE;
    while (at + 4 < box.size()) {
        size_t n = ReadBE32(box.data() + at);
        if (n == 0 || at + 4 + n > box.size())
            break;
        if ((box[at + 4] & 0x1F) == type)
            return Bytes(box.begin() + at + 4, box.begin() + at + 4 + n);
        at += 4 + n;
    }
    return Bytes();
}

// Records of a 2-byte length and the box, for the route targets.
Bytes BoxRecords(const std::vector<Bytes>& boxes, size_t first, size_t count)
{
    Bytes out;
    for (size_t i = first; i < boxes.size() && i < first + count; i++) {
        if (boxes[i].size() > MAX_SEED_BOX)
            continue;
        PutWord(out, boxes[i].size());
        Append(out, boxes[i]);
    }
    return out;
}

// The device reader's layout: chunk records (length - 1, then the bytes).
Bytes DeviceChunks(const std::vector<Bytes>& boxes, size_t first, size_t count)
{
    Bytes out;
    for (size_t i = first; i < boxes.size() && i < first + count; i++) {
        if (boxes[i].size() > MAX_SEED_BOX)
            continue;
        for (size_t at = 0; at < boxes[i].size(); at += CHUNK) {
            size_t n = std::min(CHUNK, boxes[i].size() - at);
            PutWord(out, n - 1);
            out.insert(out.end(), boxes[i].begin() + at, boxes[i].begin() + at + n);
        }
    }
    return out;
}

void StreamSeeds(const std::string& stem, const std::vector<Bytes>& boxes)
{
    if (boxes.empty())
        return;
    // Runs from the start (first box of the run, parameter sets, first
    // frames) and from the middle.
    const size_t starts[] = {0, boxes.size() / 2};
    for (size_t start : starts) {
        std::string name = stem + "-" + std::to_string(start);
        Bytes dev = {0x03};  // first-box rule on, the first read converted
        Append(dev, DeviceChunks(boxes, start, RUN_LENGTH));
        Save("fuzz_devicereader", name, dev);

        Bytes mp4 = {0x03};  // audio and video
        Append(mp4, BoxRecords(boxes, start, RUN_LENGTH));
        Save("fuzz_mp4route", name, mp4);

        for (uint8_t mode = 1; mode <= 3; mode++) {
            Bytes ts = {(uint8_t)(mode | 0x30)};  // audio and video programme
            Append(ts, BoxRecords(boxes, start, RUN_LENGTH));
            Save("fuzz_tsroute", name + "-m" + std::to_string(mode), ts);
        }

        Bytes rtp;
        for (size_t i = start; i < boxes.size() && i < start + RUN_LENGTH; i++) {
            if (boxes[i].size() > MAX_SEED_BOX)
                continue;
            rtp.insert(rtp.end(), {0, 0, 0, 0, 0});  // whole QBox sample, time stamp
            PutWord(rtp, boxes[i].size());
            Append(rtp, boxes[i]);
        }
        Save("fuzz_rtp", name, rtp);
    }
    // Single boxes and units.
    for (size_t i = 0; i < boxes.size() && i < 3; i++) {
        std::string name = stem + "-box" + std::to_string(i);
        Bytes one = {0x01};
        Append(one, BoxRecords(boxes, i, 1));
        Save("fuzz_mp4route", name, one);
        Save("fuzz_tsroute", name, one);
    }
    for (const Bytes& box : boxes) {
        Bytes sps = FirstUnit(box, 7);
        if (sps.empty())
            continue;
        Save("fuzz_decparset", stem + "-sps", sps);
        Bytes eg = {0x04, 0x01, 0x01, 0x02, 0x20};  // ue, ue, se, ReadBits(8)
        Append(eg, Bytes(sps.begin() + 1, sps.end()));
        Save("fuzz_expgolomb", stem + "-sps", eg);
        Bytes pps = FirstUnit(box, 8);
        Bytes rtp = {1, 0, 0, 0, 0};  // unit ending its access unit, time stamp
        PutWord(rtp, sps.size());
        Append(rtp, sps);
        if (!pps.empty()) {
            rtp.insert(rtp.end(), {1, 0, 0, 0, 0});
            PutWord(rtp, pps.size());
            Append(rtp, pps);
        }
        Save("fuzz_rtp", stem + "-units", rtp);
        break;
    }
}

// The option target's layout: arguments ended by NUL bytes.
std::string Arguments(std::initializer_list<const char*> args)
{
    std::string out;
    for (const char* a : args)
        out += std::string(a) + '\0';
    return out;
}

void TextSeeds()
{
    SaveText("fuzz_configfile", "full",
             "device 0\nmedia 3\naudio_bitrate 48\nvideo_bitrate 512\nwidth 320\nheight 240\n"
             "framerate 30\ngop 30\ncolor 128\nbrightness 128\nsaving 1\nfilename \"my rec\"\n"
             "streaming 2\nip 127.0.0.1\nttl 64\nvideo_port 8000\naudio_port 8002\n");
    SaveText("fuzz_configfile", "equals", "device=1 media=2 # comment\r\nwidth = 720\theight=576\n");
    SaveText("fuzz_configfile", "quotes", "a \"b c\" d \"\" e \"f");
    SaveText("fuzz_cmdline", "typical", Arguments({"-m", "3", "-w", "352", "-h", "288", "-r", "2", "-p", "name.x", "-q"}));
    SaveText("fuzz_cmdline", "config", Arguments({"-z", "a", "-s", "1", "-d", "10.0.0.1", "-x", "70000"}));
    SaveText("fuzz_cmdline", "help", Arguments({"-u", "x", "-k"}));
    const std::string size = std::string("\0\0\0\0\x10\0\0\0", 8);  // a 1 MiB representation
    SaveText("fuzz_http", "pipelined", size + "GET /recordings/x.mp4?a=1 HTTP/1.1\r\nHost: b\r\nRange: bytes=10-99\r\n"
             "If-Range: \"tag\"\r\n\r\nHEAD http://b/%2e%2e/live.m3u8 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    SaveText("fuzz_http", "ranges", size + "GET / HTTP/1.1\r\nHost: b\r\nRange: bytes=-500\r\n\r\n"
             "GET /a%2fb HTTP/1.1\r\nHost: b\r\nRange: bytes=9500-\r\nContent-Length: 3\r\n\r\nabc");
}

// RTSP sessions as fuzz_rtsp reads them: a media byte, then records of an
// action byte (0: bytes arrive; 3: the timers run and packets go out) and
// the bytes.
void RtspSeed(const std::string& name, const std::vector<std::string>& requests)
{
    Bytes input = {2};  // -m 3
    for (const std::string& r : requests) {
        PutWord(input, r.size() + 1);
        input.push_back(r.empty() ? 3 : 0);
        input.insert(input.end(), r.begin(), r.end());
    }
    Save("fuzz_rtsp", name, input);
}

void RtspSeeds()
{
    const std::string url = "rtsp://127.0.0.1:8554/live";
    auto request = [](const std::string& method, const std::string& target, int cseq, const std::string& more) {
        return method + " " + target + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + more + "\r\n";
    };
    const std::string session = "Session: 0000000000000000\r\n";
    // An empty receiver report on interleaved channel 1.
    const std::string receiverReport("$\x01\x00\x08\x80\xc9\x00\x01\x00\x00\x00\x01", 12);
    for (const char* transport : {"RTP/AVP/TCP;unicast;interleaved=0-1", "RTP/AVP;unicast;client_port=40000-40001",
                                  "RTP/AVP;multicast"}) {
        RtspSeed(std::string("session-") + (transport[8] == 'T' ? "tcp" : transport[8] == 'u' ? "udp" : "multicast"),
                 {request("OPTIONS", url, 1, ""), request("DESCRIBE", url, 2, "Accept: application/sdp\r\n"),
                  request("SETUP", url + "/trackID=0", 3, std::string("Transport: ") + transport + "\r\n"),
                  request("PLAY", url, 4, session + "Range: npt=now-\r\n"), "",
                  request("GET_PARAMETER", url, 5, session), receiverReport,
                  request("PAUSE", url, 6, session), request("TEARDOWN", url, 7, session)});
    }
    RtspSeed("pipelined", {request("OPTIONS", "*", 1, "") + request("DESCRIBE", url + ".ts", 2, "") +
                           request("SETUP", url + ".ts/trackID=0", 3, "Transport: RTP/AVP/TCP\r\n")});
}

// Spool records in host order, as the MP4 writer writes them.
Bytes Records(std::initializer_list<uint32_t> values)
{
    Bytes out;
    for (uint32_t v : values)
        out.insert(out.end(), (const uint8_t*)&v, (const uint8_t*)&v + sizeof(v));
    return out;
}

// The leftovers of a recording interrupted after two pictures and one audio
// frame, each entry whole: the input of fuzz_recovery.
void RecoverySeed()
{
    Bytes picture = {0, 0, 0, 16, 0x65, 0x88, 0x84, 0, 0x33, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Bytes frame = {0x21, 0x1b, 0x94, 0xa5, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    Bytes input = {0x0F};  // info from the flags, video and audio, file header
    for (const Bytes& spool : {Records({1024}), Records({52}), Records({10}), Records({3000}), Records({32, 62}),
                               Records({20, 20}), Records({1})}) {
        PutWord(input, spool.size());
        Append(input, spool);
    }
    Bytes data = picture;
    Append(data, frame);
    Append(data, picture);
    PutWord(input, data.size());
    Append(input, data);
    Save("fuzz_recovery", "two-pictures-one-frame", input);
}

// What a media server sends a publisher, one record a recv(): the
// answers to OPTIONS, a challenge, SETUP and RECORD, an RTCP frame and a
// request of its own: the input of fuzz_rtspclient.
void RtspClientSeed()
{
    const char* pieces[] = {
        "RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: OPTIONS, ANNOUNCE, SETUP, RECORD, GET_PARAMETER\r\n\r\n",
        "RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"0a1b\", "
        "opaque=\"o\", qop=\"auth\", stale=true\r\nWWW-Authenticate: Basic realm=\"r\"\r\n\r\n",
        "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 5A7c9;timeout=60\r\nTransport: RTP/AVP/TCP;unicast;"
        "interleaved=0-1;server_port=7000-7001;mode=record\r\nContent-Length: 2\r\n\r\nok",
        "$\x01\x00\x08\x81\xc9\x07\x07RRRR\r\nOPTIONS * RTSP/1.0\r\nCSeq: 9\r\n\r\nRTSP/1.0 200 OK\r\nCS",
        "eq: 4\r\nSession: 5A7c9\r\n\r\n"};
    Bytes input;
    for (const char* piece : pieces) {
        size_t size = piece[0] == '$' ? std::string(piece + 4).size() + 4 : std::string(piece).size();
        PutWord(input, size);
        input.insert(input.end(), piece, piece + size);
    }
    Save("fuzz_rtspclient", "publishing", input);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s CORPUS_DIR OUT_DIR\n", argv[0]);
        return 2;
    }
    outDir = argv[2];
    const char* streams[] = {"av_320x240_30fps_gop30", "av_720x576_25fps_gop12", "av_720x480_15fps_gop5",
                             "v_352x288_30fps_gop10", "a_only",
                             // pictures of four slices, nal_ref_idc 1, an SPS that crops
                             "av_320x240_30fps_slices4", "av_320x240_30fps_refidc1", "av_100x100_30fps_gop30"};
    for (const char* stem : streams)
        StreamSeeds(stem, ReadBoxes(std::string(argv[1]) + "/" + stem + ".qbox"));
    TextSeeds();
    RtspSeeds();
    RecoverySeed();
    RtspClientSeed();
    return 0;
}
