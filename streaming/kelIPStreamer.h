#pragma once
// kelIPStreamer: the common base of the IP transmitter and receiver pipes.
//
// It owns what both sides share: the stream URI (from which the transport is
// chosen, see setURI), the stream description (an SDP text read into the
// payload mapping and the current format), the RTCP and binding options,
// the names of external codec libraries, bandwidth measurement in both
// directions and an idle thread that ticks onIdle() every 100 ms while the
// component is open. It opens no socket and codes nothing itself: doWrite,
// the transport and the coders belong to the subclasses.
//
// Threads. Properties are meant to be set on the window thread while the
// component is closed; they may be read from any thread (texts are copied
// out under a guard). updateFormat() and the SDP setter may run on any
// thread (a receiver switches format on its first packet); the format events
// are raised on that thread, outside every guard. measureBandwidth() is
// called by the subclasses' network threads; onIdle() runs on the idle
// thread.
//
// Make with kelCreate (the default SDP is applied in afterConstruction, so a
// subclass sees its own doFormatChange), free with kelFree.

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"
#include "net/sockets/kelURICrack.h"
#include "pipes/kelMT_pipe.h"
#include "streaming/kelIPStreamerEvents.h"
#include "streaming/kelRTPMap.h"
#include "pipes/kelWaveFormat.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class kelIdleThread;
class kelRTCPstack;
class kelSDPParser;
struct rtp_site_info;

// protocol codes
inline constexpr intptr_t kelIPProtoUnknown = -1;
inline constexpr intptr_t kelIPProtoRAW = 1;  // raw payload over UDP or TCP ("udp", "tcp")
inline constexpr intptr_t kelIPProtoRTP = 2;  // "rtp"
inline constexpr intptr_t kelIPProtoRTSP = 3; // RTSP-controlled RTP ("rtsp", "rtspu")
inline constexpr intptr_t kelIPProtoHTTP = 5; // SHOUTcast/Icecast ("http")

// socketType codes
inline constexpr intptr_t kelIPSocketUDP = 1;
inline constexpr intptr_t kelIPSocketMulticast = 2; // IPv4 host 224.x.x.x .. 239.x.x.x
inline constexpr intptr_t kelIPSocketTCP = 4;

// Indexes of the external codec library names.
enum kelKnownLibEnum : int {
    c_lib_lame = 0, // MPEG audio encoder
    c_lib_celt = 1,
    c_lib_mpg = 2, // MPEG audio decoder
    c_lib_speex = 3,
    c_lib_speexDSP = 4,
};
inline constexpr int kelKnownLibCount = 5;

enum class kelBandwidthDir { in, out };

// The SDP a new streamer applies: 16-bit linear PCM, 8000 Hz, mono, as
// payload type 98.
inline constexpr char16_t kelIPStreamerDefaultSDP[] =
    u"v=0\r\nm=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/1\r\n\r\n";

class kelIPStreamer : public kelmtlInOutPipe
{
public:
    static constexpr size_t kScratchSize = 8000;
    static constexpr int64_t kBandwidthWindowMs = 2000;
    static constexpr intptr_t kBandwidthLockTimeout = 10;

    explicit kelIPStreamer(kelComponent* owner = nullptr);
    ~kelIPStreamer() override;

    // --- The stream address ---------------------------------------------------
    kelString URI() const;
    // Closes the component, takes `value` apart and chooses the transport by
    // its scheme: udp (raw, UDP or multicast), tcp (raw, TCP), rtp (RTP, UDP
    // or multicast, port 5004 by default), rtsp / rtspu (RTSP over TCP / UDP,
    // port 554 by default), http (SHOUTcast/Icecast over TCP, port 80); any
    // other scheme gives protocol -1. Without a port, udp and tcp keep the
    // port they had. A URI that does not split leaves every field as it was
    // and sets descriptionError to "Invalid URI, err=<code>". Window thread.
    virtual void setURI(const kelString& value);
    kelString uriHost() const;
    kelString uriPort() const;
    intptr_t protocol() const noexcept { return f_protocol.load(); }
    intptr_t socketType() const noexcept { return f_socketType.load(); }
    kelString URIuserName() const;
    void setURIuserName(const kelString& value);
    kelString URIuserPass() const;
    void setURIuserPass(const kelString& value);
    // The last URI that split.
    kelURICrack uriCrack() const;

    // --- The stream description -------------------------------------------------
    kelString SDP() const;
    // Applies a new SDP text (the same text again changes nothing): the
    // first media description's format, TTL and (unless SDPignorePort) port.
    // A text without media description selects 16-bit PCM at 8000 Hz, mono.
    void setSDP(const kelString& value);
    bool SDPignorePort() const noexcept { return f_SDPignoreP.load(); }
    void setSDPignorePort(bool value) noexcept { f_SDPignoreP.store(value); }
    // The streamer's own record; stable while the format does not change.
    // mappingCopy() is the safe read from another thread.
    const kelRTPMap* mapping() const noexcept { return &f_mapping; }
    kelRTPMap mappingCopy() const;
    // The payload type the SDP gives redundant text ("red"), -1 when it
    // offers none.
    intptr_t redundantTextType() const noexcept { return f_redType.load(); }
    // The payload type the SDP gives plain text ("t140"), -1 when it maps
    // another encoding. The mapping's own type stays the SDP's while the
    // format may change with what arrives.
    intptr_t sdpTextType() const noexcept { return f_sdpTextType.load(); }

    // The current format.
    intptr_t samplingRate() const noexcept { return f_sps.load(); }
    intptr_t numChannels() const noexcept { return f_nch.load(); }
    intptr_t bitsPerSample() const noexcept { return f_bits.load(); }
    intptr_t encoding() const noexcept { return f_enc.load(); }
    intptr_t bitrate() const noexcept { return f_br.load(); }
    void setBitrate(intptr_t value) noexcept { f_br.store(value); }
    // Every argument below 1 keeps the current value. When nothing changes,
    // nothing happens; otherwise the new values are stored and
    // doFormatChange() runs with all five. Any thread.
    void updateFormat(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding, intptr_t bitrate);
    // Samples per frame: the RTP timestamp step of framed codecs.
    intptr_t frameSize() const noexcept { return f_frameSize.load(); }

    // --- Status texts ------------------------------------------------------------
    kelString descriptionInfo() const;
    kelString descriptionError() const;

    // --- Options -------------------------------------------------------------------
    bool doEncode() const noexcept { return f_encode.load(); }
    void setDoEncode(bool value) noexcept { f_encode.store(value); }
    bool enableRTCP() const noexcept { return f_enableRTCP.load(); }
    void setEnableRTCP(bool value) noexcept { f_enableRTCP.store(value); }
    bool customPayloadAware() const noexcept { return f_cpa.load(); }
    void setCustomPayloadAware(bool value) noexcept { f_cpa.store(value); }
    // The RTCP member time-out in report intervals: the stack's when there
    // is one; setting it reaches the stack too.
    intptr_t rtcpTimeoutReports();
    void setRtcpTimeoutReports(intptr_t value);
    bool swapRAWbytes() const noexcept { return f_swrb.load(); }
    void setSwapRAWbytes(bool value) noexcept { f_swrb.store(value); }
    kelString bind2port() const;
    void setBind2port(const kelString& value);
    kelString bind2ip() const;
    void setBind2ip(const kelString& value);
    uint32_t _SSRC() const noexcept { return f_ssrc.load(); }
    void set_SSRC(uint32_t value) noexcept { f_ssrc.store(value); }
    intptr_t TTL() const noexcept { return f_ttl.load(); }
    void setTTL(intptr_t value) noexcept { f_ttl.store(value); }
    uint32_t mpegTS_PID() const noexcept { return f_mpegTS_PID.load(); }
    void setMpegTS_PID(uint32_t value) noexcept { f_mpegTS_PID.store(value); }
    bool mpegTS_aware() const noexcept { return f_mpegTS_aware.load(); }
    void setMpegTS_aware(bool value) noexcept { f_mpegTS_aware.store(value); }
    bool mpegTS_enabled() const noexcept { return f_mpegTS_enabled.load(); }
    // External codec library names; an empty name means the library's
    // default file name. Out-of-range indexes read empty and set nothing.
    kelString getExLib(int index) const;
    void setExLib(int index, const kelString& value);
    kelString STUNserver() const;
    kelString STUNPort() const;
    // The RTCP stack in use, or null.
    kelRTCPstack* rtcp() { return getRTCP(); }

    // --- Bandwidth -----------------------------------------------------------------
    // Bits per second over the last closed 2-second window.
    intptr_t inBandwidth() const noexcept { return f_bwIn.load(); }
    intptr_t outBandwidth() const noexcept { return f_bwOut.load(); }
    // Counts `bytes` in one direction and closes the window once more than
    // 2000 ms have passed since it began. A sample that cannot take the
    // bandwidth lock within 10 ms is dropped. Any thread.
    void measureBandwidth(kelBandwidthDir dir, int64_t bytes) noexcept;
    // The component's clock: the bandwidth window reads it, and the RTP
    // transmitter or receiver the component makes (with its RTCP stack and
    // keep-alives) is given it. The system clock until set; set it while the
    // component is closed. `clock` must outlive the component.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }
    uint64_t now() const noexcept { return f_clock.nowMs(); }

    // --- Published pipe properties and events -----------------------------------------
    using kelmtlInOutPipe::isFormatProvider;
    using kelmtlInOutPipe::onDataAvailable;
    using kelmtlInOutPipe::onFormatChangeAfter;
    using kelmtlInOutPipe::onFormatChangeBefore;
    using kelmtlInOutPipe::setIsFormatProvider;
    using kelmtlInOutPipe::setOnDataAvailable;
    using kelmtlInOutPipe::setOnFormatChangeAfter;
    using kelmtlInOutPipe::setOnFormatChangeBefore;

    kelString _classID() const override { return u"kelIPStreamer"; }

protected:
    friend class kelIdleThread;

    // --- Pipe operations -------------------------------------------------------
    // A streamer is never read.
    uint32_t doRead(void* data, uint32_t len) override;
    uint32_t getAvailableDataLen(int index) override;
    // Base part, called first by the subclasses: the pipe's doOpen, a new
    // bandwidth window, descriptionError cleared, the idle thread started.
    // The subclass then sets up its transport and stores its result with
    // setActiveFlag().
    bool doOpen() override;
    // Base part, called by the subclasses after they shut their transport:
    // the pipe's doClose, the idle thread stopped, the bandwidth figures and
    // frame size zeroed, inactive.
    void doClose() override;
    bool isActive() override { return f_active.load(); }
    // A 40-byte copy of the format block; the size is 40 when it has a
    // sampling rate, else 0.
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;

    // --- Streamer operations ---------------------------------------------------
    // Pushes the RTCP member time-out into the stack; subclasses also push
    // the SSRC and user name into their RTP objects.
    virtual void applyRTPOptions();
    // Idle thread, every 100 ms: closes a due bandwidth window.
    virtual void onIdle();
    // Forwarded RTCP notifications of the owned RTP objects (their threads).
    virtual void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size);
    virtual void onMemberGone(const rtp_site_info* member, bool timedOut);
    virtual void onMemberSilent(const rtp_site_info* member);
    // The RTCP stack in use, or null.
    virtual kelRTCPstack* getRTCP() = 0;
    // Stores the five values in the mapping and raises onFormatChangeBefore
    // and onFormatChangeAfter with this streamer as sender and provider, the
    // mapping as the format and length 0 (the before answer is not asked).
    // Subclasses extend it to make their coders.
    virtual void doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                                intptr_t bitrate);
    // The receiver punches NAT holes here; empty.
    virtual void setRemoteAddresses(intptr_t kind, const kelString& host, const kelString& portRTP,
                                    const kelString& portRTCP);

    void afterConstruction() override;
    // Closes and stops the idle thread while the subclass is whole. A
    // subclass overriding it calls this last.
    void beforeDestruction() override;

    // --- For the subclasses --------------------------------------------------------
    void setActiveFlag(bool value) noexcept { f_active.store(value); }
    void setDescriptionInfo(const kelString& value);
    void setDescriptionError(const kelString& value);
    void setFrameSize(intptr_t value) noexcept { f_frameSize.store(value); }
    void setMpegTS_enabled(bool value) noexcept { f_mpegTS_enabled.store(value); }
    void setSTUN(const kelString& host, const kelString& port);
    kelWaveFormat exmtFormat() const;
    void setExmtFormat(const kelWaveFormat& value);
    // The decoding scratch buffer (kScratchSize bytes); for one thread at a
    // time, the one that decodes.
    uint8_t* scratch() noexcept { return f_buf.data(); }
    kelIdleThread* idleThread() const noexcept { return f_idleThread.get(); }
    // Stops the idle ticks (doClose does it too). A subclass whose onIdle
    // touches its transport calls it before shutting the transport down.
    void stopIdleThread() noexcept;

private:
    void applyStaticFormat(intptr_t format);
    void applyRTPMap(const kelString& rtpmap, const kelString& fmtp);

    // Guards the strings below and the URI record.
    mutable std::mutex f_textGuard;
    std::array<kelString, kelKnownLibCount> f_exLib;
    kelURICrack f_crack;
    kelString f_URI;
    kelString f_URIHost;
    kelString f_URIport;
    kelString f_URIuserName;
    kelString f_URIuserPass;
    kelString f_descInfo;
    kelString f_descError;
    kelString f_SDP;
    kelString f_bind2port = u"0";
    kelString f_bind2ip = u"0.0.0.0";
    kelString f_STUNserver;
    kelString f_STUNPort;

    std::atomic<bool> f_active{false};
    std::atomic<intptr_t> f_protocol{kelIPProtoUnknown};
    std::atomic<intptr_t> f_socketType{0};
    std::atomic<bool> f_encode{true};
    std::atomic<intptr_t> f_frameSize{0};
    std::atomic<intptr_t> f_memberTR{6};
    kelOwned<kelIdleThread> f_idleThread;
    std::atomic<uint32_t> f_ssrc{0};

    // Serialises SDP application (the parser is for one thread at a time).
    std::mutex f_sdpGuard;
    std::unique_ptr<kelSDPParser> f_sdpParser;
    std::atomic<bool> f_SDPignoreP{true};
    std::atomic<intptr_t> f_redType{-1};
    std::atomic<intptr_t> f_sdpTextType{-1};

    // Guards the mapping, the format block and the compare-and-store of the
    // current format.
    mutable std::mutex f_formatGuard;
    kelRTPMap f_mapping;
    kelWaveFormat f_exmtFormat;
    std::atomic<intptr_t> f_sps{0};
    std::atomic<intptr_t> f_nch{0};
    std::atomic<intptr_t> f_bits{0};
    std::atomic<intptr_t> f_enc{0};
    std::atomic<intptr_t> f_br{0};

    std::atomic<bool> f_swrb{true};
    std::vector<uint8_t> f_buf;

    // The bandwidth window, guarded by f_bwAcq; the figures are read freely.
    kelClockSlot f_clock;
    uint64_t f_bwTM = 0;
    int64_t f_bwInDelta = 0;
    int64_t f_bwOutDelta = 0;
    std::atomic<intptr_t> f_bwIn{0};
    std::atomic<intptr_t> f_bwOut{0};
    kelLockCounter f_bwAcq{0};

    std::atomic<bool> f_enableRTCP{true};
    std::atomic<bool> f_cpa{true};
    std::atomic<intptr_t> f_ttl{0};
    std::atomic<uint32_t> f_mpegTS_PID{0};
    std::atomic<bool> f_mpegTS_aware{true};
    std::atomic<bool> f_mpegTS_enabled{false};
};
