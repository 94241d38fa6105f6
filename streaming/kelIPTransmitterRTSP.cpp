// The transmitter's rtsp and rtspu transport: an RTSP server on the URI's
// port whose clients become sessions on the root transmitter. DESCRIBE
// tells the stream, SETUP lists a session with the client as its (not yet
// enabled) destination, PLAY and PAUSE enable and disable it, TEARDOWN
// removes it. Sessions whose client goes silent (no request naming the
// session, no RTCP report) are dropped after kRTSPSessionIdleMs, and no
// more than maxRTSPSessions are served at once.
#include "streaming/kelIPTransmitter.h"

#include "core/kelLog.h"
#include "core/kelRandomGenThread.h"
#include "net/protocols/kelDecimal.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPTables.h"
#include "net/sockets/kelURICrack.h"
#include "streaming/kelIPRTSPSetup.h"
#include "streaming/kelIPRTSPSrv.h"

#include <string>
#include <vector>

namespace {

constexpr intptr_t kRandomAhead = 1000;
// How long a SETUP waits for a gathered random value before it takes a
// pseudo-random one.
constexpr intptr_t kRandomWaitMs = 50;
constexpr intptr_t kSessionsLookup = 100;
constexpr intptr_t kSessionsLookupRTCP = 10;

kelString decimal(int64_t value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

kelString requestPath(const kelHTTPparser& request)
{
    kelURICrack crack;
    return crackURI(request.getReqURI(), crack) ? crack.r_path : kelString{};
}

kelString sessionHeader(const kelHTTPparser& request)
{
    return kelRTSPSessionOf(request.getHeaderValue(kelString(u"Session"), true));
}

} // namespace

// --- RTSPSrv and the activity table -------------------------------------------------

void RTSPSrv::onRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                        kelString& headers, std::string& body, kelString& humanMsg, intptr_t& responseCode)
{
    f_master->onRTSPRequest(method, peer, request, headers, body, humanMsg, responseCode);
}

void kelIPRTSPActivity::touch(const kelString& session, uint64_t nowMs)
{
    std::lock_guard lock(f_guard);
    f_last[session] = nowMs;
}

void kelIPRTSPActivity::forget(const kelString& session)
{
    std::lock_guard lock(f_guard);
    f_last.erase(session);
}

void kelIPRTSPActivity::clear()
{
    std::lock_guard lock(f_guard);
    f_last.clear();
}

std::vector<kelString> kelIPRTSPActivity::idle(uint64_t nowMs, uint64_t idleMs)
{
    std::vector<kelString> out;
    std::lock_guard lock(f_guard);
    for (const auto& [session, last] : f_last)
        if (nowMs >= last && nowMs - last >= idleMs) out.push_back(session);
    return out;
}

std::vector<kelString> kelIPRTSPActivity::sessions()
{
    std::vector<kelString> out;
    std::lock_guard lock(f_guard);
    for (const auto& entry : f_last)
        out.push_back(entry.first);
    return out;
}

size_t kelIPRTSPActivity::count()
{
    std::lock_guard lock(f_guard);
    return f_last.size();
}

// --- opening and closing ----------------------------------------------------------------

bool TkelIPTransmitter::openRTSP()
{
    if (!f_randomThread)
        f_randomThread.reset(kelCreate<kelRandomGenThread>(kRandomAhead, true, kelThreadPriorityLowest));
    else
        (void)f_randomThread->start();
    // Clients become destinations by SETUP, never by punching holes.
    setAutoAddDestFromHolePacket(false);
    f_rtspActivity->clear();
    f_transRTSP.reset(kelCreate<RTSPSrv>(this));
    if (!f_transRTSP) return false;
    f_transRTSP->setClock(clock());
    const int transport = socketType() == kelIPSocketTCP ? 6 : 17;
    if (f_transRTSP->open(transport, uriPort(), bind2ip()) != 0) {
        setDescriptionError(u"RTSP server did not open on " + bind2ip() + u":" + uriPort());
        return false;
    }
    return true;
}

void TkelIPTransmitter::closeProtocols()
{
    if (f_transRTSP) f_transRTSP->close();
    if (f_transSHOUT) f_transSHOUT->close();
    if (f_randomThread) (void)f_randomThread->stop();
    // The sessions of a closed server have no connection left to end them.
    for (const kelString& session : f_rtspActivity->sessions()) {
        kelString id = session;
        (void)doExTransCmd(kelTransCmdRemoveSession, id, 0);
    }
    f_rtspActivity->clear();
}

void TkelIPTransmitter::freeProtocols()
{
    f_transRTSP.reset();
    f_transSHOUT.reset();
    if (destroying()) f_randomThread.reset();
}

kelString TkelIPTransmitter::newRTSPSessionId()
{
    for (;;) {
        const uint64_t random = f_randomThread ? f_randomThread->random(0xFFFFFFFFu, kRandomWaitMs) : 0;
        const kelString id = kelRTSPBase32((random << 16) ^ (tickNow() - f_tm));
        if (!f_sessions.lock(true, kSessionsLookup)) return id;
        const bool taken = f_sessions.indexOfSession(session2id(id)) >= 0;
        f_sessions.unlockRO();
        if (!taken) return id;
    }
}

// --- sessions kept alive and dropped -------------------------------------------------------

void TkelIPTransmitter::dropIdleRTSPSessions()
{
    if (f_rtspActivity->count() == 0) return;
    std::vector<kelString> gone = f_rtspActivity->idle(now(), kRTSPSessionIdleMs);
    // Sessions that left by other roads (TEARDOWN, an RTCP goodbye) are
    // forgotten too.
    if (f_sessions.lock(true, kSessionsLookupRTCP)) {
        for (const kelString& session : f_rtspActivity->sessions())
            if (f_sessions.indexOfSession(session2id(session)) < 0) f_rtspActivity->forget(session);
        f_sessions.unlockRO();
    }
    for (const kelString& session : gone) {
        f_rtspActivity->forget(session);
        kelString id = session;
        if (doExTransCmd(kelTransCmdRemoveSession, id, 0) == 0)
            logMessage(u"TkelIPTransmitter: RTSP session " + session + u" dropped, its client is silent");
    }
}

void TkelIPTransmitter::onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet,
                                     size_t size)
{
    kelIPStreamer::onRTCPPacket(ssrc, from, packet, size);
    if (f_rtspActivity->count() == 0 || !f_sessions.lock(true, kSessionsLookupRTCP)) return;
    kelString found;
    for (intptr_t i = 0; found.empty() && i < f_sessions.count(); ++i)
        if (const kelIPTransRTSPSession* s = f_sessions.session(i);
            s && s->hasId() && ((ssrc != 0 && s->recSSRC() == ssrc) || s->sameRTCPAddr(from)))
            found = s->session();
    f_sessions.unlockRO();
    if (!found.empty()) f_rtspActivity->touch(found, now());
}

// --- requests ---------------------------------------------------------------------------------

void TkelIPTransmitter::onRTSPRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                                      kelString& headers, std::string& body, kelString& humanMsg,
                                      intptr_t& responseCode)
{
    const kelString session = sessionHeader(request);
    // A request that names a session must name one that exists; it then
    // keeps it alive.
    const auto known = [&]() {
        if (session.empty() || !f_sessions.lock(true, kSessionsLookup)) return false;
        const bool listed = f_sessions.indexOfSession(session2id(session)) >= 0;
        f_sessions.unlockRO();
        if (listed) f_rtspActivity->touch(session, now());
        return listed;
    };
    const auto notFound = [&]() {
        headers.clear();
        responseCode = 454;
        humanMsg = u"Session Not Found";
    };
    switch (method) {
    case kelRTSP_DESCRIBE: {
        kelString data = requestPath(request);
        if (doExTransCmd(kelTransCmdDescribe, data, 0) != 0) {
            responseCode = 404;
            humanMsg = u"Not Found";
            return;
        }
        const intptr_t cseq = kelParseDecimal(request.getHeaderValue(kelString(u"CSeq"), true));
        body = kelRTSPDescribeBody(data, cseq > 0 ? static_cast<uint64_t>(cseq) : 0, _classID());
        break;
    }
    case kelRTSP_SETUP:
        rtspSetup(peer, request, headers, humanMsg, responseCode);
        break;
    case kelRTSP_PLAY:
    case kelRTSP_PAUSE:
    case kelRTSP_TEARDOWN: {
        kelString id = session;
        const int32_t cmd = method == kelRTSP_PLAY    ? kelTransCmdPlay
                            : method == kelRTSP_PAUSE ? kelTransCmdPause
                                                      : kelTransCmdRemoveSession;
        if (id.empty() || doExTransCmd(cmd, id, 0) != 0) {
            notFound();
            return;
        }
        if (method == kelRTSP_TEARDOWN)
            f_rtspActivity->forget(session);
        else
            f_rtspActivity->touch(session, now());
        if (method == kelRTSP_PLAY) headers = u"Range: npt=0.000-";
        break;
    }
    case kelRTSP_GET_PARAMETER:
    case kelRTSP_SET_PARAMETER:
        // The keep-alives; without a session they are plain pings.
        if (!session.empty() && !known()) notFound();
        break;
    case kelRTSP_RECORD:
        responseCode = 405;
        humanMsg = u"Method Not Allowed";
        headers = u"Allow: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";
        break;
    default:
        break;
    }
}

void TkelIPTransmitter::rtspSetup(const kelString& peer, const kelHTTPparser& request, kelString& headers,
                                  kelString& humanMsg, intptr_t& responseCode)
{
    const kelRTSPTransportRequest transport =
        kelRTSPReadTransport(request.getHeaderValue(kelString(u"Transport"), true), peer);
    if (transport.code != 200) {
        responseCode = transport.code;
        humanMsg = transport.reason;
        return;
    }
    std::lock_guard setup(f_setupGuard);
    if (destCount() >= maxRTSPSessions()) {
        responseCode = 453;
        humanMsg = u"Not Enough Bandwidth";
        return;
    }
    const kelString path = requestPath(request);
    kelString ports = path;
    const int32_t opened = doExTransCmd(kelTransCmdOpenRoot, ports, static_cast<uint32_t>(transport.mode));
    if (opened != 0) {
        responseCode = 412;
        humanMsg = u"RTP setup returned " + decimal(opened);
        return;
    }
    const kelString id = newRTSPSessionId();
    kelString add = u"*" + path + u"*" + id + u"*rtp://" + transport.destination + u":" +
                    decimal(transport.rtpPort) + u"/";
    if (doExTransCmd(kelTransCmdAddSession, add, transport.ssrc) != 0) {
        responseCode = 500;
        humanMsg = u"Internal Server Error";
        return;
    }
    f_rtspActivity->touch(id, now());
    uint32_t ourSSRC = 0;
    {
        std::lock_guard lock(f_rootGuard);
        if (f_root) ourSSRC = f_root->_SSRC();
    }
    headers = kelRTSPSetupHeaders(transport, bind2ip(), ports, ourSSRC, id);
}
