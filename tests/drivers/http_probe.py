#!/usr/bin/python3
"""Checks of the HTTP server as a strict client applies the standards.

  http_probe.py hls URL SECONDS        the live playlist and its segments (RFC 8216)
  http_probe.py figures METRICS RECORD /metrics (saved while the program ran) against the
                                       device's --record file (once the program has ended)
  http_probe.py hostile HOST PORT      size limits, slow, idle and flooding clients

Each check prints "ok" or "FAIL"; exit 1 when one failed."""
import re, socket, struct, sys, time, urllib.request

failures = []
rules = {}


def rule(name, ok, detail=""):
    """A rule checked many times: printed once, with the first failure."""
    if name not in rules or (rules[name][0] and not ok):
        rules[name] = (ok, detail)


def report_rules():
    for name, (ok, detail) in rules.items():
        check(ok, name + (" (" + detail + ")" if not ok else ""))


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def get(url):
    with urllib.request.urlopen(url, timeout=30) as response:
        return response.read()


# ---- HLS ----------------------------------------------------------------------

def parse_playlist(text):
    lines = text.split("\n")
    tags, segments, pending = {}, [], {}
    rule("every playlist starts with #EXTM3U (4.3.1.1)", lines[0] == "#EXTM3U", lines[0])
    for line in lines[1:]:
        if line.startswith("#EXTINF:"):
            pending["duration"] = float(line[8:].split(",")[0])
        elif line.startswith("#EXT-X-PROGRAM-DATE-TIME:") or line == "#EXT-X-DISCONTINUITY":
            pending[line.split(":")[0]] = line
        elif line.startswith("#EXT"):
            name, _, value = line.partition(":")
            tags[name] = value
        elif line:
            segments.append(dict(pending, uri=line))
            pending = {}
    return tags, segments


def payload(p):
    """The payload of a transport packet, behind any adaptation field (13818-1, 2.4.3.2)."""
    return p[4 + (1 + p[4] if p[3] & 0x20 else 0):] if p[3] & 0x10 else b""


def ts_segment_check(data, label):
    """Whole packets; PAT, then the PMT it names; the first access unit of
    the video holds SPS, PPS and an IDR picture; continuity within."""
    packets = [data[i:i + 188] for i in range(0, len(data), 188)]
    ok = len(data) % 188 == 0 and all(p[0] == 0x47 for p in packets)
    pids = [((p[1] & 0x1F) << 8) | p[2] for p in packets]
    pat, pmt = payload(packets[0])[1:], payload(packets[1])[1:]  # behind the pointer fields
    ok = ok and pids[0] == 0 and pids[1] == ((pat[10] & 0x1F) << 8) | pat[11]
    video_pid, pos = None, 12 + (((pmt[10] & 0x0F) << 8) | pmt[11])
    while pos < 3 + (((pmt[1] & 0x0F) << 8) | pmt[2]) - 4:
        if pmt[pos] == 0x1B:  # H.264 (Table 2-34)
            video_pid = ((pmt[pos + 1] & 0x1F) << 8) | pmt[pos + 2]
        pos += 5 + (((pmt[pos + 3] & 0x0F) << 8) | pmt[pos + 4])
    pes = [(payload(p), p[1] & 0x40) for p, pid in zip(packets, pids) if pid == video_pid]
    es = b"".join(data[9 + data[8]:] if start else data for data, start in pes if data)  # PES headers left out
    nal_types = [es[m.end()] & 0x1F for m in re.finditer(b"\x00\x00\x01", es) if m.end() < len(es)]
    first_au = nal_types[:nal_types.index(9, 1)] if 9 in nal_types[1:] else nal_types
    ok = ok and {5, 7, 8} <= set(first_au) and 1 not in first_au
    cc, cc_ok = {}, True
    for p, pid in zip(packets, pids):
        if p[3] & 0x10 and pid != 0x1FFF:
            if pid in cc and (cc[pid] + 1) % 16 != p[3] & 0x0F:
                cc_ok = False
            cc[pid] = p[3] & 0x0F
    check(ok and cc_ok, "%s: %d packets, PAT, PMT, first access unit of NAL types %s, continuity counters"
          % (label, len(packets), first_au))


def hls(url, seconds):
    base = url.rsplit("/", 1)[0] + "/"
    seen, target, last_seq, checked = {}, None, None, 0
    deadline = time.time() + seconds
    while time.time() < deadline:
        tags, segments = parse_playlist(get(url).decode())
        t = int(tags["#EXT-X-TARGETDURATION"])
        rule("EXT-X-TARGETDURATION never changes (4.3.3.1)", target in (None, t), "%s, then %d" % (target, t))
        target = t
        seq = int(tags["#EXT-X-MEDIA-SEQUENCE"])
        rule("the media sequence never goes back (6.2.1)", last_seq is None or seq >= last_seq, "%s" % seq)
        last_seq = seq
        for n, s in enumerate(segments):
            rule("every EXTINF rounds to at most the target (4.3.3.1)", round(s["duration"]) <= target,
                 "%.3f" % s["duration"])
            rule("no discontinuity in one run", "#EXT-X-DISCONTINUITY" not in s, s["uri"])
            rule("every segment has its program date and time (4.3.2.6)", "#EXT-X-PROGRAM-DATE-TIME" in s, s["uri"])
            if seq + n in seen:
                rule("a segment keeps its URI across reloads (6.2.2)", seen[seq + n] == s["uri"], s["uri"])
            elif checked < 6:
                ts_segment_check(get(base + s["uri"]), "segment %d" % (seq + n))
                checked += 1
            seen[seq + n] = s["uri"]
        time.sleep(t / 2.0)
    report_rules()
    check(len(seen) >= seconds / max(target, 1) - 3, "%d segments came in %d s" % (len(seen), seconds))


# ---- figures ----------------------------------------------------------------------

def record_boxes(path):
    """(stream type, size) of each box of a QBox stream file."""
    boxes, data = [], open(path, "rb").read()
    pos = 0
    while pos + 24 <= len(data):
        size, = struct.unpack(">I", data[pos:pos + 4])
        boxes.append((struct.unpack(">H", data[pos + 12:pos + 14])[0], size))
        pos += max(size, 24)
    return boxes


def figures(metrics, record):
    text = open(metrics).read()
    values = {m.group(1): int(float(m.group(2))) for m in re.finditer(r"^(\S+) (\S+)$", text, re.M)}
    video = values['vozirev_samples_total{medium="video"}']
    audio = values['vozirev_samples_total{medium="audio"}']
    # The metrics were made between two samples: the first video + audio
    # boxes the device delivered are those the program had read.
    boxes = record_boxes(record)[:video + audio]
    for medium, kind, count in (("video", 2, video), ("audio", 1, audio)):
        delivered = [size for t, size in boxes if t == kind]
        got = values['vozirev_sample_bytes_total{medium="%s"}' % medium]
        check(len(delivered) == count and sum(delivered) == got,
              "%s: %d samples, %d bytes in /metrics; the device's record: %d samples, %d bytes"
              % (medium, count, got, len(delivered), sum(delivered)))


# ---- hostile clients -------------------------------------------------------------

def connect(host, port):
    s = socket.create_connection((host, port), timeout=30)
    return s


def answer(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data.split(b"\r\n")[0].decode(errors="replace")


def closed_within(s, limit):
    start = time.time()
    s.settimeout(limit)
    try:
        while s.recv(4096):
            pass
        return time.time() - start
    except socket.timeout:
        return None


def hostile(host, port):
    for request, status, what in (
            (b"GET /" + b"a" * 3000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", "414", "a long request line"),
            (b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"b" * 9000 + b"\r\n\r\n", "431", "a header section past the buffer"),
            (b"POST /status HTTP/1.1\r\nHost: x\r\nContent-Length: 9999\r\n\r\n", "413", "a body past the limit"),
            (b"GET / HTTP/1.1\r\n\r\n", "400", "HTTP/1.1 without Host"),
            (b"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "400", "a chunked body (the core takes none)"),
            (b"DELETE /status HTTP/1.1\r\nHost: x\r\n\r\n", "405", "another method"),
            (b"GET / HTTP/2.0\r\nHost: x\r\n\r\n", "505", "another version")):
        s = connect(host, port)
        s.sendall(request)
        line = answer(s)
        check(line.split(" ")[1:2] == [status], "%s: %s" % (what, line))
        s.close()
    s = connect(host, port)
    s.sendall(b"".join(b"GET /status?%d HTTP/1.1\r\nHost: x\r\n\r\n" % i for i in range(20)))
    s.settimeout(30)
    data = b""
    while data.count(b"HTTP/1.1 200") < 20:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    check(data.count(b"HTTP/1.1 200") == 20, "20 pipelined requests, 20 answers on one connection")
    s.close()
    s = connect(host, port)
    s.sendall(b"GET / HTTP/1.1\r\nHo")
    took = closed_within(s, 20)
    check(took is not None and 4 <= took <= 12, "an unfinished request is closed after %s s" % took)
    s = connect(host, port)
    s.sendall(b"GET /status HTTP/1.1\r\nHost: x\r\n\r\n")
    answer(s)
    took = closed_within(s, 40)
    check(took is not None and 10 <= took <= 25, "an idle kept-alive connection is closed after %s s" % took)
    flood = [connect(host, port) for _ in range(40)]
    s = connect(host, port)
    s.sendall(b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    check(answer(s).startswith("HTTP/1.1 200"), "a real client is served past 40 idle connections")
    for f in flood + [s]:
        f.close()


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "hls":
        hls(sys.argv[2], int(sys.argv[3]))
    elif mode == "figures":
        figures(sys.argv[2], sys.argv[3])
    else:
        hostile(sys.argv[2], int(sys.argv[3]))
    print("%s: %d failed" % (mode, len(failures)))
    sys.exit(1 if failures else 0)
