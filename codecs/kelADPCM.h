#pragma once
// IMA/DVI ADPCM coders: 4-bit codes of 16-bit mono samples in three block
// layouts.
//
//   adpcm_IMA4  header: first sample (16-bit little-endian), step index, 0;
//               then codes two per byte, first code in the low nibble. The
//               header sample is the first sample itself.
//   adpcm_DVI4  header: predicted value at block start (16-bit big-endian),
//               step index, 0; then codes two per byte, first code in the
//               high nibble (the RTP DVI4 payload, RFC 3551 4.5.1).
//   adpcm_VDVI  the DVI4 header, then the variable-length codes of RFC 3551
//               4.5.2 packed most significant bit first; a final partial byte
//               is filled with 1 bits, which decode to nothing.
//
// A coder keeps its state from call to call: the predictor and step index at
// the end of one block start the next. A coder is one stream's: calls on one
// coder are serialised through its lock, and the buffer a call hands back is
// the coder's own, valid until the next call on it.

#include "codecs/kelADPCMState.h"
#include "core/kelObject.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class kelADPCM_coder : public kelObject
{
public:
    explicit kelADPCM_coder(kel_ADPCM_type variant) noexcept;

    kel_ADPCM_type variant() const noexcept { return f_state.variant; }
    // The running state (for tests and diagnostics; not locked).
    const kelADPCM_state& state() const noexcept { return f_state; }

protected:
    kelADPCM_state f_state;
    std::vector<uint8_t> f_buf;
};

class kelADPCM_encoder : public kelADPCM_coder
{
public:
    using kelADPCM_coder::kelADPCM_coder;

    // Codes `num_samples` samples from `data` into one block and returns its
    // size in bytes, with `buf` pointing at it. 0 (and `buf` null) for absent
    // data or fewer than two samples. DVI4 and VDVI code an even number of
    // samples (an odd last one is left out); IMA4 an odd number, counting the
    // header sample (an even count leaves out the last one).
    size_t encode(const int16_t* data, size_t num_samples, const uint8_t*& buf) noexcept;

    // The most bytes encode() can produce for `num_samples` samples.
    static size_t maxBlockSize(kel_ADPCM_type variant, size_t num_samples) noexcept;
};

class kelADPCM_decoder : public kelADPCM_coder
{
public:
    using kelADPCM_coder::kelADPCM_coder;

    // Decodes one block of `size` bytes and returns the bytes of 16-bit
    // samples produced (twice their count), with `samples` pointing at them.
    // 0 (and `samples` null) for absent input or a block too short to hold a
    // sample (IMA4: below 4 bytes, its header being the first sample; DVI4
    // and VDVI: 4 bytes or less).
    // Any bytes are safe input: the header's step index is limited to 0..88.
    size_t decode(const uint8_t* buf, size_t size, const int16_t*& samples) noexcept;

    // The most sample bytes decode() can produce from a block of `size` bytes.
    static size_t maxDecodedSize(kel_ADPCM_type variant, size_t size) noexcept;

private:
    std::vector<int16_t> f_samples;
};
