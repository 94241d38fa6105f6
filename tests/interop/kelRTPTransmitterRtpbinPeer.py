#!/usr/bin/python3
# A GStreamer rtpbin session that receives one L16 stream on 127.0.0.1 and
# prints what its RTCP side learns about the sender, one line per fact:
#   READY
#   SR <ssrc> <packet count> <octet count>
#   CNAME <ssrc> <cname>
#   BYE <ssrc>
# Arguments: RTP port to listen on, RTCP port of the sender (our reports go
# back there), clock rate, payload type. Runs until killed.
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

rtp_port, sender_rtcp_port, rate, pt = (int(a) for a in sys.argv[1:5])
Gst.init(None)
pipeline = Gst.parse_launch(
    f"rtpbin name=rb "
    f"udpsrc address=127.0.0.1 port={rtp_port} "
    f'caps="application/x-rtp,media=audio,clock-rate={rate},encoding-name=L16,channels=1,payload={pt}" '
    f"! rb.recv_rtp_sink_0 "
    f"udpsrc address=127.0.0.1 port={rtp_port + 1} ! rb.recv_rtcp_sink_0 "
    f"rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port={sender_rtcp_port} sync=false async=false"
)
rtpbin = pipeline.get_by_name("rb")
said = set()


def say(line):
    if line in said:
        return
    said.add(line)
    print(line, flush=True)


def on_pad_added(_bin, pad):
    if pad.get_name().startswith("recv_rtp_src_"):
        sink = Gst.ElementFactory.make("fakesink")
        sink.set_property("async", False)
        pipeline.add(sink)
        sink.sync_state_with_parent()
        pad.link(sink.get_static_pad("sink"))


def source(ssrc):
    session = rtpbin.emit("get-internal-session", 0)
    return session.emit("get-source-by-ssrc", ssrc) if session else None


def poll_sources():
    session = rtpbin.emit("get-internal-session", 0)
    if session is None:
        return True
    for src in session.get_property("sources"):
        stats = src.get_property("stats")
        if stats.get_value("internal"):
            continue
        ssrc = stats.get_value("ssrc")
        if stats.get_value("have-sr"):
            say(f"SR {ssrc} {stats.get_value('sr-packet-count')} {stats.get_value('sr-octet-count')}")
        sdes = src.get_property("sdes")
        if sdes is not None and sdes.has_field("cname"):
            say(f"CNAME {ssrc} {sdes.get_value('cname')}")
    return True


def on_bye(_bin, _session, ssrc):
    poll_sources()
    say(f"BYE {ssrc}")


rtpbin.connect("pad-added", on_pad_added)
rtpbin.connect("on-bye-ssrc", on_bye)
pipeline.set_state(Gst.State.PLAYING)
GLib.timeout_add(50, poll_sources)
say("READY")
GLib.MainLoop().run()
