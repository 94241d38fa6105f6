#pragma once
// The binding records of the Speex codec library and of the Speex DSP library
// (preprocessor, echo canceller, resampler). The libraries are loaded by
// file name at run time and never linked: the -dev headers give only the
// types and request numbers, and every call goes through a pointer resolved
// here. A record that is not loaded has every pointer null.
//
// Loading (`load`): a record that already holds the library only counts one
// more load. Otherwise the library is opened by its trimmed name (empty
// means the Debian soname) and every export is resolved; one that is missing
// unloads it again. `unload` undoes one load; the last frees the library.
// Any thread; one record serialises its own loads and unloads, but the
// caller must not unload while another thread calls through it.

#include "codecs/kelLibBinding.h"
#include "core/kelTypes.h"
#include "platform/kelDynLib.h"

#include <speex/speex.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <cstdint>
#include <mutex>
#include <string>

// load()'s result for a library that could not be opened: kelLibNotFound,
// shared with the other bindings (kelLibBinding.h).
// load()'s result for a library that lacks an export.
inline constexpr int kelLibMissingExport = -1;

// The default file names.
inline constexpr const char* kelSpeexDefaultLib = "libspeex.so.1";
inline constexpr const char* kelSpeexDSPDefaultLib = "libspeexdsp.so.1";

#define KEL_SPEEX_EXPORTS(X)                                                                                 \
    X(speex_bits_init)                                                                                       \
    X(speex_bits_init_buffer)                                                                                \
    X(speex_bits_set_bit_buffer)                                                                             \
    X(speex_bits_destroy)                                                                                    \
    X(speex_bits_reset)                                                                                      \
    X(speex_bits_rewind)                                                                                     \
    X(speex_bits_read_from)                                                                                  \
    X(speex_bits_read_whole_bytes)                                                                           \
    X(speex_bits_write)                                                                                      \
    X(speex_bits_write_whole_bytes)                                                                          \
    X(speex_bits_pack)                                                                                       \
    X(speex_bits_unpack_signed)                                                                              \
    X(speex_bits_unpack_unsigned)                                                                            \
    X(speex_bits_nbytes)                                                                                     \
    X(speex_bits_peek_unsigned)                                                                              \
    X(speex_bits_peek)                                                                                       \
    X(speex_bits_advance)                                                                                    \
    X(speex_bits_remaining)                                                                                  \
    X(speex_bits_insert_terminator)                                                                          \
    X(speex_encoder_init)                                                                                    \
    X(speex_encoder_destroy)                                                                                 \
    X(speex_encode)                                                                                          \
    X(speex_encode_int)                                                                                      \
    X(speex_encoder_ctl)                                                                                     \
    X(speex_decoder_init)                                                                                    \
    X(speex_decoder_destroy)                                                                                 \
    X(speex_decode)                                                                                          \
    X(speex_decode_int)                                                                                      \
    X(speex_decoder_ctl)                                                                                     \
    X(speex_mode_query)                                                                                      \
    X(speex_lib_get_mode)                                                                                    \
    X(speex_lib_ctl)

#define KEL_SPEEX_DSP_EXPORTS(X)                                                                             \
    X(speex_preprocess_state_init)                                                                           \
    X(speex_preprocess_state_destroy)                                                                        \
    X(speex_preprocess_run)                                                                                  \
    X(speex_preprocess_estimate_update)                                                                      \
    X(speex_preprocess_ctl)                                                                                  \
    X(speex_echo_state_init)                                                                                 \
    X(speex_echo_state_destroy)                                                                              \
    X(speex_echo_cancellation)                                                                               \
    X(speex_echo_capture)                                                                                    \
    X(speex_echo_playback)                                                                                   \
    X(speex_echo_state_reset)                                                                                \
    X(speex_echo_ctl)                                                                                        \
    X(speex_resampler_init)                                                                                  \
    X(speex_resampler_init_frac)                                                                             \
    X(speex_resampler_destroy)                                                                               \
    X(speex_resampler_process_float)                                                                         \
    X(speex_resampler_process_int)                                                                           \
    X(speex_resampler_set_quality)                                                                           \
    X(speex_resampler_get_quality)                                                                           \
    X(speex_resampler_skip_zeros)                                                                            \
    X(speex_resampler_reset_mem)                                                                             \
    X(speex_resampler_strerror)

#define KEL_SPEEX_POINTER(name) decltype(&::name) name = nullptr;

struct kelSpeexCalls
{
    static constexpr const char* defaultName = kelSpeexDefaultLib;
    KEL_SPEEX_EXPORTS(KEL_SPEEX_POINTER)
};

struct kelSpeexDSPCalls
{
    static constexpr const char* defaultName = kelSpeexDSPDefaultLib;
    KEL_SPEEX_DSP_EXPORTS(KEL_SPEEX_POINTER)
};

#undef KEL_SPEEX_POINTER

// One loaded library with its resolved calls (`Calls` is one of the two
// tables above).
template <class Calls> class kelSpeexBindingOf
{
public:
    kelSpeexBindingOf() noexcept = default;
    ~kelSpeexBindingOf() { forget(); }
    kelSpeexBindingOf(const kelSpeexBindingOf&) = delete;
    kelSpeexBindingOf& operator=(const kelSpeexBindingOf&) = delete;

    // 0 on success, kelLibNotFound when the library does not open,
    // kelLibMissingExport when an export is missing (the library is then
    // unloaded again).
    int load(const kelString& name) noexcept;
    // Undoes one successful load; the last one frees the library.
    void unload() noexcept;

    bool loaded() const noexcept { return f_count > 0; }
    int loadCount() const noexcept { return f_count; }
    // The loader's text of the last failure.
    const std::string& errorText() const noexcept { return f_lib.errorText(); }
    // The resolved calls; all null while not loaded.
    const Calls& calls() const noexcept { return f_calls; }

private:
    bool resolve() noexcept;
    void forget() noexcept;

    std::mutex f_mutex;
    kelDynLib f_lib;
    int f_count = 0;
    Calls f_calls;
};

using kelSpeexBinding = kelSpeexBindingOf<kelSpeexCalls>;
using kelSpeexDSPBinding = kelSpeexBindingOf<kelSpeexDSPCalls>;

extern template class kelSpeexBindingOf<kelSpeexCalls>;
extern template class kelSpeexBindingOf<kelSpeexDSPCalls>;
