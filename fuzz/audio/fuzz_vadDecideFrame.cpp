// The voice activity detector on random frames, a state carried across the
// frames of one input: the invariants of its state and figures hold for any
// samples (UBSan also checks that no operation overflows).

#include "audio/kel3GPPVAD.h"

#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vadState* state = nullptr;
    check(vadStateCreate(state) == 0);
    const vadStateOwner owner(state);
    int16_t frame[kVadFrameSamples];
    for (size_t at = 0; at < size; at += sizeof frame) {
        // A short last frame repeats the input from its start.
        for (size_t i = 0; i < sizeof frame; ++i)
            reinterpret_cast<uint8_t*>(frame)[i] = data[(at + i) % size];
        vadFrameInfo info;
        const bool speech = vadDecideFrame(state, frame, &info);
        check(state->speech_vad_decision == (speech ? 1 : 0));
        check(info.snrSum >= 0 && info.snrSum <= 3640);
        check(info.threshold >= 720 && info.threshold <= 1260);
        check(info.power >= 0);
        if (info.power < 15000) check(!speech);
        for (size_t b = 0; b < kVadBands; ++b) {
            check(state->bckr_est[b] >= 40 && state->bckr_est[b] <= 16000);
            check(state->old_level[b] >= 0 && state->ave_level[b] >= 0 && state->sub_level[b] >= 0);
        }
        for (int16_t reg :
             {state->vadreg, state->pitch, state->tone, state->complex_high, state->complex_low})
            check(reg >= 0);
        check(state->corr_hp_fast == kVadMinCorrelation && state->best_corr_hp == kVadMinCorrelation);
        check(state->complex_hang_count == 0 && state->complex_hang_timer == 0);
    }
    return 0;
}
