#pragma once
// The transmitter's session protocols: RTSPSrv, the RTSP server of rtsp and
// rtspu URIs, which hands every request that needs a meaning to its
// transmitter; kelIPRTSPActivity, which tells when each RTSP session was
// last heard from; shoutTransmitter, the SHOUTcast/Icecast source of http
// URIs, which tells its transmitter how its login ended.
//
// Threads. RTSPSrv's requests arrive on the server's delivery thread; the
// activity table is touched from there, from the root's RTCP threads and
// read from the idle thread; shoutTransmitter's end runs on its own thread.
// Each is made and freed by its transmitter (kelCreate / kelFree), which
// outlives it.

#include "core/kelTypes.h"
#include "net/protocols/kelRTSPServer.h"
#include "net/protocols/kelSHOUTtransmitter.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class TkelIPTransmitter;

class RTSPSrv final : public kelRTSPServer
{
public:
    explicit RTSPSrv(TkelIPTransmitter* master) : f_master(master) {}
    kelString _classID() const override { return u"RTSPSrv"; }

protected:
    void onRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request, kelString& headers,
                   std::string& body, kelString& humanMsg, intptr_t& responseCode) override;

private:
    TkelIPTransmitter* const f_master;
};

// When each RTSP session was last heard from (a request naming it, or an
// RTCP report of its client), by session id. Any thread.
class kelIPRTSPActivity
{
public:
    void touch(const kelString& session, uint64_t nowMs);
    void forget(const kelString& session);
    void clear();
    // The sessions not heard from for `idleMs` or more at `nowMs`.
    std::vector<kelString> idle(uint64_t nowMs, uint64_t idleMs);
    std::vector<kelString> sessions();
    size_t count();

private:
    std::mutex f_guard;
    std::map<kelString, uint64_t> f_last;
};

class shoutTransmitter final : public kelSHOUTtransmitter
{
public:
    explicit shoutTransmitter(TkelIPTransmitter* master) : master(master) {}
    kelString _classID() const override { return u"shoutTransmitter"; }

    TkelIPTransmitter* const master;

protected:
    // The login failed or the stream broke: the transmitter learns why.
    void startOut() override;
};

// The text of a source login that failed or a stream that broke: the
// server's refusals as it names them ("401 Unauthorized", "403
// Forbidden", "404 Not Found"), else what went wrong. Empty for no error.
kelString kelSHOUTSourceErrorText(intptr_t error, intptr_t iceCode);
