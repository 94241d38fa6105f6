#include "components/kelmtlIPBroadcastClient.h"

#include "core/kelLog.h"

#include <arpa/inet.h>

#include <algorithm>

// --- receive thread --------------------------------------------------------------

kelmtlBroadcastClientThread::kelmtlBroadcastClientThread(kelmtlIPBroadcastClient& owner)
    : kelThread(false, kelThreadPriorityHighest), f_owner(owner)
{}

intptr_t kelmtlBroadcastClientThread::execute(uintptr_t)
{
    const int fd = static_cast<int>(f_owner.f_socket.handle());
    while (!shouldStop()) {
        try {
            if (waitReadable(fd, kelmtlIPBroadcastClient::kIdleWaitMs)) (void)f_owner.receiveWaiting();
        } catch (...) {
            // A consumer raised; the stream goes on with the next datagram.
            logFailuref("broadcast client: a consumer raised while taking a datagram");
        }
    }
    return 0;
}

// --- client ------------------------------------------------------------------------

kelmtlIPBroadcastClient::kelmtlIPBroadcastClient(kelComponent* owner)
    : kelmtlIPBroadcastPipe(owner), f_thread(kelCreate<kelmtlBroadcastClientThread>(*this))
{
    setIsFormatProvider(true);
}

void kelmtlIPBroadcastClient::setPort(const kelString& value)
{
    close();
    kelmtlIPBroadcastPipe::setPort(value);
}

bool kelmtlIPBroadcastClient::doOpen()
{
    if (isActive()) return true;
    if (!f_thread || !kelmtlInOutPipe::doOpen()) return false;
    // A receive thread left from a close that timed out must be gone before
    // the socket is touched.
    f_thread->stop(kThreadStopTimeout);
    if (!f_thread->waitForTerminate(kThreadStopTimeout)) return false;
    f_reception.reset();
    f_socket.close(false);
    f_socket.setBindToIP(bindTo());
    int err = f_socket.setBindToPort(port()) && portNumber() > 0 ? 0 : WSAEINVAL;
    if (err == 0 && f_socket.getSocket(true) == kelInvalidSocket) err = kelWSAGetLastError();
    if (err == 0) err = f_socket.setOptBool(kelSO_REUSEADDR, true);
    if (err == 0) err = f_socket.bind();
    if (err == 0) (void)f_socket.setRcvBufSize(kReceiveBufferBytes);
    f_lastError.store(err);
    if (err != 0) {
        f_socket.close(false);
        return false;
    }
    f_buffer.assign(std::clamp<size_t>(f_socket.getMTU(), kelBroadcastMaxDatagram, 65536), 0);
    f_handle.store(f_socket.handle());
    f_isActive.store(true);
    if (!f_thread->start(kThreadStartTimeout)) {
        f_isActive.store(false);
        f_handle.store(-1);
        f_socket.close(false);
        return false;
    }
    return true;
}

void kelmtlIPBroadcastClient::doClose()
{
    f_isActive.store(false);
    if (f_thread) {
        (void)f_thread->stop(kThreadStopTimeout);
        // The socket stays with a body that has not ended yet; the next open
        // or the destruction waits for it.
        if (f_thread->waitForTerminate(kThreadStopTimeout)) {
            f_handle.store(-1);
            f_socket.close(false);
        }
    }
    kelmtlInOutPipe::doClose();
}

int kelmtlIPBroadcastClient::receiveWaiting()
{
    // One datagram a wake-up: when more are queued the next poll() returns
    // at once, and a lone datagram costs no receive that finds nothing.
    sockaddr_in from{};
    const int n =
        f_socket.recvfrom(&from, f_buffer.data(), static_cast<int>(f_buffer.size()), true, kelMSG_TRY);
    if (n < 0) return 0;
    handleDatagram(f_buffer.data(), static_cast<size_t>(n), from);
    return 1;
}

void kelmtlIPBroadcastClient::handleDatagram(uint8_t* datagram, size_t len, const sockaddr_in& from)
{
    if (len <= 2) return;
    const kelBroadcastSender sender{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
    f_remoteHost.store(sender.ipH);
    f_remotePort.store(sender.port);
    const kelmtlBroadcastReception::Result r = f_reception.handle(datagram, len, sender, clock().nowMs());
    if (r.verdict == kelbv_format) {
        applyReceivedFormat(r.packet.format);
    } else if (r.verdict == kelbv_data) {
        // The payload lies in our own receive buffer, so it may be changed
        // in place by onDataDSP.
        (void)onNewData(const_cast<uint8_t*>(r.packet.data.payload),
                        static_cast<uint32_t>(r.packet.data.length), this);
    }
}

void kelmtlIPBroadcastClient::applyReceivedFormat(const kelBroadcastFormat& format)
{
    setWaveFormat({format.tag, format.samplesPerSec, format.bitsPerSample, format.numChannels});
    // Pushed even when the values are the same: the sender said it changed.
    clearFormatCRC();
    (void)checkFormatChange(true);
}
