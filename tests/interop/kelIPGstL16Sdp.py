#!/usr/bin/python3
# Writes the session description GStreamer gives an rtpL16pay stream: the
# payloader negotiates on one buffer, and GStreamer's SDP library turns its
# caps into the media description (as its RTSP server does). Nothing is
# sent. Arguments: output file, sampling rate, channels, payload type, the
# port named in the description.
import ctypes
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

out, rate, channels, pt, port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
Gst.init(None)
pipeline = Gst.parse_launch(
    f"audiotestsrc num-buffers=1 ! audio/x-raw,format=S16BE,rate={rate},channels={channels} ! "
    f"rtpL16pay name=pay pt={pt} ! fakesink")
pipeline.set_state(Gst.State.PLAYING)
done = pipeline.get_bus().timed_pop_filtered(10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
caps = pipeline.get_by_name("pay").get_static_pad("src").get_current_caps()
pipeline.set_state(Gst.State.NULL)
if done is None or done.type != Gst.MessageType.EOS or caps is None:
    sys.exit("the payloader did not negotiate")

# The introspected set_media_from_caps hands back an uninitialised media
# record, so the SDP library is called directly.
gst = ctypes.CDLL("libgstreamer-1.0.so.0")
sdp = ctypes.CDLL("libgstsdp-1.0.so.0")
gst.gst_caps_from_string.restype = ctypes.c_void_p
gst.gst_caps_from_string.argtypes = [ctypes.c_char_p]
sdp.gst_sdp_message_as_text.restype = ctypes.c_void_p
sdp.gst_sdp_message_as_text.argtypes = [ctypes.c_void_p]
media = ctypes.c_void_p()
message = ctypes.c_void_p()
c_caps = ctypes.c_void_p(gst.gst_caps_from_string(caps.to_string().encode()))
checks = [
    sdp.gst_sdp_media_new(ctypes.byref(media)),
    sdp.gst_sdp_media_set_media_from_caps(c_caps, media),
    sdp.gst_sdp_media_set_proto(media, b"RTP/AVP"),
    sdp.gst_sdp_media_set_port_info(media, ctypes.c_uint(port), ctypes.c_uint(1)),
    sdp.gst_sdp_message_new(ctypes.byref(message)),
    sdp.gst_sdp_message_set_version(message, b"0"),
    sdp.gst_sdp_message_set_origin(message, b"-", b"1", b"1", b"IN", b"IP4", b"127.0.0.1"),
    sdp.gst_sdp_message_set_session_name(message, b"kel interop"),
    sdp.gst_sdp_message_set_connection(message, b"IN", b"IP4", b"127.0.0.1", ctypes.c_uint(0), ctypes.c_uint(0)),
    sdp.gst_sdp_message_add_time(message, b"0", b"0", None),
    sdp.gst_sdp_message_add_media(message, media),
]
if any(c != 0 for c in checks):
    sys.exit("the SDP library failed: %r" % checks)
with open(out, "wb") as f:
    f.write(ctypes.string_at(sdp.gst_sdp_message_as_text(message)))
