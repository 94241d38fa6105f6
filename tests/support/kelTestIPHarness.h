#pragma once
// A transmitter and a receiver component on 127.0.0.1 that run on a manual
// clock: report times, the repeats of hole packets, member time-outs and
// keep-alives follow the clock the test moves, not the wall clock, so a
// test that needs a report interval to pass advances the clock instead of
// waiting seconds for it.
//
// The components' idle threads still tick every 100 ms of real time and
// read the clock on each tick; after moving the clock a test therefore
// waits (bounded) for what the next tick does. Used from the test's own
// thread; the clock is read by the components' threads.

#include "core/kelClock.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <cstdint>
#include <functional>

// A transmitter open on a free port of 127.0.0.1 whose destination is
// `peer`, which made itself one as a receiver does, with a comfort-noise
// ping; null when any step failed.
inline kelOwned<TkelIPTransmitter> kelTestTransmitterFor(const kelTestPeer& peer)
{
    const uint16_t port = kelTestFreeRTPPort();
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    if (port == 0 || !tx || !peer.ok()) return {};
    tx->setURI(kelTestURI(port));
    if (!tx->open() || !peer.sendTo(port, kelTestRTPPacket(13, 1, {0}))) return {};
    if (!kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; })) return {};
    return tx;
}

class kelTestIPHarness
{
public:
    // Both components on rtp://127.0.0.1:`port`, not yet open; a port of 0
    // means a free one. ok() says whether a port and both were had.
    explicit kelTestIPHarness(uint16_t port = 0)
        : f_port(port != 0 ? port : kelTestFreeRTPPort()), f_tx(kelCreate<TkelIPTransmitter>()),
          f_rx(kelCreate<TkelIPReceiver>())
    {
        if (!ok()) return;
        f_tx->setClock(f_clock);
        f_rx->setClock(f_clock);
        f_tx->setURI(uri());
        f_rx->setURI(uri());
    }
    ~kelTestIPHarness()
    {
        // Closed before the clock they read goes away.
        if (f_tx) f_tx->close();
        if (f_rx) f_rx->close();
    }
    kelTestIPHarness(const kelTestIPHarness&) = delete;
    kelTestIPHarness& operator=(const kelTestIPHarness&) = delete;

    // A clock step that passes a report time of the receiver at every step
    // or two.
    static constexpr uint64_t kReportStepMs = 2500;

    bool ok() const { return f_port != 0 && f_tx && f_rx; }
    uint16_t port() const { return f_port; }
    kelString uri() const { return kelTestURI(f_port); }
    kelManualClock& clock() { return f_clock; }
    TkelIPTransmitter& tx() { return *f_tx; }
    TkelIPReceiver& rx() { return *f_rx; }

    // See kelTestAdvanceUntil.
    bool advanceUntil(const std::function<bool()>& condition, uint64_t maxMs, uint64_t stepMs = 1000)
    {
        return kelTestAdvanceUntil(f_clock, condition, maxMs, stepMs);
    }

    // The transmitter has heard the receiver's hole packets and sends to
    // it. The receiver repeats them at its report times until then, so the
    // clock moves through report intervals (a few seconds each).
    bool advanceUntilTransmitterKnowsReceiver(uint64_t maxMs = 60000)
    {
        return advanceUntil([this] { return f_tx->rootDestCount() >= 1; }, maxMs, kReportStepMs);
    }

private:
    kelManualClock f_clock;
    uint16_t f_port;
    kelOwned<TkelIPTransmitter> f_tx;
    kelOwned<TkelIPReceiver> f_rx;
};
