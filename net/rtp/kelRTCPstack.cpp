#include "net/rtp/kelRTCPstack.h"

#include "core/kelLog.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "net/sockets/kelUdpSocket.h"

// --- idle thread -------------------------------------------------------------

intptr_t kelRTCPIdleThread::execute(uintptr_t)
{
    while (!shouldStop()) {
        sleepThread(100);
        if (shouldStop()) break;
        f_rtcp->timerTick();
    }
    return 0;
}

// --- stack -------------------------------------------------------------------

kelRTCPstack::kelRTCPstack(kelRTCPStackOwner* streamer, bool useNTP)
    : kelThread(false, kelThreadPriorityNormal), f_streamer(streamer), f_session(streamer, &f_output)
{
    f_idleThread.reset(kelCreate<kelRTCPIdleThread>(this));
    // Sender reports carry the process's shared, SNTP-corrected clock.
    f_session.setNTPClock([](kelNTP_timestamp& ntp) { return getNTPTime(&ntp); });
    if (useNTP) (void)getNTPTime(nullptr);
}

kelRTCPstack::~kelRTCPstack() = default;

void kelRTCPstack::processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t size) noexcept
{
    f_session.processRTP(from, header, size);
}

void kelRTCPstack::processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept
{
    f_session.processRTCP(from, data, size);
}

void kelRTCPstack::processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype,
                              const char* name, const uint8_t* data, size_t size) noexcept
{
    f_session.processAPP(from, packet, subtype, name, data, size);
}

void kelRTCPstack::timerTick() noexcept
{
    if (!f_readyEv.waitFor(100)) return;
    (void)f_session.tick();
}

int kelRTCPstack::sendAPPto(const sockaddr_in& addr, uint8_t subtype, const char* name, const uint8_t* data,
                            size_t len, bool sendCNAMEasWell) noexcept
{
    // Every APP now goes out in a compound that carries the CNAME ahead of
    // it, so the peer knows the sender first whether or not it was asked.
    (void)sendCNAMEasWell;
    // A failed APP send is kept in socketError by the session's output.
    return f_session.sendAPPto(addr, subtype, name, data, len);
}
