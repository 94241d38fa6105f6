#pragma once
// Event types of the IP streaming components. They are raised on the thread
// that produced them (a receiver thread, an RTSP server thread); the blocks
// they carry are valid only during the call.

#include "core/kelTypes.h"

#include <cstdint>
#include <functional>

class kelmtlInOutPipe;
struct rtp_hdr;

// Received real-time text: a zero-terminated UTF-16 string.
using kelmtIPReceiverTextEvent = std::function<void(kelmtlInOutPipe* sender, const char16_t* data)>;
// A received RTP packet's header and payload.
using kelmtIPReceiverRTPHdr =
    std::function<void(kelmtlInOutPipe* sender, const rtp_hdr* hdr, const void* data, uint32_t len)>;
// A received payload before decoding.
using kelmtIPReceiverRAWWrite = std::function<void(kelmtlInOutPipe* sender, const void* data, uint32_t len)>;
// A transmitter command: `data` carries the argument in and the answer out.
using kelmtIPTransmitterExTransCmd =
    std::function<void(kelmtlInOutPipe* sender, uint32_t udata, int32_t cmd, kelString& data)>;
