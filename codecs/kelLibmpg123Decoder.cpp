#include "codecs/kelMpgLibAPI.h"

namespace {

constexpr intptr_t kLockTimeout = 1000;

} // namespace

kelLibmpg123Decoder::kelLibmpg123Decoder(const std::string& libname)
{
    if (f_proto.load(libname) != 0) return;
    if (f_proto.init() != kelMpg123Ok) {
        f_proto.unload();
        return;
    }
    f_libOK = true;
}

kelLibmpg123Decoder::~kelLibmpg123Decoder()
{
    close();
    if (!f_libOK) return;
    f_proto.exit();
    f_proto.unload();
}

int kelLibmpg123Decoder::open()
{
    close();
    if (!f_libOK) return kelMpg123Err;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return kelMpg123Err;
    int error = 0;
    f_mh = f_proto.newHandle(nullptr, &error);
    if (f_mh == nullptr) return error != 0 ? error : kelMpg123Err;
    // The library reports through results; it must not write to stderr.
    f_proto.param(f_mh, kelMpg123AddFlags, kelMpg123Quiet, 0);
    if (!f_autoResynch) f_proto.param(f_mh, kelMpg123AddFlags, kelMpg123NoResync, 0);
    int result = kelMpg123Ok;
    if (f_forceEncodings != 0) {
        result = f_proto.formatNone(f_mh);
        if (result == kelMpg123Ok && f_forceRate > 0)
            result = f_proto.format(f_mh, f_forceRate, f_forceChannels, f_forceEncodings);
        else if (result == kelMpg123Ok) {
            // Every rate the library decodes to, with the asked encodings.
            for (const long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
                if (result == kelMpg123Ok)
                    result = f_proto.format(f_mh, rate, f_forceChannels, f_forceEncodings);
        }
    }
    if (result == kelMpg123Ok) result = f_proto.openFeed(f_mh);
    if (result != kelMpg123Ok) {
        f_proto.deleteHandle(f_mh);
        f_mh = nullptr;
    }
    f_noFC = true;
    return result;
}

int kelLibmpg123Decoder::feed(const void* data, size_t size)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock || f_mh == nullptr) return kelMpg123Err;
    if (size == 0) return kelMpg123Ok;
    if (data == nullptr) return kelMpg123Err;
    return f_proto.feed(f_mh, static_cast<const unsigned char*>(data), size);
}

int kelLibmpg123Decoder::read(void* outdata, size_t& outsize)
{
    const size_t room = outsize;
    outsize = 0;
    long rate = 0;
    int channels = 0, encoding = 0, result = kelMpg123Err;
    bool report = false;
    {
        kelLock lock(this, false, kLockTimeout);
        if (!lock || f_mh == nullptr) return kelMpg123Err;
        if (outdata == nullptr && room > 0) return kelMpg123Err;
        size_t done = 0;
        result = f_proto.read(f_mh, outdata, room, &done);
        outsize = done < room ? done : room;
        if (result == kelMpg123NewFormat || f_noFC) {
            if (f_proto.getFormat(f_mh, &rate, &channels, &encoding) != kelMpg123Ok) {
                // Before the first frame the library knows no format yet:
                // report later, unless output already came.
                if (result != kelMpg123NewFormat && outsize == 0) return result;
                rate = 44100;
                channels = 2;
                encoding = kelMpg123Signed16;
            }
            if (rate > 0 && channels > 0) {
                report = true;
                f_noFC = false;
            }
        }
    }
    if (report) {
        const int numChannels = channels >= 2 ? 2 : 1;
        const int bits = bitsOf(encoding);
        try {
            doFormatChange(rate, numChannels, bits, encoding);
            if (f_onFC) f_onFC(this, rate, numChannels, bits, encoding);
        } catch (...) {
        }
    }
    return result;
}

void kelLibmpg123Decoder::close()
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock || f_mh == nullptr) return;
    f_proto.close(f_mh);
    f_proto.deleteHandle(f_mh);
    f_mh = nullptr;
    f_noFC = true;
}

int kelLibmpg123Decoder::bitrate()
{
    kelLock lock(this, true, kLockTimeout);
    if (!lock || f_mh == nullptr) return 0;
    kelMpg123FrameInfo info{};
    if (f_proto.info(f_mh, &info) != kelMpg123Ok) return 0;
    return info.bitrate;
}

int kelLibmpg123Decoder::setDecoder(const std::string& name)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock || f_mh == nullptr) return kelMpg123Err;
    return f_proto.decoder(f_mh, name.c_str());
}

void kelLibmpg123Decoder::forceFormat(long rate, int channels, int encodings)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return;
    f_forceRate = rate;
    f_forceChannels = channels;
    f_forceEncodings = encodings;
}

int kelLibmpg123Decoder::bitsOf(int encoding) const noexcept
{
    // The library knows its own sample sizes, the 24-bit packed ones too.
    const int bytes = f_libOK ? f_proto.encSize(encoding) : 0;
    return bytes > 0 ? 8 * bytes : 16;
}

void kelLibmpg123Decoder::doFormatChange(long, int, int, int) {}
