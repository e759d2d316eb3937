#!/usr/bin/python3
# GStreamer's RTSP server (gst-rtsp-server through gir1.2-gst-rtsp-server-1.0)
# serving the capture program's -s 1 streams as the peer of bench_rtsp.sh:
#   bench_rtsp_gst.py RTSP_PORT VIDEO_PORT AUDIO_PORT
# listens on 127.0.0.1:RTSP_PORT and serves /live, one shared media for all
# clients: the H.264 and AAC RTP streams taken on the loopback ports,
# depayloaded and payloaded again per RFC 6184 and RFC 3640, as a
# gst-rtsp-server that serves an encoder's output does. Needs Debian's
# /usr/bin/python3 (python3-gi). Prints "ready" once it listens.
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

H264 = "application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=97"
AAC = ("application/x-rtp,media=audio,clock-rate=48000,encoding-name=MPEG4-GENERIC,payload=96,"
       "mode=(string)AAC-hbr,sizelength=(string)13,indexlength=(string)3,indexdeltalength=(string)3,"
       "config=(string)1190,streamtype=(string)5")


def main():
    port, video, audio = sys.argv[1:4]
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(
        f'( udpsrc address=127.0.0.1 port={video} buffer-size=4194304 caps="{H264}" ! rtph264depay '
        f'! rtph264pay name=pay0 pt=96 config-interval=-1 '
        f'udpsrc address=127.0.0.1 port={audio} buffer-size=4194304 caps="{AAC}" ! rtpmp4gdepay '
        f'! rtpmp4gpay name=pay1 pt=97 )')
    factory.set_shared(True)
    server.get_mount_points().add_factory("/live", factory)
    server.attach(None)
    print("ready", flush=True)
    GLib.MainLoop().run()


main()
