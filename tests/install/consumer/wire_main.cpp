// A program outside the project that builds and parses packets with the
// installed wire-format library alone: it links kel::rtp_wire and nothing
// else of kel, so a wire source that needed another kel library would fail
// to link here.
#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTPHeader.h"

#include <cstdint>

int main()
{
    uint8_t packet[kelRTPHeaderSize + 2] = {};
    rtpWriteHeader(packet, true, 113, 0x1234, 0x01020304, 0x0BE4C4ED);
    packet[12] = 'h';
    packet[13] = 'i';
    kelRTPPacketInfo info;
    if (!rtpParsePacket(packet, sizeof packet, info)) return 1;
    if (packet[0] != 0x80 || packet[1] != (0x80 | 113) || packet[2] != 0x12 || packet[3] != 0x34) return 2;
    if (info.header.seq() != 0x1234 || info.header.ssrc() != 0x0BE4C4ED) return 3;
    if (info.payloadOffset != kelRTPHeaderSize || info.payloadSize != 2) return 4;
    uint8_t ntp[8] = {};
    ntpWrite(ntp, ntpFromUnixMs(0)); // the Unix epoch is 2208988800 s into the NTP era
    return ntp[0] == 0x83 && ntp[1] == 0xAA && ntp[2] == 0x7E && ntp[3] == 0x80 && ntp[4] == 0 ? 0 : 5;
}
