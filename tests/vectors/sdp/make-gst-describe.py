#!/usr/bin/python3
# Writes the answer of a GStreamer RTSP server to a DESCRIBE request, byte
# for byte, to the file named by the first argument. The server listens on
# 127.0.0.1 only and is stopped when the answer has arrived.
#   apt-get install python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
#   /usr/bin/python3 make-gst-describe.py gstreamer-describe.rtsp
import socket
import sys
import threading

import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer

Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service("0")
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch("( audiotestsrc is-live=true ! audioconvert ! audio/x-raw,rate=8000,channels=1 ! "
                   "mulawenc ! rtppcmupay name=pay0 pt=0 "
                   "audiotestsrc is-live=true ! audioconvert ! audio/x-raw,rate=44100,channels=2 ! "
                   "rtpL16pay name=pay1 pt=96 )")
server.get_mount_points().add_factory("/test", factory)
server.attach(None)
port = server.get_bound_port()
loop = GLib.MainLoop()
answer = bytearray()


def describe():
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(("DESCRIBE rtsp://127.0.0.1:%d/test RTSP/1.0\r\nCSeq: 2\r\n"
                   "Accept: application/sdp\r\nUser-Agent: kelRTPSClient/1.1\r\n\r\n" % port).encode())
        while True:
            head, sep, body = answer.partition(b"\r\n\r\n")
            if sep:
                length = [int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")]
                if length and len(body) >= length[0]:
                    break
            chunk = s.recv(4096)
            if not chunk:
                break
            answer.extend(chunk)
    GLib.idle_add(loop.quit)


threading.Thread(target=describe, daemon=True).start()
GLib.timeout_add_seconds(20, loop.quit)
loop.run()
with open(sys.argv[1], "wb") as f:
    f.write(answer)
