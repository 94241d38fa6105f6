#include "streaming/kelIPReceiverMpegTS.h"

#include "streaming/kelIPReceiver.h"
#include "streaming/kelRTPMap.h"

mpegTSDemuxer::mpegTSDemuxer(TkelIPReceiver* master, kelBitReader_abstract* reader)
    : kelMpegTSDemuxer(reader), f_master(master)
{}

void mpegTSDemuxer::onPayload(uint32_t pid, const uint8_t* data, intptr_t len, void*)
{
    if (!f_master->mpegTS_aware() || pid != f_master->mpegTS_PID()) return;
    if (pid != f_formatNotifiedPID) {
        const kelMpegES* es = stream(pid);
        // Until a PMT names the stream's type nothing is known of its bytes.
        if (es == nullptr || es->streamType() == 0) return;
        f_formatNotifiedPID = pid;
        f_streamType = es->streamType();
        if (isMpegAudio(f_streamType)) f_master->updateFormat(-1, -1, -1, kelRTPEnc_MPA, 0);
    }
    if (f_master->doEncode() && !isMpegAudio(f_streamType)) {
        ++f_dropped;
        return;
    }
    (void)f_master->write(data, static_cast<uint32_t>(len), nullptr);
}

kelIPReceiverMpegTS::kelIPReceiverMpegTS(TkelIPReceiver* master) : f_mpegDemuxer(master, &f_mpegtsReader) {}

void kelIPReceiverMpegTS::receive(const uint8_t* data, size_t len)
{
    if (data == nullptr || len == 0 || len > size_t(INTPTR_MAX)) return;
    f_mpegtsReader.write(data, intptr_t(len));
    f_mpegDemuxer.demux(true, true, nullptr);
    f_mpegDemuxer.countDatagram();
    const intptr_t kept = f_mpegtsReader.bytesLeft() + f_mpegtsReader.stream().getAvailableSize();
    if (kept <= kMaxKept) return;
    f_mpegtsReader.skipBytes(kept - kMaxKept);
    f_bytesDropped += kept - kMaxKept;
}

bool kelIPReceiverMpegTS::startsTS(const uint8_t* data, size_t len) noexcept
{
    constexpr size_t kPacket = size_t(kelMpegTSDemuxer::kPacketSize);
    if (data == nullptr || len < kPacket) return false;
    for (size_t at = 0; at + kPacket <= len; at += kPacket)
        if (data[at] != 0x47) return false;
    return true;
}

bool TkelIPReceiver::doMpegTSFirstPacket(const uint8_t* data, size_t len)
{
    if (!mpegTS_aware()) return false;
    const bool ts = kelIPReceiverMpegTS::startsTS(data, len);
    setMpegTS_enabled(ts);
    if (ts) receiveMpegTS(data, len);
    return ts;
}

void TkelIPReceiver::receiveMpegTS(const uint8_t* data, size_t len)
{
    if (f_mpegTS) f_mpegTS->receive(data, len);
}

mpegTSDemuxer* TkelIPReceiver::mpegTS_demuxer() noexcept
{
    return f_mpegTS ? &f_mpegTS->demuxer() : nullptr;
}
