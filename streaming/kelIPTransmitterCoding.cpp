// The transmitter's audio coding: which coder each encoding uses, when it
// is made, opened and closed, how written PCM reaches it, and the packet
// prefixes of MPEG audio and CELT.
#include "streaming/kelIPTransmitter.h"

#include "codecs/kelADPCM.h"
#include "codecs/kelG711.h"
#include "core/kelUtf.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "streaming/kelIPCeltFrames.h"

#include <algorithm>

namespace {

bool isADPCM(intptr_t enc) noexcept
{
    return enc == kelRTPEnc_DVI4 || enc == kelRTPEnc_VDVI;
}

bool isGSM(intptr_t enc) noexcept
{
    return enc == kelRTPEnc_GSM || enc == kelRTPEnc_GSM49;
}

// The Speex mode of a sampling rate, -1 for a rate Speex has none for.
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

// RFC 2250 3.5: MBZ (16 bits) and the fragment offset (16 bits); a packet
// holding whole frames has both 0.
constexpr uint8_t kMPAHeader[4] = {0, 0, 0, 0};

} // namespace

kelIPEncodedOut TkelIPTransmitter::encodedOut()
{
    return [this](uint32_t samples, const uint8_t* data, size_t len) {
        (void)doTransmit(samples, data, len, false, -1);
    };
}

void TkelIPTransmitter::doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                                       intptr_t bitrate)
{
    kelIPStreamer::doFormatChange(rate, channels, bits, encoding, bitrate);
    std::lock_guard lock(f_rootGuard);
    makeEncoder(rate, channels, encoding, bitrate);
}

void TkelIPTransmitter::makeEncoder(intptr_t rate, intptr_t channels, intptr_t encoding, intptr_t bitrate)
{
    f_carry.clear();
    if (isADPCM(encoding)) {
        f_encoderADPCM = kelMakeOwned<kelADPCM_encoder>(encoding == kelRTPEnc_DVI4 ? adpcm_DVI4 : adpcm_VDVI);
    } else if (isGSM(encoding)) {
        f_encoderGSM = kelMakeOwned<GSMEncoder>(encodedOut(), encoding == kelRTPEnc_GSM49);
    } else if (encoding == kelRTPEnc_speex) {
        if (!f_speexLib) {
            f_speexLib = std::make_unique<kelSpeexLib>(getExLib(c_lib_speex));
            if (!f_speexLib->libOK()) {
                f_encoderSpeex.reset();
                f_speexLib.reset();
                setDescriptionError(u"No Speex library");
            }
        }
        f_encoderSpeex.reset();
        const int mode = speexModeFor(rate);
        if (f_speexLib && mode >= 0)
            f_encoderSpeex = kelMakeOwned<speexEncoder>(encodedOut(), f_speexLib.get(), mode);
    } else if (encoding == kelRTPEnc_CELT) {
        if (frameSize() == 0) setFrameSize(rate / 50);
        f_encoderCELT =
            kelMakeOwned<celtEncoder>(encodedOut(), static_cast<int>(rate), static_cast<int>(frameSize()),
                                      static_cast<int>(channels), utf16ToUtf8(getExLib(c_lib_celt)));
        if (f_encoderCELT && f_encoderCELT->libOK()) {
            f_encoderCELT->f_lowOverhead = false;
            f_encoderCELT->f_numStreams = 1;
        } else {
            f_encoderCELT.reset();
            setDescriptionError(u"No CELT library");
        }
    } else if (encoding == kelRTPEnc_G7221) {
        f_encoderG7221 = kelMakeOwned<G7221Encoder>(encodedOut(), static_cast<int>(rate),
                                                    static_cast<int>(bitrate * 1000));
    }
}

bool TkelIPTransmitter::prepareEncoders()
{
    std::lock_guard lock(f_rootGuard);
    f_mpegAnalysis.reset();
    f_encodedFrames.restart();
    f_carry.clear();
    if (!doEncode()) return true;
    const intptr_t enc = encoding();
    if (isADPCM(enc)) return f_encoderADPCM != nullptr;
    if (isGSM(enc)) return f_encoderGSM != nullptr;
    if (enc == kelRTPEnc_G7221) return f_encoderG7221 && f_encoderG7221->isConfigured();
    if (enc == kelRTPEnc_speex && !f_encoderSpeex) {
        setDescriptionError(u"No Speex library.");
        return false;
    }
    if (enc == kelRTPEnc_CELT && !f_encoderCELT) {
        setDescriptionError(u"No CELT library.");
        return false;
    }
    if (enc == kelRTPEnc_MPA) {
        f_encoderMPEG = kelMakeOwned<mpegEncoder>(
            [this](uint32_t, const uint8_t* data, size_t len) {
                // The encoder's blocks need not be whole frames: each
                // packet carries exactly one.
                (void)f_encodedFrames.write(
                    data, len, false,
                    [this](const uint8_t* frame, size_t n, intptr_t samples, intptr_t rate) {
                        sendMpegFrame(frame, n, samples, rate);
                    });
            },
            utf16ToUtf8(getExLib(c_lib_lame)));
        if (!f_encoderMPEG || !f_encoderMPEG->libOK()) {
            f_encoderMPEG.reset();
            setDescriptionError(u"No mpeg encoding library");
            return false;
        }
    }
    return true;
}

void TkelIPTransmitter::openEncoders()
{
    std::lock_guard lock(f_rootGuard);
    if (!doEncode()) return;
    const intptr_t enc = encoding();
    if (enc == kelRTPEnc_MPA && f_encoderMPEG) {
        f_encoderMPEG->close();
        f_encoderMPEG->setInput(static_cast<uint32_t>(std::max<intptr_t>(samplingRate(), 0)),
                                static_cast<uint32_t>(std::max<intptr_t>(numChannels(), 1)));
        if (f_encoderMPEG->open(static_cast<uint32_t>(std::max<intptr_t>(bitrate(), 0)), true, -1, -1) != 0)
            setDescriptionError(u"MPEG encoder failed to initialize.");
    } else if (enc == kelRTPEnc_speex && f_encoderSpeex) {
        (void)f_encoderSpeex->open();
    } else if (enc == kelRTPEnc_CELT && f_encoderCELT) {
        if (bitrate() > 0) f_encoderCELT->setBitrate(static_cast<int>(bitrate()));
        (void)f_encoderCELT->open();
    }
}

void TkelIPTransmitter::closeEncoders()
{
    std::lock_guard lock(f_rootGuard);
    if (f_encoderMPEG) f_encoderMPEG->close();
    if (f_encoderSpeex) f_encoderSpeex->close();
    if (f_encoderCELT) f_encoderCELT->close();
    // The last frames of written MPEG audio waited for look-ahead that
    // will not come now.
    f_mpegAnalysis.flush([this](const uint8_t* frame, size_t n, intptr_t spf, intptr_t rate) {
        sendMpegFrame(frame, n, spf, rate);
    });
    f_mpegAnalysis.reset();
    f_encodedFrames.restart();
    f_carry.clear();
}

void TkelIPTransmitter::freeEncoders()
{
    // Closed while the component is whole: a flush still sends through it.
    closeEncoders();
    std::lock_guard lock(f_rootGuard);
    f_encoderMPEG.reset();
    f_encoderSpeex.reset();
    f_speexLib.reset();
    f_encoderADPCM.reset();
    f_encoderCELT.reset();
    f_encoderG7221.reset();
    f_encoderGSM.reset();
}

void TkelIPTransmitter::sendMpegFrame(const uint8_t* frame, size_t len, intptr_t samples, intptr_t rate)
{
    // The RTP clock of MPEG audio is 90 kHz: the root converts from the
    // rate the frames themselves give.
    if (f_root && rate > 0) f_root->setSamplingRate(static_cast<uint32_t>(rate));
    if (samples > 0) setFrameSize(samples);
    (void)doTransmit(static_cast<uint32_t>(samples > 0 ? samples : 0), frame, len, false, -1);
}

void TkelIPTransmitter::choosePrefix(size_t len, intptr_t payload)
{
    f_prebuf.clear();
    // Text and other explicit types carry nothing in front.
    if (payload >= 0) return;
    const intptr_t enc = encoding();
    if (enc == kelRTPEnc_MPA)
        f_prebuf.assign(kMPAHeader, kMPAHeader + sizeof kMPAHeader);
    else if (enc == kelRTPEnc_CELT && f_encoderCELT && !f_encoderCELT->f_lowOverhead)
        kelCeltLengthPrefix(len, f_prebuf);
}

bool TkelIPTransmitter::writeCoded(intptr_t enc, const uint8_t* bytes, uint32_t len)
{
    const auto asIs = [&] { (void)doTransmit(static_cast<uint32_t>(frameSize()), bytes, len, false, -1); };
    const bool encode = doEncode();
    size_t samples = 0;
    if (isADPCM(enc)) {
        if (!encode || !f_encoderADPCM) {
            asIs();
            return true;
        }
        // A block codes sample pairs: an odd last sample waits too.
        const int16_t* pcm = f_carry.take(bytes, len, 4, samples);
        const uint8_t* block = nullptr;
        const size_t size = pcm ? f_encoderADPCM->encode(pcm, samples, block) : 0;
        if (size > 0) (void)doTransmit(static_cast<uint32_t>(samples), block, size, false, -1);
        return true;
    }
    if (isGSM(enc)) {
        if (encode && f_encoderGSM)
            (void)f_encoderGSM->write(bytes, len);
        else
            asIs();
        return true;
    }
    if (enc == kelRTPEnc_MPA) {
        if (encode && f_encoderMPEG) {
            (void)f_encoderMPEG->encode(bytes, len);
            return true;
        }
        if (!f_mpegAnalysis.analyzing() && frameSize() == 0) f_mpegAnalysis.start();
        if (!f_mpegAnalysis.write(bytes, len,
                                  [this](const uint8_t* frame, size_t n, intptr_t spf, intptr_t rate) {
                                      sendMpegFrame(frame, n, spf, rate);
                                  }))
            asIs();
        return true;
    }
    if (enc == kelRTPEnc_PCMA || enc == kelRTPEnc_PCMU) {
        if (!encode) {
            asIs();
            return true;
        }
        const int16_t* pcm = f_carry.take(bytes, len, 2, samples);
        uint8_t* out = scratch();
        for (size_t at = 0; pcm != nullptr && at < samples; at += kScratchSize) {
            const size_t n = std::min(samples - at, kScratchSize);
            if (enc == kelRTPEnc_PCMA)
                alawCompress(n, pcm + at, out);
            else
                ulawCompress(n, pcm + at, out);
            (void)doTransmit(static_cast<uint32_t>(n), out, n, false, -1);
        }
        return true;
    }
    if (enc == kelRTPEnc_speex) {
        if (!encode || !f_encoderSpeex) {
            asIs();
            return true;
        }
        const int16_t* pcm = f_carry.take(bytes, len, 2, samples);
        if (pcm != nullptr) (void)f_encoderSpeex->encode_int(pcm, static_cast<intptr_t>(samples * 2));
        return true;
    }
    if (enc == kelRTPEnc_CELT) {
        if (encode && f_encoderCELT)
            (void)f_encoderCELT->encode(bytes, static_cast<int>(len));
        else
            asIs();
        return true;
    }
    if (enc == kelRTPEnc_G7221) {
        if (encode && f_encoderG7221)
            (void)f_encoderG7221->write(bytes, len);
        else
            asIs();
        return true;
    }
    return false;
}
