#!/usr/bin/python3
"""Headless Chromium on the live page, driven over WebDriver (W3C, plain
HTTP and JSON, so the standard library's urllib is the whole client; the
DevTools protocol would need a WebSocket client the standard library lacks).

  http_browser.py URL SECONDS OUTDIR

Opens URL, waits for the picture, then checks over SECONDS: the video
element's time advances, two screenshots of the video differ (the test
pattern moves) and hold a picture (not one colour), the figures on the page
change, and the browser's console has no error. Prints the latency from a
sample leaving the device to its picture (window.vozirev.latencyMs, from
EXT-X-PROGRAM-DATE-TIME and hls.js's playingDate). Exit 1 on a failure."""
import base64, json, os, socket, struct, subprocess, sys, tempfile, time, urllib.request, zlib

CHROME_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--autoplay-policy=no-user-gesture-required", "--window-size=1000,700"]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


class WebDriver:
    def __init__(self, profile):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen(["/usr/bin/chromedriver", "--port=%d" % self.port],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                self.call("GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        caps = {"browserName": "chrome", "goog:loggingPrefs": {"browser": "ALL"},
                "goog:chromeOptions": {"binary": "/usr/bin/chromium",
                                       "args": CHROME_ARGS + ["--user-data-dir=" + profile]}}
        self.session = self.call("POST", "/session", {"capabilities": {"alwaysMatch": caps}})["sessionId"]

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=120) as response:
            return json.load(response)["value"]

    def do(self, method, path, body=None):
        return self.call(method, "/session/%s%s" % (self.session, path), body)

    def script(self, source):
        return self.do("POST", "/execute/sync", {"script": source, "args": []})

    def close(self):
        try:
            self.do("DELETE", "")
        finally:
            self.proc.terminate()
            self.proc.wait()


def png_pixels(data):
    """(width, height, rows of RGB(A) bytes) of an 8-bit non-interlaced PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + size]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", chunk[:10])
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + size
    bpp = {2: 3, 6: 4}[colour]
    raw, rows, prev = zlib.decompress(idat), [], bytearray(width * bpp)
    stride = width * bpp
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):  # the five filters of PNG (RFC 2083, 6)
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, bpp, rows


def video_shot(driver, path):
    element = driver.do("POST", "/element", {"using": "css selector", "value": "#video"})
    eid = list(element.values())[0]
    data = base64.b64decode(driver.do("GET", "/element/%s/screenshot" % eid))
    with open(path, "wb") as f:
        f.write(data)
    return png_pixels(data)


def compare(shot1, shot2):
    w, h, bpp, rows1 = shot1
    rows2 = shot2[3]
    changed = sum(1 for y in range(h) for x in range(0, w * bpp, bpp) if rows1[y][x:x + 3] != rows2[y][x:x + 3])
    colours = {rows1[y][x:x + 3] for y in range(0, h, 4) for x in range(0, w * bpp, 4 * bpp)}
    return changed / float(w * h), len(colours)


def main(url, seconds, outdir):
    driver = WebDriver(tempfile.mkdtemp(prefix="vozirev-chromium-"))
    try:
        driver.do("POST", "/url", {"url": url})
        start = time.time()
        while time.time() - start < 90 and (driver.script("return document.getElementById('video').currentTime") or 0) <= 0.5:
            time.sleep(0.5)
        t0 = driver.script("return document.getElementById('video').currentTime")
        check(t0 > 0.5, "the picture plays (video time %.2f s after %.0f s)" % (t0, time.time() - start))
        figures0 = driver.script("return document.getElementById('video-samples').textContent")
        shot1 = video_shot(driver, os.path.join(outdir, "live1.png"))
        latencies = []
        for _ in range(int(seconds)):
            time.sleep(1)
            latency = driver.script("return window.vozirev.latencyMs")
            if latency is not None:
                latencies.append(latency)
        t1 = driver.script("return document.getElementById('video').currentTime")
        figures1 = driver.script("return document.getElementById('video-samples').textContent")
        shot2 = video_shot(driver, os.path.join(outdir, "live2.png"))
        check(t1 - t0 >= seconds * 0.6, "video time advanced %.2f s over %d s" % (t1 - t0, seconds))
        changed, colours = compare(shot1, shot2)
        check(changed > 0.01 and colours > 20, "screenshots differ in %.1f %% of the video, %d colours"
              % (changed * 100, colours))
        check(figures0 != figures1, "figures change on the page (video samples %s, then %s)" % (figures0, figures1))
        errors = [e for e in driver.do("POST", "/se/log", {"type": "browser"}) if e.get("level") == "SEVERE"]
        for e in errors:
            print("console: " + e.get("message", ""))
        check(not errors, "no error in the browser's console")
        check(latencies != [], "latency measured")
        if latencies:
            latencies.sort()
            print("latency from the device to the picture: median %.2f s, max %.2f s over %d readings (goal < 4 s)"
                  % (latencies[len(latencies) // 2] / 1000, latencies[-1] / 1000, len(latencies)))
    finally:
        driver.close()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], int(sys.argv[2]), sys.argv[3]))
