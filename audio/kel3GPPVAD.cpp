#include "audio/kel3GPPVAD.h"

#include "core/kel3GPPBasicOps.h"

#include <new>

using namespace kelBasicOp;

namespace {

constexpr int16_t kResetLevel = 150;

constexpr int32_t kPowPitchThreshold = 343040;
constexpr int32_t kPowLow = 15000; // low power, also clears the newest complex-low flag

constexpr int16_t kCoeff5First = 21955;
constexpr int16_t kCoeff5Second = 6390;
constexpr int16_t kCoeff3 = 13363;

constexpr int16_t kInvBands = 3641; // 1/9 in Q15
constexpr int16_t kThresholdSlope = -2808;
constexpr int16_t kThresholdHigh = 1260;
constexpr int16_t kThresholdLow = 720;

constexpr int16_t kStatCount = 20;
constexpr int16_t kStatMinComplex = 5;
constexpr int16_t kStatLevelFloor = 184;
constexpr int16_t kStatRatioThreshold = 1000;
constexpr int16_t kAlphaAverage = 3276;
constexpr int16_t kAlphaAverageQuiet = 16383;

constexpr int16_t kNoiseMin = 40;
constexpr int16_t kNoiseMax = 16000;

constexpr int16_t kHangNoiseThreshold = 100;
constexpr int16_t kBurstHighNoise = 4, kHangHighNoise = 7;
constexpr int16_t kBurstLowNoise = 5, kHangLowNoise = 4;

constexpr int16_t kCorrAdaptHigh = 19660;
constexpr int16_t kCorrAdaptLow = 16383;
constexpr int16_t kCorrHang = 22936;
constexpr int16_t kCorrInNoise = 21298;
constexpr int16_t kAdaptSlow = 655;
constexpr int16_t kAdaptFast = 2621;
constexpr int16_t kAdaptReallyFast = 6553;
constexpr int16_t kComplexHangLimit = 100;
constexpr int16_t kComplexHangLength = 250;

constexpr int16_t kNewest = 0x4000;

// Low and high half of a pair through the two all-pass branches (21955 on
// the first value, 6390 on the second).
struct AllPassPair
{
    int16_t low, high;
};

AllPassPair allPassPair(int16_t first, int16_t second, int16_t* memory) noexcept
{
    const int16_t u = sub(first, mult(kCoeff5First, memory[0]));
    const int16_t p = add(memory[0], mult(kCoeff5First, u));
    memory[0] = u;
    const int16_t v = sub(second, mult(kCoeff5Second, memory[1]));
    const int16_t q = add(memory[1], mult(kCoeff5Second, v));
    memory[1] = v;
    return {add(p, q), sub(p, q)};
}

// The first stage splits 0-4 kHz into 0-2 and 2-4 kHz, with the input
// lowered by two bits and the outputs left unhalved.
void firstStage(const int16_t* in, int16_t* out, int16_t* memory) noexcept
{
    for (size_t k = 0; k < kVadFrameSamples / 2; ++k) {
        const AllPassPair r = allPassPair(shr(in[2 * k], 2), shr(in[2 * k + 1], 2), memory);
        out[2 * k] = r.low;
        out[2 * k + 1] = r.high;
    }
}

void filter5(int16_t& in0, int16_t& in1, int16_t* memory) noexcept
{
    const AllPassPair r = allPassPair(in0, in1, memory);
    in0 = shr(r.low, 1);
    in1 = shr(r.high, 1);
}

void filter3(int16_t& in0, int16_t& in1, int16_t& memory) noexcept
{
    const int16_t w = sub(in1, mult(kCoeff3, memory));
    const int16_t r = add(memory, mult(kCoeff3, w));
    memory = w;
    in1 = shr(sub(in0, r), 1);
    in0 = shr(add(in0, r), 1);
}

// A band's level: the sum of 2|y| over the frame's samples c1 .. c2-1 and
// the tail of the previous frame, whose own tail is carried on.
int16_t bandLevel(const int16_t* b, int16_t& carry, size_t c1, size_t c2, size_t m, size_t a,
                  int16_t scale) noexcept
{
    int32_t tail = 0;
    for (size_t j = c1; j < c2; ++j)
        tail = L_mac(tail, 1, abs_s(b[m * j + a]));
    int32_t sum = L_add(tail, L_shl(carry, sub(16, scale)));
    carry = extract_h(L_shl(tail, scale));
    for (size_t j = 0; j < c1; ++j)
        sum = L_mac(sum, 1, abs_s(b[m * j + a]));
    return extract_h(L_shl(sum, scale));
}

// Band: stride, offset, tail start, count, scale.
struct BandLayout
{
    size_t m, a, c1, c2;
    int16_t scale;
};
constexpr BandLayout kBands[kVadBands] = {
    {16, 0, 8, 10, 16}, {16, 8, 8, 10, 16}, {16, 12, 8, 10, 16}, {16, 4, 8, 10, 16}, {8, 6, 16, 20, 16},
    {8, 2, 16, 20, 16}, {8, 3, 16, 20, 16}, {8, 7, 16, 20, 16},  {4, 1, 32, 40, 15},
};

void filterBank(vadState& st, const int16_t* in, int16_t* level) noexcept
{
    int16_t b[kVadFrameSamples];
    firstStage(in, b, st.a_data5[0]);
    for (size_t g = 0; g < kVadFrameSamples; g += 4) {
        filter5(b[g], b[g + 2], st.a_data5[1]);
        filter5(b[g + 1], b[g + 3], st.a_data5[2]);
    }
    for (size_t g = 0; g < kVadFrameSamples; g += 8) {
        filter3(b[g], b[g + 4], st.a_data3[0]);
        filter3(b[g + 2], b[g + 6], st.a_data3[1]);
        filter3(b[g + 3], b[g + 7], st.a_data3[4]);
    }
    for (size_t g = 0; g < kVadFrameSamples; g += 16) {
        filter3(b[g], b[g + 8], st.a_data3[2]);
        filter3(b[g + 4], b[g + 12], st.a_data3[3]);
    }
    for (size_t i = 0; i < kVadBands; ++i) {
        const BandLayout& l = kBands[i];
        level[i] = bandLevel(b, st.sub_level[i], l.c1, l.c2, l.m, l.a, l.scale);
    }
}

void adaptFastCorrelation(vadState& st, bool lowPower) noexcept
{
    int16_t alpha;
    if (st.best_corr_hp < st.corr_hp_fast)
        alpha = st.corr_hp_fast < kCorrAdaptHigh ? kAdaptFast : kAdaptReallyFast;
    else
        alpha = st.corr_hp_fast < kCorrAdaptHigh ? kAdaptFast : kAdaptSlow;
    int32_t l = L_deposit_h(st.corr_hp_fast);
    l = L_msu(l, alpha, st.corr_hp_fast);
    l = L_mac(l, alpha, st.best_corr_hp);
    st.corr_hp_fast = round_fx(l);
    if (st.corr_hp_fast < kVadMinCorrelation || lowPower) st.corr_hp_fast = kVadMinCorrelation;
}

// Updates the complex registers and timer; true for a complex background.
bool complexWarning(vadState& st, bool lowPower) noexcept
{
    st.complex_high = shr(st.complex_high, 1);
    st.complex_low = shr(st.complex_low, 1);
    if (!lowPower) {
        if (st.corr_hp_fast > kCorrAdaptHigh) st.complex_high |= kNewest;
        if (st.corr_hp_fast > kCorrAdaptLow) st.complex_low |= kNewest;
    }
    st.complex_hang_timer = st.corr_hp_fast > kCorrHang ? add(st.complex_hang_timer, 1) : int16_t(0);
    return (st.complex_high & 0x7F80) == 0x7F80 || (st.complex_low & 0x7FFF) == 0x7FFF;
}

void stationarityControl(vadState& st, const int16_t* level) noexcept
{
    if (st.complex_warning && st.stat_count < kStatMinComplex) st.stat_count = kStatMinComplex;
    if ((st.pitch & 0x6000) == 0x6000 || (st.tone & 0x7C00) == 0x7C00) {
        st.stat_count = kStatCount;
    } else if ((st.vadreg & 0x7F80) == 0) {
        st.stat_count = kStatCount;
    } else {
        int16_t ratio = 0;
        for (size_t i = 0; i < kVadBands; ++i) {
            int16_t num = level[i] > st.ave_level[i] ? level[i] : st.ave_level[i];
            int16_t den = level[i] > st.ave_level[i] ? st.ave_level[i] : level[i];
            if (num < kStatLevelFloor) num = kStatLevelFloor;
            if (den < kStatLevelFloor) den = kStatLevelFloor;
            const int16_t e = norm_s(den);
            ratio = add(ratio, shr(div_s(shr(num, 1), shl(den, e)), sub(8, e)));
        }
        if (ratio > kStatRatioThreshold)
            st.stat_count = kStatCount;
        else if ((st.vadreg & kNewest) && st.stat_count != 0)
            st.stat_count = sub(st.stat_count, 1);
    }
    int16_t alpha = kAlphaAverage;
    if (st.stat_count == kStatCount)
        alpha = kMax16;
    else if ((st.vadreg & kNewest) == 0)
        alpha = kAlphaAverageQuiet;
    for (size_t i = 0; i < kVadBands; ++i)
        st.ave_level[i] = add(st.ave_level[i], mult_r(alpha, sub(level[i], st.ave_level[i])));
}

void updateNoiseEstimate(vadState& st, const int16_t* level) noexcept
{
    stationarityControl(st, level);
    int16_t up, down, step = 2;
    if ((st.vadreg & 0x7800) == 0 && (st.pitch & 0x7800) == 0 && st.complex_hang_count == 0) {
        up = 1638;
        down = 2097;
    } else if (st.stat_count == 0 && st.complex_hang_count == 0) {
        up = 491;
        down = 1867;
    } else {
        up = 0;
        down = 1638;
        step = 0;
    }
    for (size_t i = 0; i < kVadBands; ++i) {
        const int16_t d = sub(st.old_level[i], st.bckr_est[i]);
        if (d < 0) {
            st.bckr_est[i] = add(-2, add(st.bckr_est[i], mult_r(down, d)));
            if (st.bckr_est[i] < kNoiseMin) st.bckr_est[i] = kNoiseMin;
        } else {
            st.bckr_est[i] = add(step, add(st.bckr_est[i], mult_r(up, d)));
            if (st.bckr_est[i] > kNoiseMax) st.bckr_est[i] = kNoiseMax;
        }
    }
    for (size_t i = 0; i < kVadBands; ++i)
        st.old_level[i] = level[i];
}

bool hangover(vadState& st, int16_t noiseLevel, bool lowPower) noexcept
{
    const bool noisy = noiseLevel > kHangNoiseThreshold;
    const int16_t burstLength = noisy ? kBurstHighNoise : kBurstLowNoise;
    const int16_t hangLength = noisy ? kHangHighNoise : kHangLowNoise;
    if (lowPower) {
        st.burst_count = 0;
        st.hang_count = 0;
        st.complex_hang_count = 0;
        st.complex_hang_timer = 0;
        return false;
    }
    if (st.complex_hang_timer > kComplexHangLimit && st.complex_hang_count < kComplexHangLength)
        st.complex_hang_count = kComplexHangLength;
    if (st.complex_hang_count != 0) {
        st.burst_count = kBurstHighNoise;
        st.complex_hang_count = sub(st.complex_hang_count, 1);
        return true;
    }
    // A correlated input during a noise period counts as speech.
    if ((st.vadreg & 0x3FF0) == 0 && st.corr_hp_fast > kCorrInNoise) return true;
    if (st.vadreg & kNewest) {
        st.burst_count = add(st.burst_count, 1);
        if (st.burst_count >= burstLength) st.hang_count = hangLength;
        return true;
    }
    st.burst_count = 0;
    if (st.hang_count > 0) {
        st.hang_count = sub(st.hang_count, 1);
        return true;
    }
    return false;
}

} // namespace

int vadStateCreate(vadState*& state) noexcept
{
    if (state) return -1;
    auto* made = new (std::nothrow) vadState;
    if (!made) return -1;
    vadStateReset(made);
    state = made;
    return 0;
}

int vadStateReset(vadState* state) noexcept
{
    if (!state) return -1;
    *state = vadState{};
    for (size_t i = 0; i < kVadBands; ++i) {
        state->bckr_est[i] = kResetLevel;
        state->ave_level[i] = kResetLevel;
        state->old_level[i] = kResetLevel;
    }
    state->best_corr_hp = kVadMinCorrelation;
    state->corr_hp_fast = kVadMinCorrelation;
    return 0;
}

void vadStateFree(vadState*& state) noexcept
{
    delete state;
    state = nullptr;
}

int16_t vadBandLevel(const int16_t* filtered, int16_t& carry, size_t band) noexcept
{
    if (!filtered || band >= kVadBands) return 0;
    const BandLayout& l = kBands[band];
    return bandLevel(filtered, carry, l.c1, l.c2, l.m, l.a, l.scale);
}

bool vadDecideFrame(vadState* state, const int16_t* frame, vadFrameInfo* info) noexcept
{
    if (!state || !frame) return false;
    vadState& st = *state;

    int32_t power = 0;
    for (size_t i = 0; i < kVadFrameSamples; ++i)
        power = L_mac(power, frame[i], frame[i]);
    // Flags of the previous frame, before this frame's shifts.
    if (power < kPowPitchThreshold) st.pitch &= 0x3FFF;
    if (power < kPowLow) st.complex_low &= 0x3FFF;

    int16_t level[kVadBands];
    filterBank(st, frame, level);

    int32_t acc = 0;
    int32_t noiseSum = 0;
    for (size_t i = 0; i < kVadBands; ++i) {
        const int16_t e = norm_s(st.bckr_est[i]);
        int16_t q = div_s(shr(level[i], 1), shl(st.bckr_est[i], e));
        q = shl(q, sub(e, 5));
        acc = L_mac(acc, q, q);
        noiseSum = L_add(noiseSum, st.bckr_est[i]);
    }
    const int16_t snrSum = mult(extract_h(L_shl(acc, 6)), kInvBands);
    const int16_t noiseLevel = extract_h(L_shl(noiseSum, 13));
    int16_t threshold = add(mult(kThresholdSlope, noiseLevel), kThresholdHigh);
    if (threshold < kThresholdLow) threshold = kThresholdLow;

    st.vadreg = shr(st.vadreg, 1);
    if (snrSum > threshold) st.vadreg |= kNewest;

    const bool lowPower = power < kPowLow;
    adaptFastCorrelation(st, lowPower);
    st.complex_warning = complexWarning(st, lowPower) ? 1 : 0;
    updateNoiseEstimate(st, level);
    const bool speech = hangover(st, noiseLevel, lowPower);
    st.speech_vad_decision = speech ? 1 : 0;

    if (info) {
        info->power = power;
        info->snrSum = snrSum;
        info->noiseLevel = noiseLevel;
        info->threshold = threshold;
        info->intermediate = (st.vadreg & kNewest) != 0;
    }
    return speech;
}
