#include "components/kelmtlIPBroadcastPipe.h"

#include "components/kelWaveFormatBlock.h"
#include "net/sockets/kelSockAddr.h"

#include <arpa/inet.h>

#include <cstring>

kelmtlIPBroadcastPipe::kelmtlIPBroadcastPipe(kelComponent* owner) : kelmtlInOutPipe(owner) {}

kelmtlIPBroadcastPipe::~kelmtlIPBroadcastPipe() = default;

void kelmtlIPBroadcastPipe::setBroadcastAddr(int64_t hostlong) noexcept
{
    f_broadcastH.store(static_cast<uint32_t>(hostlong));
}

kelString kelmtlIPBroadcastPipe::port() const
{
    std::lock_guard lock(f_guard);
    return f_port;
}

void kelmtlIPBroadcastPipe::setPort(const kelString& value)
{
    std::lock_guard lock(f_guard);
    f_port = value;
}

kelString kelmtlIPBroadcastPipe::bindTo() const
{
    std::lock_guard lock(f_guard);
    return f_bindToIP;
}

void kelmtlIPBroadcastPipe::setBindTo(const kelString& value)
{
    std::lock_guard lock(f_guard);
    f_bindToIP = value;
}

kelBroadcastWaveFormat kelmtlIPBroadcastPipe::waveFormat() const
{
    std::lock_guard lock(f_guard);
    return f_wave;
}

void kelmtlIPBroadcastPipe::setWaveFormat(const kelBroadcastWaveFormat& value)
{
    std::lock_guard lock(f_guard);
    if (f_wave == value) return;
    f_wave = value;
    f_waveFormatChanged.store(true);
}

int kelmtlIPBroadcastPipe::portNumber() const
{
    return portFromString(port());
}

sockaddr_in kelmtlIPBroadcastPipe::broadcastSockAddr() const noexcept
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(f_broadcastH.load());
    const int p = portNumber();
    a.sin_port = htons(static_cast<uint16_t>(p < 0 ? 0 : p));
    return a;
}

uint32_t kelmtlIPBroadcastPipe::getFormatExchangeData(std::vector<uint8_t>& data)
{
    const kelBroadcastWaveFormat w = waveFormat();
    kelWaveFormat block;
    block.formatTag = w.tag;
    block.formatOriginal.pcmSamplesPerSecond = w.samplesPerSec;
    block.formatOriginal.pcmBitsPerSample = w.bitsPerSample;
    block.formatOriginal.pcmNumChannels = w.numChannels;
    data.assign(kFormatBlockSize, 0);
    std::memcpy(data.data(), &block, sizeof block);
    return static_cast<uint32_t>(data.size());
}

bool kelmtlIPBroadcastPipe::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                        bool restoreActiveState)
{
    (void)restoreActiveState;
    if (len > kMaxFormatBlock) return false;
    if (!fireFormatChangeBefore(provider, data, len)) return false;
    kelWaveFormatBlockContent content;
    if (!kelReadWaveFormatBlock(data, len, content)) return false;
    const kelWaveFormat& f = content.format;
    // The packets carry 16 bits of tag and 8 of bits and channels: a value
    // beyond them would reach the clients as another format.
    if (!kelWaveFormatFitsRecord(f) || f.formatTag > 0xFFFF || f.formatOriginal.pcmBitsPerSample > 0xFF ||
        f.formatOriginal.pcmNumChannels > 0xFF)
        return false;
    setWaveFormat({f.formatTag, f.formatOriginal.pcmSamplesPerSecond, f.formatOriginal.pcmBitsPerSample,
                   f.formatOriginal.pcmNumChannels});
    fireFormatChangeAfter(provider, data, len);
    return true;
}
