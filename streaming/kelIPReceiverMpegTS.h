#pragma once
// The receiver's MPEG transport stream path. A receiver that gets a
// transport stream (RTP payload type 33, or raw datagrams whose first one
// is made of whole 188-byte packets) writes every datagram into a TS reader
// and demultiplexes it; the payload of the one PID the receiver is told to
// take (mpegTS_PID) goes on to its doWrite. An MPEG audio stream (stream
// type 3 or 4) also switches the receiver's format to MPA; with decoding on,
// payloads of other stream types are dropped and counted, since no decoder
// here could make audio of them.
//
// What a datagram leaves unread (an incomplete packet, or what a call that
// met lost sync did not reach) waits for the next one, at most 64 KiB of
// it: the oldest bytes beyond go, counted, so a sender of garbage cannot
// make it grow.
//
// Everything here runs on the RTP receiver's thread; one per open.

#include "codecs/kelMpeg.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class TkelIPReceiver;

// The receiver's demultiplexer: hands the payloads of the receiver's PID on.
class mpegTSDemuxer : public kelMpegTSDemuxer
{
public:
    mpegTSDemuxer(TkelIPReceiver* master, kelBitReader_abstract* reader);

    // The PID whose stream type is known and whose payloads go on; all ones
    // until the first one.
    uint32_t formatNotifiedPID() const noexcept { return f_formatNotifiedPID; }
    // Payloads of the PID dropped because decoding was on and their stream
    // type is not MPEG audio. Any thread.
    int64_t droppedPayloads() const noexcept { return f_dropped.load(); }
    // Datagrams demultiplexed so far. Any thread.
    int64_t datagrams() const noexcept { return f_datagrams.load(); }
    void countDatagram() noexcept { ++f_datagrams; }

    static bool isMpegAudio(uint8_t streamType) noexcept { return streamType == 3 || streamType == 4; }

    kelString _classID() const override { return u"mpegTSDemuxer"; }

protected:
    void onPayload(uint32_t pid, const uint8_t* data, intptr_t len, void* userData) override;

private:
    TkelIPReceiver* f_master;
    uint32_t f_formatNotifiedPID = 0xFFFFFFFFu;
    uint8_t f_streamType = 0;
    std::atomic<int64_t> f_dropped{0};
    std::atomic<int64_t> f_datagrams{0};
};

// One open's TS reader and demultiplexer.
class kelIPReceiverMpegTS
{
public:
    explicit kelIPReceiverMpegTS(TkelIPReceiver* master);

    // Writes one datagram and demultiplexes what there is.
    void receive(const uint8_t* data, size_t len);

    // A raw datagram that starts a transport stream: at least one packet,
    // and every whole 188-byte block begins with the sync byte.
    static bool startsTS(const uint8_t* data, size_t len) noexcept;

    mpegTSDemuxer& demuxer() noexcept { return f_mpegDemuxer; }
    kelBitReader_stream& reader() noexcept { return f_mpegtsReader; }
    // Bytes that waited unread beyond the cap and were dropped.
    int64_t bytesDropped() const noexcept { return f_bytesDropped; }

    static constexpr intptr_t kMaxKept = 64 * 1024;
    // RTP's payload type of a transport stream (MP2T).
    static constexpr uint8_t kPayloadType = 33;

private:
    kelBitReader_stream f_mpegtsReader;
    mpegTSDemuxer f_mpegDemuxer;
    int64_t f_bytesDropped = 0;
};
