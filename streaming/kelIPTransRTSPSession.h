#pragma once
// kelIPTransRTSPSession: one destination the IP transmitter knows by session
// (an RTSP client's SETUP, a duplex, or the application), and the list of
// them. A session is immutable once made: its URI, id text, SSRC and TTL are
// fixed, and its host, port, path and address are taken from the URI at
// construction (the host is resolved then, on the caller's thread, so that
// RTCP threads matching a departed member never wait for a name lookup).
//
// Threads. Sessions are made on the thread that adds them (window thread,
// RTSP server thread) and read under the list's lock on any thread.

#include "core/kelIdList.h"
#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <netinet/in.h>

#include <cstdint>

// The session text read as a base-32 number (digits 0-9 then A-V, either
// case); -1 for an empty text, any other character, or a value beyond
// 63 bits.
int64_t session2id(const kelString& session) noexcept;

class kelRE;

// The pattern that splits the text of the add-session command:
// "*" any text "*" session id "*" destination URI.
inline constexpr char16_t kelSessionDestPattern[] = u"\\*(.*)\\*(.*)\\*(.*)";

// Splits an add-session text with `compiled` (kelSessionDestPattern): the
// session is the second group, the URI the third. False when the text does
// not match or names no URI; `session` and `uri` are then left alone.
bool kelSplitSessionCommand(const kelRE* compiled, const kelString& text, kelString& session, kelString& uri);

class kelIPTransRTSPSession : public kelObject
{
public:
    kelIPTransRTSPSession(const kelString& session, const kelString& destURI, uint32_t recSSRC, intptr_t ttl);

    const kelString& destURI() const noexcept { return f_destURI; }
    const kelString& session() const noexcept { return f_session; }
    uint32_t recSSRC() const noexcept { return f_recSSRC; }
    intptr_t ttl() const noexcept { return f_ttl; }
    // session2id(session()); -1 for a destination without a session id.
    int64_t id() const noexcept { return f_id; }
    bool hasId() const noexcept { return f_id != -1; }
    const kelString& destHost() const noexcept { return f_destHost; }
    // Decimal; empty when the URI named none.
    const kelString& destPort() const noexcept { return f_destPort; }
    const kelString& destPath() const noexcept { return f_destPath; }
    // The destination's RTP address; IP 0 when the host did not resolve.
    const sockaddr_in& destAddr() const noexcept { return f_destAddr; }

    // True when `uri` names this destination: the URIs compare equal,
    // ignoring case.
    bool sameURI(const kelString& uri) const noexcept;
    // True when `addr` is this destination's RTP address: same IP, and the
    // same port unless either port is 0.
    bool sameAddr(const sockaddr_in& addr) const noexcept;
    // True when `addr` is this destination's RTCP address: same IP, the RTP
    // port + 1 (both ports known).
    bool sameRTCPAddr(const sockaddr_in& addr) const noexcept;

    kelString _classID() const override { return u"kelIPTransRTSPSession"; }

private:
    const kelString f_destURI;
    const kelString f_session;
    const uint32_t f_recSSRC;
    const intptr_t f_ttl;
    const int64_t f_id;
    kelString f_destHost;
    kelString f_destPort;
    kelString f_destPath;
    sockaddr_in f_destAddr{};
};

// The listed sessions, owned, keyed by session id. Destinations without a
// session id all carry id -1: the list lets them share it, and the
// transmitter tells them apart by URI instead.
class kelIPTransRTSPSessionList : public kelIdList
{
public:
    kelIPTransRTSPSessionList();
    ~kelIPTransRTSPSessionList() override;

    // The session at `index` without locking (the caller holds the lock);
    // null out of range.
    kelIPTransRTSPSession* session(intptr_t index) noexcept
    {
        return index >= 0 && index < count() ? static_cast<kelIPTransRTSPSession*>(itemAt(index)) : nullptr;
    }
    // Index of the session with id `id`; -1 when there is none, and always
    // for id -1, which names no session. The caller holds the lock.
    intptr_t indexOfSession(int64_t id) noexcept;
    // Index of the first session whose URI equals `uri` ignoring case; -1
    // when there is none or `uri` is empty. The caller holds the lock.
    intptr_t indexOfURI(const kelString& uri) noexcept;

    kelString _classID() const override { return u"kelIPTransRTSPSessionList"; }

protected:
    int64_t getId(void* item) noexcept override;
};
