// The transmitter's destinations known by session and its transport
// commands. Lock order: the root guard may be held while the session list is
// taken, never the other way round; the root's destinations are touched
// only after the session list is left.
#include "streaming/kelIPTransmitter.h"

#include "core/kelLog.h"
#include "net/protocols/kelRE.h"
#include "net/rtp/kelRTCPSiteInfo.h"

#include <vector>

namespace {

// Timeouts of the session list, in ms.
constexpr intptr_t kFindById = 101;
constexpr intptr_t kFindByURI = 1001;
constexpr intptr_t kAddSession = 1000;
constexpr intptr_t kMemberGone = 150;

} // namespace

// --- destinations known by session ---------------------------------------------------

intptr_t TkelIPTransmitter::destAdd(bool dstatic, const kelString& uri, bool enabled,
                                    const kelString& session, uint32_t recSSRC, intptr_t ttl)
{
    auto* s = kelCreate<kelIPTransRTSPSession>(session, uri, recSSRC, ttl);
    if (s == nullptr) return -1;
    if (!f_sessions.lock(false, kAddSession)) {
        kelFree(s);
        return -1;
    }
    // A session is known by its id; a destination without one by its URI,
    // never by the id -1 that all of them share.
    intptr_t index = s->hasId() ? f_sessions.indexOfSession(s->id()) : f_sessions.indexOfURI(uri);
    bool added = false;
    if (index < 0) {
        index = f_sessions.add(static_cast<kelObject*>(s));
        added = index >= 0;
    }
    f_sessions.unlockWO();
    if (!added) {
        kelFree(s);
        return index < 0 ? -1 : index;
    }
    std::lock_guard lock(f_rootGuard);
    if (f_root) (void)f_root->destAdd(dstatic, uri, enabled, ttl, recSSRC);
    return index;
}

intptr_t TkelIPTransmitter::findSession(const kelString& uri, const kelString& session)
{
    const intptr_t index = f_sessions.indexOfSession(session2id(session));
    return index >= 0 ? index : f_sessions.indexOfURI(uri);
}

bool TkelIPTransmitter::removeAt(intptr_t index)
{
    // Under the session list's write lock, which it leaves.
    const kelIPTransRTSPSession* s = f_sessions.session(index);
    const kelString destURI = s != nullptr ? s->destURI() : kelString{};
    const bool removed = s != nullptr && f_sessions.removeByIndex(index, 2);
    f_sessions.unlockWO();
    if (removed) {
        std::lock_guard lock(f_rootGuard);
        if (f_root) (void)f_root->destRemove(destURI);
    }
    return removed;
}

bool TkelIPTransmitter::destRemove(const kelString& uri, const kelString& session)
{
    if (!f_sessions.lock(false, kFindByURI)) return false;
    return removeAt(findSession(uri, session));
}

bool TkelIPTransmitter::destRemove(intptr_t index)
{
    if (!f_sessions.lock(false, kFindByURI)) return false;
    return removeAt(index);
}

bool TkelIPTransmitter::enableAt(intptr_t index, bool doEnable)
{
    // Under the session list's read lock, which it leaves.
    const kelIPTransRTSPSession* s = f_sessions.session(index);
    const kelString destURI = s != nullptr ? s->destURI() : kelString{};
    f_sessions.unlockRO();
    if (s == nullptr) return false;
    std::lock_guard lock(f_rootGuard);
    return f_root && f_root->destEnable(destURI, doEnable);
}

bool TkelIPTransmitter::destEnable(const kelString& uri, const kelString& session, bool doEnable)
{
    if (!f_sessions.lock(true, kFindById)) return false;
    return enableAt(findSession(uri, session), doEnable);
}

bool TkelIPTransmitter::destEnable(intptr_t index, bool doEnable)
{
    if (!f_sessions.lock(true, kFindById)) return false;
    return enableAt(index, doEnable);
}

void TkelIPTransmitter::onMemberGone(const rtp_site_info* member, bool timedOut)
{
    kelIPStreamer::onMemberGone(member, timedOut);
    if (member == nullptr || f_sessions.count() == 0 || !f_sessions.lock(true, kMemberGone)) return;
    const kelIPTransRTSPSession* found = nullptr;
    if (member->r_ssrc != 0)
        for (intptr_t i = 0; found == nullptr && i < f_sessions.count(); ++i)
            if (const kelIPTransRTSPSession* s = f_sessions.session(i); s && s->recSSRC() == member->r_ssrc)
                found = s;
    if (found == nullptr && member->r_remoteAddrRTPValid)
        for (intptr_t i = 0; found == nullptr && i < f_sessions.count(); ++i)
            if (const kelIPTransRTSPSession* s = f_sessions.session(i);
                s && s->sameAddr(member->r_remoteAddrRTP))
                found = s;
    // A client that only receives never sends RTP, so its member has no RTP
    // address; its reports come from the RTCP port beside its RTP port.
    if (found == nullptr && !member->r_remoteAddrRTPValid && member->r_remoteAddrRTCPValid)
        for (intptr_t i = 0; found == nullptr && i < f_sessions.count(); ++i)
            if (const kelIPTransRTSPSession* s = f_sessions.session(i);
                s && s->sameRTCPAddr(member->r_remoteAddrRTCP))
                found = s;
    // Command 5 takes a session id; a destination without one goes by its
    // URI.
    kelString which;
    if (found != nullptr) which = found->hasId() ? found->session() : found->destURI();
    f_sessions.unlockRO();
    if (!which.empty()) (void)doExTransCmd(kelTransCmdRemoveSession, which, 0);
}

// --- transport commands ------------------------------------------------------------------

int32_t TkelIPTransmitter::doExTransCmd(int32_t cmd, kelString& data, uint32_t udata)
{
    if (f_onExTransCmd) {
        const kelString original = data;
        bool handled = true;
        try {
            f_onExTransCmd(this, udata, cmd, data);
        } catch (...) {
            logCaught("the onExTransCmd handler");
            handled = false;
        }
        if (handled && data != kelTransCmdNotHandled) return 0;
        data = original;
    }
    try {
        return builtInCommand(cmd, data, udata);
    } catch (...) {
        logCaught("TkelIPTransmitter transport command");
        return -1;
    }
}

int32_t TkelIPTransmitter::builtInCommand(int32_t cmd, kelString& data, uint32_t udata)
{
    switch (cmd) {
    case kelTransCmdOpenRoot:
        return openRootCommand(data, udata);
    case kelTransCmdDescribe:
        data = SDP();
        return 0;
    case kelTransCmdAddSession:
        return addSessionCommand(data, udata);
    case kelTransCmdRemoveSession:
        return removeSessionCommand(data);
    case kelTransCmdPause:
        return enableSessionCommand(data, false);
    case kelTransCmdPlay:
        return enableSessionCommand(data, true);
    default:
        return 0;
    }
}

const kelRE* TkelIPTransmitter::sessionExpression()
{
    std::call_once(f_reOnce, [this] {
        if (reCompile(kelSessionDestPattern, f_reSessionDest) != 0) f_reSessionDest = nullptr;
    });
    return f_reSessionDest;
}

int32_t TkelIPTransmitter::addSessionCommand(const kelString& data, uint32_t udata)
{
    kelString session, uri;
    if (!kelSplitSessionCommand(sessionExpression(), data, session, uri)) return -1;
    // Not static and not opened yet: a PLAY (command 7) opens it.
    return destAdd(false, uri, false, session, udata, -1) >= 0 ? 0 : -1;
}

int32_t TkelIPTransmitter::removeSessionCommand(const kelString& data)
{
    // `data` is a session id, or the URI of a destination without one.
    const bool isId = session2id(data) != -1;
    if (!destRemove(isId ? kelString{} : data, data)) return -1;
    std::lock_guard lock(f_rootGuard);
    // Parked, not freed: this may run on one of the root's own threads.
    if (f_sessions.count() == 0) (void)parkRoot();
    return 0;
}

int32_t TkelIPTransmitter::enableSessionCommand(const kelString& data, bool doEnable)
{
    const bool isId = session2id(data) != -1;
    return destEnable(isId ? kelString{} : data, data, doEnable) ? 0 : -1;
}
