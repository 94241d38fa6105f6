// The receiver on an rtsp or rtspu URI: DESCRIBE, then SETUP of the first
// stream with the ports our RTP receiver listens on (or the public ones a
// STUN server sees), then PLAY of the whole session; keep-alives carry the
// session id; closing tears the session down and waits for the answer.
#include "streaming/kelIPReceiver.h"

#include "core/kelLog.h"
#include "core/kelParseInt.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPTables.h"
#include "net/protocols/kelSDPParser.h"
#include "net/protocols/kelSTUNMapped.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/rtp/kelRTPReceiver.h"
#include "net/sockets/kelSockAddr.h"
#include "net/sockets/kelURICrack.h"
#include "streaming/kelIPReceiverRTSPText.h"
#include "streaming/kelIPReceiverSession.h"

#include <arpa/inet.h>

namespace {

// A STUN query for one socket: as long as a server should take to answer
// over a path that loses a packet or two.
constexpr int64_t kSTUNQueryMs = 6000;

kelString clientErrorText(intptr_t code)
{
    if (code == kelRTSPErrNoAnswer) return u"Incomplete response, connection was broken";
    if (code == kelRTSPErrNotWritable || code == kelRTSPErrNoConnection)
        return u"Could not connect to server, please check URI";
    return u"Uknown RTSP error: " + formatInteger(code);
}

} // namespace

// --- RTSPRec ---------------------------------------------------------------------

void RTSPRec::onResponse(const kelString& uri, const kelString& control, intptr_t req,
                         const kelHTTPparser& response)
{
    f_master->onRTSPReply(uri, control, req, response);
}

void RTSPRec::onRequestError(const kelString& uri, const kelString& control, intptr_t req, intptr_t code)
{
    f_master->onRTSPError(uri, control, req, code);
}

// --- the receiver's session ------------------------------------------------------

void TkelIPReceiver::setSTUNserver(const kelString& value)
{
    kelString v = trimText(value);
    if (v.empty()) {
        setSTUN({}, {});
        return;
    }
    // RFC 7064 writes "stun:host[:port]", without "//"; the splitter wants it.
    if (v.size() > 5 && compareText(std::u16string_view(v).substr(0, 5), u"stun:", true) == 0 &&
        v.compare(5, 2, u"//") != 0)
        v = u"stun://" + v.substr(5);
    kelURICrack c;
    // A text without scheme splits as http: it is not a STUN server.
    if (!crackURI(v, c) || c.r_scheme != u"stun" || c.r_hostName.empty()) return;
    setSTUN(c.r_hostName, c.r_port != 0 ? formatInteger(c.r_port) : kelString(u"3478"));
}

kelString TkelIPReceiver::rtspSession()
{
    std::lock_guard lock(f_session->guard);
    return f_session->sessionId;
}

bool TkelIPReceiver::hasServerSSRC()
{
    std::lock_guard lock(f_session->guard);
    return f_session->hasServerSSRC;
}

uint32_t TkelIPReceiver::rtspServerSSRC()
{
    std::lock_guard lock(f_session->guard);
    return f_session->serverSSRC;
}

bool TkelIPReceiver::openRTSP()
{
    // No holes until the server has said where its ports are.
    f_noHoles.store(true);
    f_session->reset();
    const kelString uri = URI();
    {
        std::lock_guard lock(f_session->guard);
        f_session->describeURI = uri;
        f_session->aggregate = uri;
    }
    // Made here, on the window thread, and started by the DESCRIBE answer:
    // the receiver's pointer never changes while the client thread runs.
    makeRTPReceiver(false, false, !enableRTCP());
    f_session->rtsp = kelMakeOwned<RTSPRec>(this, kelString(kelIPReceiverRTSPAgent));
    if (!rec() || !f_session->rtsp) {
        setDescriptionError(u"Could not SETUP session");
        return false;
    }
    applyRTPOptions();
    // RTP from the server's host only (any of its ports: the server names
    // its own in the SETUP answer), and from one SSRC.
    rec()->setExpectedSource(uriHost(), u"0");
    f_session->rtsp->setClock(clock());
    return f_session->rtsp->sendRequest(kelRTSP_DESCRIBE, uri, {}, {}) == 0;
}

void TkelIPReceiver::closeRTSP()
{
    if (!f_session->rtsp) return;
    kelString id, aggregate;
    {
        std::lock_guard lock(f_session->guard);
        id = f_session->sessionId;
        aggregate = f_session->aggregate;
    }
    if (!id.empty()) {
        // The server frees the session at once instead of at its time-out;
        // a server that does not answer holds closing up for 2 s at most.
        f_session->teardownDone.setState(false);
        (void)f_session->rtsp->sendRequest(kelRTSP_TEARDOWN, aggregate, {}, u"Session: " + id);
        (void)f_session->teardownDone.waitFor(kelIPReceiverTeardownWaitMs);
    }
    f_session->rtsp->close();
    std::lock_guard lock(f_session->guard);
    f_session->sessionId.clear();
}

bool TkelIPReceiver::sessionTransportEnded()
{
    const intptr_t proto = protocol();
    if (proto == kelIPProtoHTTP) return !f_session->shout || f_session->shout->ended();
    if (proto != kelIPProtoRTSP) return false;
    if (f_session->failed.load()) return true;
    if (!f_session->rtpStarted.load() || !rec()) return false;
    const kelThreadStatus status = rec()->status();
    return status == keltsStopped || status == keltsStopping;
}

void TkelIPReceiver::rtspFailed(const kelString& text)
{
    setDescriptionError(text);
    logMessage(u"TkelIPReceiver: RTSP session failed: " + text);
    f_session->failed.store(true);
    // The stream will not come: its thread stops here, and the receiver
    // object stays until the next open or destruction.
    if (rec() && f_session->rtpStarted.load()) (void)rec()->stop();
}

void TkelIPReceiver::onRTSPReply(const kelString& uri, const kelString&, intptr_t request,
                                 const kelHTTPparser& response)
{
    const intptr_t code = response.getRespCode();
    if (code < 200 || code > 299) {
        const kelString text = u"RTSP: " + formatInteger(code) + u" / " + response.getRespCodeString();
        if (request == kelRTSP_TEARDOWN) {
            setDescriptionError(text);
            f_session->teardownDone.setState(true);
        } else if (request == kelRTSP_SETUP && code == 461 && !f_session->setupWithoutSSRC &&
                   f_session->rtsp && rec()) {
            // The transport was refused: once more without the ssrc
            // parameter, which a server may read as a wish for its own SSRC.
            f_session->setupWithoutSSRC = true;
            (void)f_session->rtsp->sendRequest(
                kelRTSP_SETUP, f_session->setupURL, {},
                kelRTSPSetupTransportLine(rec()->_SSRC(), f_session->setupRTP, f_session->setupRTCP, false));
        } else if (request == kelRTSP_GET_PARAMETER || request == kelRTSP_SET_PARAMETER ||
                   request == kelRTSP_OPTIONS) {
            // A server may not know the keep-alive's method; it still kept
            // the session alive. One that forgot the session did not.
            if (code == 454) rtspFailed(text);
        } else {
            rtspFailed(text);
        }
        return;
    }
    switch (request) {
    case kelRTSP_DESCRIBE:
        rtspDescribed(uri, response);
        break;
    case kelRTSP_SETUP:
        rtspSetUp(response);
        break;
    case kelRTSP_PLAY:
        setDescriptionInfo(response.getHeaderValue(u"RTP-Info", true));
        break;
    case kelRTSP_TEARDOWN:
        f_session->teardownDone.setState(true);
        break;
    default:
        break;
    }
}

void TkelIPReceiver::onRTSPError(const kelString&, const kelString&, intptr_t request, intptr_t code)
{
    switch (request) {
    case kelRTSP_SETUP:
        rtspFailed(u"Could not SETUP session");
        break;
    case kelRTSP_TEARDOWN:
        setDescriptionError(clientErrorText(code));
        f_session->teardownDone.setState(true);
        break;
    case kelRTSP_SET_PARAMETER:
        setDescriptionError(clientErrorText(code));
        break;
    default:
        // DESCRIBE, PLAY and the keep-alives: without them there is no
        // stream, or soon none.
        rtspFailed(clientErrorText(code));
        break;
    }
}

void TkelIPReceiver::rtspDescribed(const kelString& uri, const kelHTTPparser& response)
{
    const std::string body = response.getPayload();
    setSDP(utf8ToUtf16(body));
    kelSDPParser sdp;
    sdp.applyPayload(body);
    const kelSDPMediaDescription* md = sdp.getMDCount() > 0 ? sdp.getMD(0) : nullptr;
    if (md == nullptr || !rec() || !f_session->rtsp) {
        rtspFailed(u"Could not SETUP session");
        return;
    }
    const kelRTSPSessionURLs urls = kelRTSPSessionURLsOf(response, uri, sdp.f_a, md->r_control);
    {
        std::lock_guard lock(f_session->guard);
        f_session->aggregate = urls.aggregate;
    }
    rec()->setTextPayloadType(redundantTextType());
    // The sockets stay ours until the STUN queries are done: the receive
    // loops leave them alone from their first round on.
    rec()->rentSockets(true);
    if (!rec()->start(10000) || rec()->socketError() != 0) {
        rec()->rentSockets(false);
        rtspFailed(u"Socket error: " + formatInteger(rec()->socketError()));
        return;
    }
    f_session->rtpStarted.store(true);
    uint16_t rtp = 0, rtcp = 0;
    clientPorts(rtp, rtcp);
    rec()->rentSockets(false);
    f_session->setupURL = urls.media;
    f_session->setupRTP = rtp;
    f_session->setupRTCP = rtcp;
    (void)f_session->rtsp->sendRequest(kelRTSP_SETUP, urls.media, {},
                                       kelRTSPSetupTransportLine(rec()->_SSRC(), rtp, rtcp));
}

void TkelIPReceiver::clientPorts(uint16_t& rtp, uint16_t& rtcp)
{
    const int local = portFromString(rec()->portLocal());
    rtp = static_cast<uint16_t>(local > 0 ? local : 0);
    kelRTCPstack* stack = rec()->rtcp();
    rtcp = stack != nullptr && stack->boundPort() != 0 ? stack->boundPort() : static_cast<uint16_t>(rtp + 1);
    const kelString stunHost = STUNserver();
    if (stunHost.empty()) return;
    // A server in a private or reserved range sees our own ports.
    kelString ip;
    if (lookupHost(uriHost(), ip) != 0) return;
    const uint32_t ipN = str2ipN(ip);
    if (ipN == INADDR_NONE || isReservedAddrH(ntohl(ipN))) return;
    uint32_t mappedIP = 0;
    uint16_t mapped = 0, bound = 0;
    if (!getSTUNMappedAddress(stunHost, mappedIP, mapped, bound, STUNPort(), kelSTUNProtoUDP, kSTUNQueryMs,
                              false, rec()->rentedSocket(), {}, {}, &clock())) {
        logMessage(u"TkelIPReceiver: no STUN answer for the RTP port; announcing the local ports");
        return;
    }
    rtp = mapped;
    if (stack != nullptr &&
        getSTUNMappedAddress(stunHost, mappedIP, mapped, bound, STUNPort(), kelSTUNProtoUDP, kSTUNQueryMs,
                             false, stack->rentedSocket(), {}, {}, &clock()))
        rtcp = mapped;
}

void TkelIPReceiver::rtspSetUp(const kelHTTPparser& response)
{
    const kelRTSPSetupTransport t = kelRTSPReadSetupTransport(response.getHeaderValue(u"Transport", true));
    const kelRTSPSessionHeader session = kelRTSPReadSessionHeader(response.getHeaderValue(u"Session", true));
    kelString aggregate;
    {
        std::lock_guard lock(f_session->guard);
        f_session->sessionId = session.id;
        f_session->hasServerSSRC = t.hasSSRC;
        f_session->serverSSRC = t.ssrc;
        aggregate = f_session->aggregate;
    }
    if (session.id.empty()) {
        rtspFailed(u"Could not SETUP session");
        return;
    }
    // Without the server's ports there is nowhere to punch holes to.
    if (!t.rtpPort.empty()) {
        f_noHoles.store(false);
        setRemoteAddresses(t.kind, uriHost(), t.rtpPort, t.rtcpPort);
    }
    const kelString sessionLine = u"Session: " + session.id;
    // Twice per time-out, so one lost keep-alive does not end the session.
    if (f_session->rtsp) {
        f_session->rtsp->setKeepAlive(static_cast<uint64_t>(session.timeoutS) * 500u, aggregate, sessionLine);
        (void)f_session->rtsp->sendRequest(kelRTSP_PLAY, aggregate, {},
                                           sessionLine + u"\r\nRange: npt=0.000-");
    }
}
