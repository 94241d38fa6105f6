#!/usr/bin/python3
# GStreamer's RTSP server as the peer of our RTSP client: one shared media
# factory at /s (a live test tone through rtpL16pay name=pay0), bound to
# 127.0.0.1 (or the address given as its argument) on a port the system
# picks (service "0"). Prints "PORT <n>" once it listens and runs until it is
# interrupted.
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1")
server.set_service("0")
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch("( audiotestsrc is-live=true ! audio/x-raw,rate=8000,channels=1 ! audioconvert ! "
                   "rtpL16pay name=pay0 pt=96 )")
factory.set_shared(True)
server.get_mount_points().add_factory("/s", factory)
if server.attach(None) == 0:
    sys.exit("the server did not attach")
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
print(f"PORT {server.get_bound_port()}", flush=True)
loop.run()
