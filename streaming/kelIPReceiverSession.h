#pragma once
// The session transports of an IP receiver (its RTSP client or its
// SHOUTcast/Icecast receiver) and what the RTSP session has learnt. The
// window thread makes and frees the threads; the RTSP client's thread
// writes the session texts, under `guard`.

#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelTypes.h"
#include "streaming/kelIPReceiverRTSP.h"
#include "streaming/kelIPReceiverSHOUT.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct kelIPReceiverSession
{
    kelOwned<RTSPRec> rtsp;
    kelOwned<shoutReceiver> shout;

    std::mutex guard;
    kelString describeURI; // the URL DESCRIBE went to
    kelString aggregate;   // PLAY, TEARDOWN and keep-alives go here
    kelString sessionId;
    bool hasServerSSRC = false;
    uint32_t serverSSRC = 0;
    // The SETUP sent: its URL and client ports, and whether it went again
    // without our SSRC (client thread only).
    kelString setupURL;
    uint16_t setupRTP = 0;
    uint16_t setupRTCP = 0;
    bool setupWithoutSSRC = false;

    // The session failed (read closed from then on).
    std::atomic<bool> failed{false};
    // The RTP receiver runs (it is started by the DESCRIBE answer).
    std::atomic<bool> rtpStarted{false};
    // The answer (or failure) of the TEARDOWN sent at close.
    kelEvent teardownDone{true, false};

    // Forgets the last session; window thread, no thread running.
    void reset()
    {
        std::lock_guard lock(guard);
        describeURI.clear();
        aggregate.clear();
        sessionId.clear();
        hasServerSSRC = false;
        serverSSRC = 0;
        setupURL.clear();
        setupRTP = setupRTCP = 0;
        setupWithoutSSRC = false;
        failed.store(false);
        rtpStarted.store(false);
        teardownDone.setState(false);
    }
    // Stops and frees both threads; window thread.
    void freeTransports()
    {
        rtsp.reset();
        shout.reset();
    }
};
