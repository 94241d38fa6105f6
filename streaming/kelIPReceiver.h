#pragma once
// TkelIPReceiver: the receiving end of the IP streaming pair. It receives
// from the address named by its URI and hands payloads on to its consumers
// as a pipe provider; real-time text does not go down the pipe but comes out
// of onText as UTF-16.
//
// For a unicast rtp or udp URI it does not wait passively: it sends hole
// packets to the transmitter (an SDES and an APP "HELO" to its RTCP port, a
// comfort-noise packet to its RTP port), which make the transmitter add it
// as a destination and keep address translators open. Until the
// transmitter is heard they are sent again every 500 ms for the first 5 s,
// then at each report time, so a receiver may start before its transmitter;
// once heard, again when the transmitter may have restarted (the RTP
// receiver took a new SSRC from its address, its BYE, its reports overdue)
// and every 2.5 s while its RTP is quiet (see kelIPReceiverHoles). However
// many members the RTCP table holds, they add no more than one set per
// report time. A tcp URI connects to the host and port it names and reads
// raw payloads from the stream; no holes are sent.
//
// The first packet of each open decides the format when its payload type
// says one: our own dynamic types 110..121 (with customPayloadAware), the
// static types 0, 3, 5, 6, 8, 10, 11, 14, 16 and 17, or the SDP's dynamic
// type. Consumers learn it as a 40-byte format block. 16-bit linear PCM
// is handed on in host order. With doEncode the coded encodings (G.711,
// DVI4/VDVI, GSM, MPEG audio, Speex, CELT, G.722.1) are decoded to 16-bit
// PCM, which the block announces; payloads that do not parse for their
// encoding are dropped and counted (droppedPayloads). Without doEncode, or
// for encodings without a decoder, data passes through as it came, G.711
// with a block that names its law and 8 bits a sample.
//
// Text comes plain or, when the SDP offers "red", with redundancy: lost
// packets are recovered from the generations the next one carries. U+FEFF
// keep-alives never reach onText.
//
// Threads. open/close, the properties and the event setters belong to the
// window thread, while the component is closed. Payloads arrive on the RTP
// receiver's thread; doWrite, the consumers fed from it and the events
// (onRTPHeader, onRAWDataWrite, onText) run there, so a window must post
// what it shows. Hole repeats run on the RTCP stack's idle thread. Blocks
// handed to events and consumers are valid only during the call.
//
// Make with kelCreate, free with kelFree.

#include "codecs/kelADPCM.h"
#include "streaming/kelIPDecoders.h"
#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPReceiverHoles.h"
#include "streaming/kelIPStreamerEvents.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class kelHTTPparser;
class kelIPReceiverMpegTS;
class kelRTPReceiver;
class kelT140Receive;
class mpegTSDemuxer;
class RTSPRec;
class shoutReceiver;
class TkelIPDuplex;
struct kelIPReceiverSession;

class TkelIPReceiver : public kelIPStreamer
{
public:
    explicit TkelIPReceiver(kelComponent* owner = nullptr);
    ~TkelIPReceiver() override;

    // Raised with each received text, zero-terminated UTF-16.
    void setOnText(kelmtIPReceiverTextEvent handler);
    // Raised with the header and payload of each RTP packet (not for raw
    // datagrams, which have no header, nor for empty payloads).
    void setOnRTPHeader(kelmtIPReceiverRTPHdr handler);
    // Raised with each payload handed to doWrite, before it is decoded.
    void setOnRAWDataWrite(kelmtIPReceiverRAWWrite handler);

    // The local RTP port bound, "<none>" while there is no RTP receiver.
    kelString portLocal();
    // The RTP receiver of the last open, null before the first. It lives
    // until the next open or destruction.
    kelRTPReceiver* rec();

    // The transmitter we punch for was replaced by another (its SSRC
    // changed): send the hole packets again at once, so the new one learns
    // where we are. Called by the receive path when it sees the change; any
    // thread.
    void transmitterRestarted();
    // The transport stream demultiplexer of the last open, null before the
    // first; its tables tell what the stream carries. The RTP receiver's
    // thread works on it: read it while that thread is stopped, or accept
    // the tables' own locking.
    mpegTSDemuxer* mpegTS_demuxer() noexcept;

    // When the hole packets are repeated, and what is known of the
    // transmitter.
    const kelIPReceiverHoles& holes() const noexcept { return f_holes; }

    // Payloads dropped because they do not parse for their encoding (CELT
    // length bytes past the end or too many frames or streams, DVI4 without
    // samples behind its header, GSM or G.722.1 that is not whole frames).
    // Any thread.
    uint64_t droppedPayloads() const noexcept { return f_dropped.load(); }
    // The STUN server that tells an rtsp session the public ports of its
    // sockets: "stun://host[:port]" or "stun:host[:port]" (port 3478 when
    // none is given). Any other text, a plain host among them, is ignored.
    // Window thread, while closed.
    void setSTUNserver(const kelString& value);
    // The session id of the rtsp session (empty before its SETUP was
    // answered), and the SSRC its SETUP answer named (hasServerSSRC false
    // when it named none).
    kelString rtspSession();
    bool hasServerSSRC();
    uint32_t rtspServerSSRC();
    // Belongs to a duplex, which feeds it what its own socket receives.
    bool mastered() const noexcept { return f_master != nullptr; }

    kelString _classID() const override { return u"TkelIPReceiver"; }

protected:
    // The rtsp session, on the RTSP client's thread: an answer to `request`
    // (sent to `uri` with `control`), or the failure `code` of one.
    virtual void onRTSPReply(const kelString& uri, const kelString& control, intptr_t request,
                             const kelHTTPparser& response);
    virtual void onRTSPError(const kelString& uri, const kelString& control, intptr_t request, intptr_t code);

    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    bool doOpen() override;
    void doClose() override;
    // The base value; an open receiver whose RTP thread has ended (a TCP
    // listener that could not bind, a socket that failed) reads closed from
    // then on, and its idle ticks stop.
    bool isActive() override;
    // Besides the base: the URI's user name (when given) becomes the CNAME's
    // user part and _SSRC the SSRC of the RTP receiver's next start.
    void applyRTPOptions() override;
    kelRTCPstack* getRTCP() override;
    void doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                        intptr_t bitrate) override;
    void onMemberSilent(const rtp_site_info* member) override;
    void setRemoteAddresses(intptr_t kind, const kelString& host, const kelString& portRTP,
                            const kelString& portRTCP) override;
    // The transmitter's reports feed the hole plan; a BYE from the
    // transmitter's host that names the transmitter punches at once.
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override;
    void beforeDestruction() override;

    // RTP thread, each RTP packet with a payload: raises onRTPHeader.
    virtual void doRTPHeader(const rtp_hdr* hdr, const void* data, uint32_t len);
    // Turns a text payload into onText (nothing for an empty one, nor for
    // one of U+FEFF keep-alives only, which are dropped; NUL characters are
    // dropped too, so the zero-terminated text carries all the rest). Bad or
    // cut UTF-8 comes out as U+FFFD, never as a shortened text.
    virtual void doText(const void* data, uint32_t len);
    // Raw mode, the first datagram of an open: with mpegTS_aware, a datagram
    // of whole transport stream packets switches mpegTS_enabled on for the
    // open and is taken (true); anything else switches it off and goes on
    // as payload.
    virtual bool doMpegTSFirstPacket(const uint8_t* data, size_t len);
    // A STUN message that came in on the RTP port, where peers that run ICE
    // send their connectivity checks. The RTP receiver's thread; `data`
    // lives during the call only. Nothing is done with it yet: it is
    // dropped, and never counts against the RTP stream.
    virtual void doSTUN(const sockaddr_in& from, const uint8_t* data, size_t size);

    // The payload path of one received packet: `header` points to its RTP
    // header (unused when `raw`), `payload` to `size` payload bytes. The RTP
    // receiver's thread; a test or fuzz driver may feed it directly.
    void receivePacket(const uint8_t* header, const uint8_t* payload, size_t size, bool raw);
    // The RTP receiver's thread: an RTP packet whose (validated) header is
    // at `header` came from `from`; RTP from the transmitter's address
    // keeps its SSRC and time for the hole plan (the RTP receiver has
    // decided which SSRC is the transmitter's). A fuzz driver may call it.
    void noteRTPFrom(const sockaddr_in& from, const uint8_t* header);
    // Opens the library decoders (MPEG audio, Speex, CELT) as an open does,
    // and closes them; for a driver that feeds receivePacket itself.
    void openDecoders();
    void closeDecoders();
    // The CELT decoder of the current format, null when there is none. A
    // subclass may set how many streams each frame of a payload carries
    // (f_numStreams); the next format change makes a one-stream decoder.
    celtDecoder* decoderCELT() noexcept { return f_decoderCELT.get(); }

private:
    // --- Audio decoding (kelIPReceiverDecoding.cpp) -------------------------------------
    // The MPEG audio decoder and the Speex binding, made once.
    void makeLibraryDecoders();
    // doFormatChange: the decoder of the new encoding.
    void makeDecoder(intptr_t rate, intptr_t channels, intptr_t encoding, intptr_t bitrate);
    // Decodes one payload of a coded encoding and hands the PCM on; false
    // for the encodings that pass as they are.
    bool decodeCoded(intptr_t encoding, const uint8_t* data, uint32_t len);
    // A CELT payload of several frames: each frame to write() in order.
    // False when there is no CELT decoder that reads length prefixes.
    bool splitCeltFrames(const uint8_t* payload, size_t size);
    void decodedOut(const uint8_t* pcm, size_t bytes);
    void dropPayload() noexcept { f_dropped.fetch_add(1); }
    // Datagrams start whole frames; a TCP stream may cut one anywhere.
    bool framedInput() const noexcept { return socketType() != kelIPSocketTCP; }

    // Guards the decoders: replaced by format changes, used by the packet
    // thread; re-entered by an MPEG format report.
    std::recursive_mutex f_decoderGuard;
    kelOwned<mpegDecoder> f_decoderMPEG;
    std::unique_ptr<kelSpeexLib> f_speexLib;
    kelOwned<speexDecoder> f_decoderSpeex;
    kelOwned<kelADPCM_decoder> f_decoderADPCM;
    kelOwned<celtDecoder> f_decoderCELT;
    kelOwned<G7221decoder> f_decoderG7221;
    kelOwned<GSMdecoder> f_decoderGSM;
    std::atomic<uint64_t> f_dropped{0};
    friend class RTSPRec;
    friend class shoutReceiver;
    friend class TkelIPDuplex;
    // Session transports (rtsp, http) and the duplex's fed receiver; in
    // kelIPReceiverRTSP.cpp, kelIPReceiverSHOUT.cpp, kelIPReceiverFed.cpp.
    bool openRTSP();
    void closeRTSP();
    bool openSHOUT();
    void closeSHOUT();
    bool openMastered();
    // The session transport or the RTP thread has ended while open.
    bool transportEnded();
    bool sessionTransportEnded();
    // The part of an RTSP answer that sets up the stream (client thread).
    void rtspDescribed(const kelString& uri, const kelHTTPparser& response);
    void rtspSetUp(const kelHTTPparser& response);
    void rtspFailed(const kelString& text);
    // The public RTP and RTCP ports to announce (client thread).
    void clientPorts(uint16_t& rtp, uint16_t& rtcp);
    // From the duplex: a packet its socket received (its receiving thread).
    void receiveFromMaster(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload,
                           size_t size);
    void makeRTPReceiver(bool socketless, bool raw, bool noRTCP);
    void prepareFedReceiver();

    // The RTP receiver replaced the transmitter's SSRC by `ssrc`.
    void transmitterChangedTo(uint32_t ssrc);
    class rtpReceiver;
    friend class rtpReceiver;

    void sendHoles(bool withHELO);
    // The full set now, noted in the plan.
    void punchNow();
    // Unicast UDP with a known transmitter: the repeats follow f_holes.
    bool punchesByPlan();
    // `from` is the transmitter's RTP address (or, for `rtcp`, its host).
    bool isFromTransmitter(const sockaddr_in& from, bool rtcp);
    // RTCP idle thread, every tick, before the silent members are told.
    void receiverIdle(bool timerExpired);

    // RTP thread: a packet of the SDP's redundant text type, or one laid
    // out as redundancy of the text type.
    void receiveRedundantText(const rtp_hdr& hdr, const uint8_t* payload, size_t size);
    // The payload type of plain text: the SDP's when it maps text, else
    // ours (113) when custom payloads are known, else -1.
    int textPayloadType() const noexcept;
    // The first packet is text of `textType`: the format becomes text.
    void switchToText(int textType);
    // A datagram of the transport stream to the TS reader (RTP thread).
    void receiveMpegTS(const uint8_t* data, size_t len);
    // L16 from network order to the consumers (RTP thread).
    void swapL16On(const uint8_t* in, uint32_t len);
    // The RTP receiver's thread has started a run.
    void onReceiverStarted();

    kelOwned<rtpReceiver> f_rec;
    // The TS reader, made at each open while the RTP thread is stopped.
    std::unique_ptr<kelIPReceiverMpegTS> f_mpegTS;
    std::atomic<bool> f_firstPacket{true};
    // The RTP thread's, reset by each open.
    std::unique_ptr<kelT140Receive> f_text;
    // The RTP thread's: the first byte of a sample whose second byte has
    // not been read yet (TCP), or -1.
    int f_l16Carry = -1;
    // Where the holes go: set at open, read by the hole repeats.
    std::mutex f_addrGuard;
    intptr_t f_addrST = 0;
    sockaddr_in f_addrRTP{};
    sockaddr_in f_addrRTCP{};
    std::atomic<bool> f_noHoles{false};
    kelIPReceiverHoles f_holes;
    // Report timer expiries seen, and the last one a set of holes went out
    // in (idle thread).
    std::atomic<uint64_t> f_expiry{0};
    std::atomic<uint64_t> f_servedExpiry{0};
    // Guards the handlers; they are copied out and called unguarded.
    std::mutex f_eventGuard;
    kelmtIPReceiverTextEvent f_onText;
    kelmtIPReceiverRTPHdr f_onRTPHdr;
    kelmtIPReceiverRAWWrite f_onRAWWrite;
    std::unique_ptr<kelIPReceiverSession> f_session;
    // The duplex this receiver belongs to; set once, before the first open.
    kelIPStreamer* f_master = nullptr;
};
