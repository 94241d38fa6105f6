#pragma once
// TkelIPTransmitter: the sending end of the IP streaming pair. Written data
// goes out in the current encoding; sendText() sends real-time text.
//
// With doEncode, written 16-bit PCM is coded for the coded encodings
// (G.711, DVI4/VDVI, GSM, MPEG audio through LAME, Speex, CELT, G.722.1);
// a write that ends inside a sample keeps that part for the next write.
// MPEG audio that is written already coded goes out one frame a packet
// behind RFC 2250's 4 zero bytes, until the data proves not to be framed.
//
// For rtp, udp and tcp URIs it runs one RTP transmitter, the root, bound to
// the URI's address. Receivers announce themselves with hole packets and
// become destinations of the root on their own. Destinations known by
// session (an RTSP client, a duplex, the application) are listed besides, so
// that they survive a new root and leave when their member says goodbye.
//
// For rtsp and rtspu URIs it runs an RTSP server on the URI's port (TCP or
// UDP): a client's SETUP becomes a session whose destination is that
// client, enabled by PLAY. For http URIs it logs in to a SHOUTcast/Icecast
// server as a source and hands it every payload it sends.
//
// Transport decisions go through numbered commands (doExTransCmd), which an
// application may take over with onExTransCmd:
//   1 open the root ("host:port" in; "<RTP port>-<RTCP port>" out; udata is
//     the socket type), 3 describe (the SDP out), 4 add a session
//     ("*any*session*URI" in; udata is the client's SSRC), 5 remove a
//     session (its id in; the root is dropped with the last one), 6 pause and
//     7 play a session's destination (its id in).
//
// Threads. open/close and the properties belong to the window thread;
// sendText may come from any thread; doWrite runs on the provider's thread;
// the commands and the destination methods may come from any thread (the
// RTSP server's, the root's RTCP threads through onMemberGone). The root is
// swapped and used under one guard, so a send never meets a root being
// replaced; no root is stopped while that guard is held, since the root's
// own threads may be waiting for it. A replaced or dropped root is parked
// and freed on the next idle tick or at close, never from inside one of its
// own callbacks.
//
// Make with kelCreate, free with kelFree.

#include "codecs/kelADPCM.h"
#include "net/rtp/kelRTPTransmitter.h"
#include "streaming/kelIPEncoders.h"
#include "streaming/kelIPMpegAnalysis.h"
#include "streaming/kelIPSampleCarry.h"
#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPTransRTSPSession.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class kelHTTPparser;
class kelIPRTSPActivity;
class kelRandomGenThread;
class kelRE;
class RTSPSrv;
class shoutTransmitter;

inline constexpr int32_t kelS_OK = 0;
inline constexpr int32_t kelE_FAIL = static_cast<int32_t>(0x80004005u);

// Transport commands of TkelIPTransmitter::doExTransCmd.
inline constexpr int32_t kelTransCmdOpenRoot = 1;
inline constexpr int32_t kelTransCmdDescribe = 3;
inline constexpr int32_t kelTransCmdAddSession = 4;
inline constexpr int32_t kelTransCmdRemoveSession = 5;
inline constexpr int32_t kelTransCmdPause = 6;
inline constexpr int32_t kelTransCmdPlay = 7;
// Command 1's result when the root could not open.
inline constexpr int32_t kelTransCmdRootFailed = -10;
// An onExTransCmd handler that leaves this text in `data` hands the command
// back to the built-in handling.
inline constexpr char16_t kelTransCmdNotHandled[] = u"C4E23FE4-9E62-4D3A-814C-295E6B67DA73";

class TkelIPTransmitter : public kelIPStreamer
{
public:
    explicit TkelIPTransmitter(kelComponent* owner = nullptr);
    ~TkelIPTransmitter() override;

    // Sends `text` as one real-time text packet: UTF-8, marker clear, the
    // timestamp advanced by the number of UTF-16 code units (so a character
    // outside the BMP advances it by 2 and travels whole). Payload type 113
    // with customPayloadAware, else the root's own. kelE_FAIL for an empty
    // text or while the root is not active; kelS_OK otherwise. Any thread.
    //
    // While the root has no destination yet (a receiver that has not yet
    // punched its hole), the text is kept instead, and everything kept goes
    // out, in order and once, ahead of the next text or at the next idle
    // tick after the first destination appears. At most the last
    // kTextBacklogUnits code units are kept; open and close forget them.
    int32_t sendText(const kelString& text);
    static constexpr size_t kTextBacklogUnits = 4096;
    // Code units kept for the first destination; any thread.
    size_t textBacklog();

    // Besides the base: unless the URI names a multicast group, bind2port
    // and bind2ip become the URI's port and host. A URI that does not parse
    // makes every open fail until a good one is set. Window thread.
    void setURI(const kelString& value) override;

    // --- Destinations known by session ---------------------------------------------
    // Lists a destination for `session` at `uri` and, with a root, adds it
    // there (opened when `enabled`). A session id already listed keeps its
    // entry: the existing index comes back and nothing else happens. A
    // destination without a session id (an empty or non-base-32 text) is
    // known by its URI instead: the same URI again, ignoring case, is the
    // same entry. Returns the list index, -1 when the list is busy.
    intptr_t destAdd(bool dstatic, const kelString& uri, bool enabled, const kelString& session,
                     uint32_t recSSRC, intptr_t ttl);
    // Removes the entry found by session id or, failing that, by URI
    // (ignoring case), and its destination on the root. True when one went.
    bool destRemove(const kelString& uri, const kelString& session);
    bool destRemove(intptr_t index);
    // Enables or disables the root's destination of the entry found as in
    // destRemove (or at `index`); enabling opens a closed destination.
    // False without such an entry or without a root.
    bool destEnable(const kelString& uri, const kelString& session, bool doEnable);
    bool destEnable(intptr_t index, bool doEnable);
    // The listed sessions.
    intptr_t destCount() const noexcept { return f_sessions.count(); }
    kelIPTransRTSPSessionList& sessions() noexcept { return f_sessions; }
    // Destinations of the root, hole-punching receivers included; 0
    // without a root.
    intptr_t rootDestCount();

    // --- Transport commands ---------------------------------------------------------
    // Runs command `cmd` (constants above) with `data` as argument and
    // answer; 0 for success. onExTransCmd, when set, is asked first; see
    // kelTransCmdNotHandled. Any thread but the root's own during command 1.
    virtual int32_t doExTransCmd(int32_t cmd, kelString& data, uint32_t udata);
    // Set while the component is closed.
    void setOnExTransCmd(kelmtIPTransmitterExTransCmd handler) { f_onExTransCmd = std::move(handler); }

    // Whether receivers punching holes become destinations of the root.
    // Opening an rtp, udp or tcp URI turns it on; turn it off after open.
    bool autoAddDestFromHolePacket() const noexcept { return f_autoAddDest.load(); }
    void setAutoAddDestFromHolePacket(bool value) noexcept { f_autoAddDest.store(value); }
    // The root; null while there is none. Valid until the next open, close
    // or command 5 (window thread).
    kelRTPTransmitter* transRoot();
    // The running RTP timestamp of the root; 0 without one.
    uint32_t rootTimestamp();
    // The local RTP port of the root, "<none>" without one.
    kelString rootPortLocal();

    // --- rtsp, rtspu and http URIs (kelIPTransmitterRTSP.cpp, ...SHOUT.cpp) ---------
    // The meaning of an RTSP request the server does not answer itself:
    // DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, RECORD (405) and the keep-alives
    // (GET_PARAMETER, SET_PARAMETER). `headers`, `body`, `humanMsg` and
    // `responseCode` come in as an empty 200 "OK". `peer` is the client's
    // IPv4 address. The RTSP server's delivery thread (or a test's).
    virtual void onRTSPRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                               kelString& headers, std::string& body, kelString& humanMsg,
                               intptr_t& responseCode);
    // The RTSP server while open on an rtsp or rtspu URI, else null.
    RTSPSrv* srvRTSP() noexcept { return f_transRTSP.get(); }
    // The SHOUTcast/Icecast source while open on an http URI, else null.
    shoutTransmitter* srvSHOUT() noexcept { return f_transSHOUT.get(); }
    // At most this many RTSP sessions at once; a SETUP beyond them is
    // answered 453. At least 1.
    intptr_t maxRTSPSessions() const noexcept { return f_maxRTSPSessions.load(); }
    void setMaxRTSPSessions(intptr_t value) noexcept { f_maxRTSPSessions.store(value < 1 ? 1 : value); }
    // An RTSP session not heard from (no request naming it, no RTCP report
    // from its client) for this long on the component's clock is dropped.
    static constexpr uint64_t kRTSPSessionIdleMs = 60000;

    kelString _classID() const override { return u"TkelIPTransmitter"; }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    bool doOpen() override;
    void doClose() override;
    void onIdle() override;
    // Besides the base, with a root: the URI's user name, the SSRC, and every
    // listed session added to it again (already known addresses stay).
    void applyRTPOptions() override;
    // Removes the session of a member that said goodbye or timed out: the
    // first whose SSRC is the member's, else the first at the member's RTP
    // address; then runs command 5 for it. RTCP threads of the root.
    void onMemberGone(const rtp_site_info* member, bool timedOut) override;
    kelRTCPstack* getRTCP() override;
    // Besides the base: the coder for the new encoding
    // (kelIPTransmitterCoding.cpp).
    void doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                        intptr_t bitrate) override;
    void beforeDestruction() override;

    // Sends one payload: through the root (with the packet prefix) and to a
    // SHOUTcast/Icecast source, counting the bytes as output. Returns the
    // bytes sent. Called with the root guard held, on the thread of
    // sendText or doWrite.
    virtual intptr_t doTransmit(uint32_t samples, const uint8_t* data, size_t len, bool marker,
                                intptr_t payload);
    // Every RTP packet the root receives, after the root's own handling;
    // empty here. The root's receiver thread.
    virtual void onReceivedPayload(const sockaddr_in& from, const uint8_t* header, const uint8_t* data,
                                   size_t len);
    // The http transport: the SHOUTcast/Icecast source takes every payload
    // here, once its login finished; returns the bytes it sent (0 before).
    virtual intptr_t sendToSHOUTSource(const uint8_t* data, size_t len);
    // Besides the base: an http transmitter whose source login failed or
    // whose stream broke reads closed.
    bool isActive() override;
    // A report from an RTSP client keeps its session alive. The root's
    // RTCP threads.
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override;

private:
    class rtpTransmitter;
    friend class rtpTransmitter;
    friend class shoutTransmitter;

    // The session protocols: opened by doOpen for protocols 3 and 5, closed
    // by doClose, freed by the next doOpen and by destruction.
    bool openRTSP();
    bool openSHOUT();
    void closeProtocols();
    void freeProtocols();
    // Idle tick: drops the RTSP sessions silent for kRTSPSessionIdleMs.
    void dropIdleRTSPSessions();
    // A session id no listed session has; any thread.
    kelString newRTSPSessionId();
    void onSHOUTSourceEnded(intptr_t error, intptr_t iceCode);
    void rtspSetup(const kelString& peer, const kelHTTPparser& request, kelString& headers,
                   kelString& humanMsg, intptr_t& responseCode);

    int32_t builtInCommand(int32_t cmd, kelString& data, uint32_t udata);
    int32_t openRootCommand(kelString& data, uint32_t udata);
    int32_t addSessionCommand(const kelString& data, uint32_t udata);
    int32_t removeSessionCommand(const kelString& data);
    int32_t enableSessionCommand(const kelString& data, bool doEnable);
    // Index of the entry destRemove/destEnable mean; the caller holds the
    // session list.
    intptr_t findSession(const kelString& uri, const kelString& session);
    bool removeAt(intptr_t index);
    bool enableAt(intptr_t index, bool doEnable);
    // Keeps `text` for the first destination, dropping the oldest texts
    // beyond kTextBacklogUnits; under f_rootGuard.
    void keepText(const kelString& text);
    // Sends what was kept once the root has a destination; under f_rootGuard.
    void sendKeptText();
    // One real-time text packet through the root; under f_rootGuard.
    void transmitText(const kelString& text);
    // "<RTP port>-<RTCP port>" of the root; under f_rootGuard.
    kelString rootPorts();
    // Takes the root out into the park list without stopping it; under
    // f_rootGuard. Returns the parked root.
    kelRTPTransmitter* parkRoot();
    void freeParked();
    // The compiled "\*(.*)\*(.*)\*(.*)"; null when it does not compile.
    const kelRE* sessionExpression();

    std::atomic<bool> f_autoAddDest{true};
    // Set when the last URI did not parse: opening then fails with its
    // error text instead of opening on the URI before it.
    std::atomic<bool> f_uriRefused{false};
    kelString f_uriError; // window thread, as the URI
    kelmtIPTransmitterExTransCmd f_onExTransCmd;
    kelIPTransRTSPSessionList f_sessions;

    std::recursive_mutex f_rootGuard;
    kelOwned<kelRTPTransmitter> f_root;
    // Byte-swapped L16 for the wire; under f_rootGuard.
    std::vector<uint8_t> f_swapBuf;
    // The per-packet prefix: empty while no coder needs one (MPEG audio and
    // CELT packets carry a header of their own ahead of the payload).
    // Under f_rootGuard.
    std::vector<uint8_t> f_prebuf;
    // Texts typed while there was no destination, oldest first, and their
    // code units in all; under f_rootGuard.
    std::deque<kelString> f_keptText;
    size_t f_keptUnits = 0;

    std::mutex f_parkGuard;
    std::vector<kelOwned<kelRTPTransmitter>> f_parked;

    std::once_flag f_reOnce;
    kelRE* f_reSessionDest = nullptr;

    // --- Audio coding (kelIPTransmitterCoding.cpp) -------------------------------------
    // All under f_rootGuard: the coders send through doTransmit.
    void makeEncoder(intptr_t rate, intptr_t channels, intptr_t encoding, intptr_t bitrate);
    // Before the transport: frame analysis restarted and, with doEncode,
    // the coder of the current encoding checked (MPEG audio's made). False
    // when it is missing.
    bool prepareEncoders();
    // After the transport is up: the library coders opened.
    void openEncoders();
    // Closes the library coders (the MPEG encoder's last frames go out).
    void closeEncoders();
    void freeEncoders();
    // Sends one write of a coded encoding; false for the other encodings.
    bool writeCoded(intptr_t encoding, const uint8_t* data, uint32_t len);
    // The packet prefix of one payload: MPEG audio's 4 zero bytes, CELT's
    // frame length.
    void choosePrefix(size_t len, intptr_t payload);
    // Sends one whole MPEG audio frame.
    void sendMpegFrame(const uint8_t* frame, size_t len, intptr_t samples, intptr_t rate);
    kelIPEncodedOut encodedOut();

    kelOwned<mpegEncoder> f_encoderMPEG;
    std::unique_ptr<kelSpeexLib> f_speexLib;
    kelOwned<speexEncoder> f_encoderSpeex;
    kelOwned<kelADPCM_encoder> f_encoderADPCM;
    kelOwned<celtEncoder> f_encoderCELT;
    kelOwned<G7221Encoder> f_encoderG7221;
    kelOwned<GSMEncoder> f_encoderGSM;
    // Written MPEG audio cut into frames, and the encoder's output.
    kelIPMpegAnalysis f_mpegAnalysis;
    kelIPMpegFrames f_encodedFrames;
    kelIPSampleCarry f_carry;
    kelOwned<RTSPSrv> f_transRTSP;
    kelOwned<shoutTransmitter> f_transSHOUT;
    kelOwned<kelRandomGenThread> f_randomThread;
    std::unique_ptr<kelIPRTSPActivity> f_rtspActivity;
    std::atomic<intptr_t> f_maxRTSPSessions{64};
    std::atomic<bool> f_shoutFailed{false};
    // Serialises SETUPs, so that the session bound holds.
    std::mutex f_setupGuard;
    // Tick at construction, stirred into the session ids.
    const uint64_t f_tm;
};
