#!/usr/bin/python3
# GStreamer's RTSP server for the fan-out benchmark: one shared media at /s,
# a live 8 kHz mono tone in 20 ms buffers through rtpL16pay (one 320-byte
# payload per packet, as our transmitter sends it), on 127.0.0.1 at a port
# the system picks. Prints "PORT <n>" once it listens; runs until stopped.
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service("0")
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch("( audiotestsrc is-live=true samplesperbuffer=160 ! audio/x-raw,rate=8000,channels=1 ! "
                   "audioconvert ! rtpL16pay name=pay0 pt=98 min-ptime=20000000 max-ptime=20000000 )")
factory.set_shared(True)
server.get_mount_points().add_factory("/s", factory)
if server.attach(None) == 0:
    sys.exit("the server did not attach")
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
print(f"PORT {server.get_bound_port()}", flush=True)
loop.run()
