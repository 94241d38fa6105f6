#!/usr/bin/python3
# GStreamer as the other end of a duplex: udpsrc and udpsink share one
# Gio.Socket bound to 127.0.0.1:<local>, so it sends from the port it
# receives on (symmetric RTP). Every RTP packet received is printed as
# "RTP <payload type> <payload in hex>". Mode "l16" sends a live tone as L16
# (8000 Hz, mono, payload type 96); mode "text" sends the real-time text
# "from gst" (payload type 113) every 200 ms. Prints "READY" once both
# pipelines play and runs until it is interrupted.
import signal
import struct
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib, Gst  # noqa: E402

local, remote, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
Gst.init(None)
sock = Gio.Socket.new(Gio.SocketFamily.IPV4, Gio.SocketType.DATAGRAM, Gio.SocketProtocol.UDP)
sock.bind(Gio.InetSocketAddress.new_from_string("127.0.0.1", local), True)

recv = Gst.parse_launch("udpsrc name=src caps=application/x-rtp ! appsink name=out emit-signals=true sync=false")
recv.get_by_name("src").set_property("socket", sock)


def on_sample(sink):
    buf = sink.emit("pull-sample").get_buffer()
    data = buf.extract_dup(0, buf.get_size())
    if len(data) >= 12 and data[0] >> 6 == 2:
        offset = 12 + 4 * (data[0] & 0x0F)
        if data[0] & 0x10 and len(data) >= offset + 4:
            offset += 4 + 4 * struct.unpack("!H", data[offset + 2:offset + 4])[0]
        print(f"RTP {data[1] & 0x7F} {data[offset:].hex()}", flush=True)
    return Gst.FlowReturn.OK


recv.get_by_name("out").connect("new-sample", on_sample)

if mode == "l16":
    send = Gst.parse_launch("audiotestsrc is-live=true ! audio/x-raw,format=S16BE,rate=8000,channels=1 ! "
                            "rtpL16pay pt=96 ! udpsink name=sink sync=false async=false")
else:
    send = Gst.parse_launch("appsrc name=app is-live=true caps=application/x-rtp ! "
                            "udpsink name=sink sync=false async=false")
sink = send.get_by_name("sink")
sink.set_property("socket", sock)
sink.set_property("host", "127.0.0.1")
sink.set_property("port", remote)

seq = [0]


def send_text():
    seq[0] += 1
    text = b"from gst"
    packet = struct.pack("!BBHII", 0x80, 113, seq[0] & 0xFFFF, seq[0] * 8, 0x47535401) + text
    send.get_by_name("app").emit("push-buffer", Gst.Buffer.new_wrapped(packet))
    return True


recv.set_state(Gst.State.PLAYING)
send.set_state(Gst.State.PLAYING)
if mode != "l16":
    GLib.timeout_add(200, send_text)
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
print("READY", flush=True)
loop.run()
send.set_state(Gst.State.NULL)
recv.set_state(Gst.State.NULL)
