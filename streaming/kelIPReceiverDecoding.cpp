// The receiver's audio decoding: which decoder each encoding uses, when it
// is made, opened and closed, and how a payload becomes PCM for the
// consumers. Payloads that cannot be decoded as they are (cut frames,
// headers without samples, CELT length bytes that do not add up) are
// dropped and counted instead of reaching a decoder, where they would
// shift every later frame.
#include "streaming/kelIPReceiver.h"

#include "codecs/kelG711.h"
#include "core/kelUtf.h"
#include "streaming/kelIPCeltFrames.h"

#include <algorithm>
#include <vector>

namespace {

// The DVI4 and VDVI block header (predictor, step index, reserved).
constexpr uint32_t kADPCMHeaderSize = 4;
// GSM: one 33-byte frame; GSM49: two frames in 65 bytes.
constexpr uint32_t kGSMFrame = 33;
constexpr uint32_t kGSM49Unit = 65;

int speexModeFor(intptr_t rate) noexcept
{
    switch (rate) {
    case 8000:
        return kelSpeexModeNB;
    case 16000:
        return kelSpeexModeWB;
    case 32000:
        return kelSpeexModeUWB;
    default:
        return -1;
    }
}

} // namespace

void TkelIPReceiver::makeLibraryDecoders()
{
    f_decoderMPEG = kelMakeOwned<mpegDecoder>(
        [this](intptr_t rate, intptr_t channels, intptr_t bitrate) {
            updateFormat(rate, channels, 16, kelRTPEnc_MPA, bitrate);
        },
        utf16ToUtf8(getExLib(c_lib_mpg)));
    if (!f_decoderMPEG || !f_decoderMPEG->libOK()) {
        f_decoderMPEG.reset();
        setDescriptionError(u"No mpeg decoder");
    }
    f_speexLib = std::make_unique<kelSpeexLib>(getExLib(c_lib_speex));
    if (!f_speexLib->libOK()) {
        f_speexLib.reset();
        setDescriptionError(descriptionError() + u"No Speex library");
    }
}

void TkelIPReceiver::decodedOut(const uint8_t* pcm, size_t bytes)
{
    // In pieces of at most the scratch size, as every other block.
    for (size_t at = 0; at < bytes; at += kScratchSize) {
        const size_t n = std::min(bytes - at, kScratchSize);
        (void)onNewData(const_cast<uint8_t*>(pcm + at), static_cast<uint32_t>(n), this);
    }
}

void TkelIPReceiver::makeDecoder(intptr_t rate, intptr_t channels, intptr_t encoding, intptr_t bitrate)
{
    std::lock_guard lock(f_decoderGuard);
    const kelIPDecodedOut out = [this](const uint8_t* pcm, size_t bytes) { decodedOut(pcm, bytes); };
    switch (encoding) {
    case kelRTPEnc_DVI4:
    case kelRTPEnc_VDVI:
        f_decoderADPCM = kelMakeOwned<kelADPCM_decoder>(encoding == kelRTPEnc_DVI4 ? adpcm_DVI4 : adpcm_VDVI);
        break;
    case kelRTPEnc_GSM:
    case kelRTPEnc_GSM49:
        f_decoderGSM = kelMakeOwned<GSMdecoder>(out, encoding == kelRTPEnc_GSM49);
        break;
    case kelRTPEnc_speex: {
        f_decoderSpeex.reset();
        const int mode = speexModeFor(rate);
        if (f_speexLib && doEncode()) {
            if (mode < 0) break;
            f_decoderSpeex = kelMakeOwned<speexDecoder>(out, f_speexLib.get(), mode);
            if (!f_decoderSpeex || f_decoderSpeex->modeInfo() == nullptr) f_decoderSpeex.reset();
        }
        if (!f_decoderSpeex) {
            setDescriptionError(u"No Speex library");
            break;
        }
        if (isActive()) (void)f_decoderSpeex->open();
        break;
    }
    case kelRTPEnc_CELT: {
        setFrameSize(rate / 50);
        f_decoderCELT =
            kelMakeOwned<celtDecoder>(out, static_cast<int>(rate), static_cast<int>(frameSize()),
                                      static_cast<int>(channels), utf16ToUtf8(getExLib(c_lib_celt)));
        if (!f_decoderCELT || !f_decoderCELT->libOK()) {
            f_decoderCELT.reset();
            setDescriptionError(u"No CELT library");
            break;
        }
        f_decoderCELT->f_lowOverhead = false;
        f_decoderCELT->f_numStreams = 1;
        if (isActive())
            (void)f_decoderCELT->open(static_cast<int>(rate), static_cast<int>(frameSize()),
                                      static_cast<int>(channels));
        break;
    }
    case kelRTPEnc_G7221:
        f_decoderG7221 =
            kelMakeOwned<G7221decoder>(out, static_cast<int>(rate), static_cast<int>(bitrate * 1000));
        break;
    default:
        break;
    }
}

void TkelIPReceiver::openDecoders()
{
    if (!doEncode()) return;
    std::lock_guard lock(f_decoderGuard);
    if (f_decoderMPEG) (void)f_decoderMPEG->open();
    if (f_decoderSpeex && !f_decoderSpeex->active()) (void)f_decoderSpeex->open();
    if (f_decoderCELT && !f_decoderCELT->active()) (void)f_decoderCELT->open();
}

void TkelIPReceiver::closeDecoders()
{
    std::lock_guard lock(f_decoderGuard);
    if (f_decoderMPEG) f_decoderMPEG->close();
    if (f_decoderSpeex) f_decoderSpeex->close();
    if (f_decoderCELT) f_decoderCELT->close();
}

bool TkelIPReceiver::splitCeltFrames(const uint8_t* payload, size_t size)
{
    std::vector<kelCeltFrame> frames;
    {
        std::lock_guard lock(f_decoderGuard);
        if (!doEncode() || !f_decoderCELT || f_decoderCELT->f_lowOverhead) return false;
        if (!kelCeltSplitFrames(payload, size,
                                static_cast<size_t>(std::max<intptr_t>(f_decoderCELT->f_numStreams, 0)),
                                frames)) {
            dropPayload();
            return true;
        }
    }
    for (const kelCeltFrame& f : frames)
        if (f.len > 0) (void)write(f.data, static_cast<uint32_t>(f.len), nullptr);
    return true;
}

bool TkelIPReceiver::decodeCoded(intptr_t enc, const uint8_t* data, uint32_t len)
{
    std::lock_guard lock(f_decoderGuard);
    switch (enc) {
    case kelRTPEnc_DVI4:
    case kelRTPEnc_VDVI: {
        if (!f_decoderADPCM) return false;
        if (len <= kADPCMHeaderSize) {
            dropPayload();
            return true;
        }
        const int16_t* samples = nullptr;
        const size_t bytes = f_decoderADPCM->decode(data, len, samples);
        if (samples != nullptr) decodedOut(reinterpret_cast<const uint8_t*>(samples), bytes);
        return true;
    }
    case kelRTPEnc_GSM:
    case kelRTPEnc_GSM49: {
        if (!f_decoderGSM) {
            setDescriptionError(u"No GSM decoder");
            return true;
        }
        const uint32_t unit = enc == kelRTPEnc_GSM ? kGSMFrame : kGSM49Unit;
        if (framedInput() && len % unit != 0) {
            dropPayload();
            return true;
        }
        (void)f_decoderGSM->write(data, len);
        return true;
    }
    case kelRTPEnc_MPA: {
        if (!f_decoderMPEG) {
            setDescriptionError(u"No mpeg decodign library");
            return true;
        }
        if (f_decoderMPEG->feed(data, len) < 0) return true;
        // A format report with nothing behind it is read past, a bounded
        // number of times.
        for (int reports = 0; reports < 16;) {
            size_t got = kScratchSize;
            const int result = f_decoderMPEG->read(scratch(), got);
            // "Needs more" may come with the last of what the input made.
            if (got > 0 && (result == 0 || result == kelMpg123NewFormat || result == kelMpg123NeedMore))
                decodedOut(scratch(), got);
            if (result == kelMpg123NewFormat) {
                if (got == 0) ++reports;
                continue;
            }
            if (result != 0 || got == 0) break;
        }
        return true;
    }
    case kelRTPEnc_PCMA:
    case kelRTPEnc_PCMU: {
        // Half the scratch buffer's samples at a time: 2 bytes each out.
        constexpr size_t kChunk = kScratchSize / 2;
        auto* out = reinterpret_cast<int16_t*>(scratch());
        for (size_t at = 0; at < len; at += kChunk) {
            const size_t n = std::min<size_t>(len - at, kChunk);
            if (enc == kelRTPEnc_PCMA)
                alawExpand(n, data + at, out);
            else
                ulawExpand(n, data + at, out);
            (void)onNewData(out, static_cast<uint32_t>(n * 2), this);
        }
        return true;
    }
    case kelRTPEnc_speex:
        if (!f_decoderSpeex)
            setDescriptionError(u"No Speex decodign library");
        else
            (void)f_decoderSpeex->decode(data, len);
        return true;
    case kelRTPEnc_CELT:
        if (!f_decoderCELT)
            setDescriptionError(u"No CELT decodign library");
        else
            (void)f_decoderCELT->decode(data, static_cast<int>(len));
        return true;
    case kelRTPEnc_G7221: {
        if (!f_decoderG7221) {
            setDescriptionError(u"No G.722.1 decoder");
            return true;
        }
        const intptr_t unit = f_decoderG7221->unitSize();
        if (framedInput() && unit > 0 && len % unit != 0) {
            dropPayload();
            return true;
        }
        (void)f_decoderG7221->write(data, len);
        return true;
    }
    default:
        return false;
    }
}
