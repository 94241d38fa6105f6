#pragma once
// The AMR voice activity detector (option 1) in the fixed-point arithmetic
// of the AMR reference code (kel3GPPBasicOps.h). It decides for each frame
// of 160 signed 16-bit samples at 8000 Hz (20 ms, mono) whether the frame
// holds speech.
//
// It runs without a speech encoder, so the encoder-side inputs (open-loop
// pitch flags, tone flags, the high-pass correlation of the pitch search)
// are never supplied: the pitch and tone registers stay 0, the slow
// correlation keeps its reset value, and a steady tone sinks into the noise
// estimate like any stationary signal. The detector reads the frame as it
// is (no high-pass, no halving), and judges the 160 samples it is given for
// both the frame power and the filter bank.
//
// A state belongs to one user and is used by one thread at a time. Integer
// arithmetic only; nothing allocates per frame.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

inline constexpr size_t kVadFrameSamples = 160;
inline constexpr size_t kVadBands = 9;

// 64 words, in this order.
struct vadState
{
    int16_t bckr_est[kVadBands];  // background noise estimate per band
    int16_t ave_level[kVadBands]; // averaged input level (stationarity)
    int16_t old_level[kVadBands]; // input level of the previous frame
    int16_t sub_level[kVadBands]; // level of the frame's tail, carried over
    int16_t a_data5[3][2];        // fifth-order stages: first, low branch, high branch
    int16_t a_data3[5];           // third-order stages
    int16_t burst_count;
    int16_t hang_count;
    int16_t stat_count;
    // Flag registers, newest flag 0x4000, shifted right once per frame.
    int16_t vadreg; // intermediate decisions
    int16_t pitch;
    int16_t tone;
    int16_t complex_high;
    int16_t complex_low;
    int16_t oldlag_count; // pitch detection, unused here
    int16_t oldlag;
    int16_t complex_hang_count;
    int16_t complex_hang_timer;
    int16_t best_corr_hp; // slowly filtered high-pass correlation
    int16_t speech_vad_decision;
    int16_t complex_warning;
    int16_t sp_burst_count; // unused here
    int16_t corr_hp_fast;   // fast-filtered high-pass correlation
};
static_assert(sizeof(vadState) == 128, "the detector state is 64 words");
static_assert(std::is_standard_layout_v<vadState> && std::is_trivially_copyable_v<vadState>);
static_assert(offsetof(vadState, a_data5) == 36 * 2 && offsetof(vadState, burst_count) == 47 * 2 &&
              offsetof(vadState, best_corr_hp) == 59 * 2 && offsetof(vadState, corr_hp_fast) == 63 * 2);

// The reset value of both correlation words (0.4 in Q15).
inline constexpr int16_t kVadMinCorrelation = 13106;

// Allocates a state, resets it and stores it in `state`. 0; -1 when `state`
// is already set (it is left as it is) or memory cannot be had.
int vadStateCreate(vadState*& state) noexcept;
// Zeroes every word, then sets each band's noise estimate, averaged level
// and previous level to 150 and both correlations to 13106. 0; -1 for null.
int vadStateReset(vadState* state) noexcept;
// Releases the state and clears the reference. Null is ignored.
void vadStateFree(vadState*& state) noexcept;

// What one decision computed, for tests and diagnostics.
struct vadFrameInfo
{
    int32_t power = 0;      // saturating sum of 2x² over the frame
    int16_t snrSum = 0;     // 0 .. 3640
    int16_t noiseLevel = 0; // sum of the noise estimates / 8
    int16_t threshold = 0;  // 720 .. 1260
    bool intermediate = false;
};

// Whether `frame` (160 samples) holds speech; the answer is also stored as
// the state's final decision. A null state or frame is not speech and
// changes nothing. `info`, when given, receives the frame's figures.
bool vadDecideFrame(vadState* state, const int16_t* frame, vadFrameInfo* info = nullptr) noexcept;

// One band's level from the filter bank's output `filtered` (160 words),
// with the band's carried tail level `carry` (updated). Bands 0 .. 8; 0 for
// another band or null. The detector's own step, open for checks.
int16_t vadBandLevel(const int16_t* filtered, int16_t& carry, size_t band) noexcept;

// Owns a state through vadStateFree.
struct vadStateDeleter
{
    void operator()(vadState* state) const noexcept { vadStateFree(state); }
};
using vadStateOwner = std::unique_ptr<vadState, vadStateDeleter>;
