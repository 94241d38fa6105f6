#include "codecs/kelAcmMp3Libs.h"

#include "platform/kelDynLib.h"

namespace {

template <typename F> bool bind(const kelDynLib& lib, F& target, const char* name)
{
    target = reinterpret_cast<F>(lib.symbol(name));
    return target != nullptr;
}

kelMpg123Calls loadMpg123()
{
    // Kept for the life of the process: streams may outlive any one user.
    static kelDynLib lib;
    kelMpg123Calls calls;
    if (!lib.open("libmpg123.so.0")) return calls;
    int (*init)() = nullptr;
    bool ok = bind(lib, init, "mpg123_init");
    ok = bind(lib, calls.newHandle, "mpg123_new") && ok;
    ok = bind(lib, calls.deleteHandle, "mpg123_delete") && ok;
    ok = bind(lib, calls.param, "mpg123_param") && ok;
    ok = bind(lib, calls.formatNone, "mpg123_format_none") && ok;
    ok = bind(lib, calls.format, "mpg123_format") && ok;
    ok = bind(lib, calls.openFeed, "mpg123_open_feed") && ok;
    ok = bind(lib, calls.feed, "mpg123_feed") && ok;
    ok = bind(lib, calls.read, "mpg123_read") && ok;
    calls.ok = ok && init() == kelMpg123Ok;
    return calls;
}

kelLameCalls loadLame()
{
    static kelDynLib lib;
    kelLameCalls calls;
    if (!lib.open("libmp3lame.so.0")) return calls;
    bool ok = bind(lib, calls.init, "lame_init");
    ok = bind(lib, calls.close, "lame_close") && ok;
    ok = bind(lib, calls.setInSampleRate, "lame_set_in_samplerate") && ok;
    ok = bind(lib, calls.setOutSampleRate, "lame_set_out_samplerate") && ok;
    ok = bind(lib, calls.setNumChannels, "lame_set_num_channels") && ok;
    ok = bind(lib, calls.setBitRate, "lame_set_brate") && ok;
    ok = bind(lib, calls.setMode, "lame_set_mode") && ok;
    ok = bind(lib, calls.setWriteVbrTag, "lame_set_bWriteVbrTag") && ok;
    ok = bind(lib, calls.initParams, "lame_init_params") && ok;
    ok = bind(lib, calls.encodeBuffer, "lame_encode_buffer") && ok;
    ok = bind(lib, calls.encodeInterleaved, "lame_encode_buffer_interleaved") && ok;
    ok = bind(lib, calls.flush, "lame_encode_flush") && ok;
    calls.ok = ok;
    return calls;
}

} // namespace

const kelMpg123Calls& kelMpg123()
{
    static const kelMpg123Calls calls = loadMpg123();
    return calls;
}

const kelLameCalls& kelLame()
{
    static const kelLameCalls calls = loadLame();
    return calls;
}
