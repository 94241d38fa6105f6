#include "platform/kelAlsaWave.h"

#ifdef KEL_HAVE_ALSA

#include "platform/kelMonotonic.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <vector>

namespace {

// ALSA prints its errors on stderr by default; the layer answers codes.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsa() noexcept
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quietAlsa); });
}

struct AlsaDevice
{
    std::string pcm;
    std::string name;
};

std::vector<AlsaDevice> listDevices(bool isIn)
{
    silenceAlsa();
    std::vector<AlsaDevice> devices;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        const std::string hw = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) {
            continue;
        }
        char* cardName = nullptr;
        snd_card_get_name(card, &cardName);
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
            snd_pcm_info_t* info;
            snd_pcm_info_alloca(&info);
            snd_pcm_info_set_device(info, unsigned(device));
            snd_pcm_info_set_subdevice(info, 0);
            snd_pcm_info_set_stream(info, isIn ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK);
            if (snd_ctl_pcm_info(ctl, info) < 0) {
                continue;
            }
            devices.push_back(
                {"plughw:" + std::to_string(card) + "," + std::to_string(device),
                 std::string(cardName ? cardName : hw.c_str()) + ": " + snd_pcm_info_get_name(info)});
        }
        free(cardName);
        snd_ctl_close(ctl);
    }
    return devices;
}

MMRESULT mapError(int error) noexcept
{
    switch (-error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return MMSYSERR_NODRIVER;
    case EBUSY:
        return MMSYSERR_ALLOCATED;
    case EINVAL:
        return WAVERR_BADFORMAT;
    case ENOMEM:
        return MMSYSERR_NOMEM;
    default:
        return MMSYSERR_ERROR;
    }
}

bool sampleFormat(const WAVEFORMATEX& format, snd_pcm_format_t& result) noexcept
{
    const bool isFloat =
        format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
        (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= kelFormatExtExtraSize &&
         reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat.Data1 == 3);
    switch (format.wBitsPerSample) {
    case 8:
        result = SND_PCM_FORMAT_U8;
        return !isFloat;
    case 16:
        result = SND_PCM_FORMAT_S16_LE;
        return !isFloat;
    case 24:
        result = SND_PCM_FORMAT_S24_3LE;
        return !isFloat;
    case 32:
        result = isFloat ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S32_LE;
        return true;
    default:
        return false;
    }
}

// Speaker bits in mask order, as ALSA channel positions.
constexpr unsigned speakerPositions[18] = {
    SND_CHMAP_FL,  SND_CHMAP_FR,  SND_CHMAP_FC,  SND_CHMAP_LFE, SND_CHMAP_RL,  SND_CHMAP_RR,
    SND_CHMAP_FLC, SND_CHMAP_FRC, SND_CHMAP_RC,  SND_CHMAP_SL,  SND_CHMAP_SR,  SND_CHMAP_TC,
    SND_CHMAP_TFL, SND_CHMAP_TFC, SND_CHMAP_TFR, SND_CHMAP_TRL, SND_CHMAP_TRC, SND_CHMAP_TRR,
};

void setChannelMap(snd_pcm_t* pcm, const WAVEFORMATEX& format) noexcept
{
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < kelFormatExtExtraSize) {
        return;
    }
    const uint32_t mask = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).dwChannelMask;
    std::vector<unsigned char> storage(sizeof(snd_pcm_chmap_t) + format.nChannels * sizeof(unsigned));
    auto* map = reinterpret_cast<snd_pcm_chmap_t*>(storage.data());
    map->channels = format.nChannels;
    unsigned channel = 0;
    for (unsigned bit = 0; bit < 18 && channel < format.nChannels; ++bit) {
        if ((mask & (1u << bit)) != 0) {
            map->pos[channel++] = speakerPositions[bit];
        }
    }
    while (channel < format.nChannels) {
        map->pos[channel++] = SND_CHMAP_UNKNOWN;
    }
    snd_pcm_set_chmap(pcm, map); // not every device takes a map; the order then stays the default
}

int configure(snd_pcm_t* pcm, const WAVEFORMATEX& format, snd_pcm_uframes_t& period, bool& canPause) noexcept
{
    snd_pcm_format_t sample;
    if (!sampleFormat(format, sample) || format.nChannels == 0 || format.nSamplesPerSec == 0) {
        return -EINVAL;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    int err;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, sample)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, format.nChannels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, format.nSamplesPerSec, 0)) < 0) {
        return -EINVAL;
    }
    // One period per 20 ms chunk, four of them in the ring.
    unsigned periodUs = 20000;
    unsigned bufferUs = 80000;
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, nullptr);
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, nullptr);
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
        return err;
    }
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    canPause = snd_pcm_hw_params_can_pause(hw) != 0;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm, sw) == 0) {
        snd_pcm_sw_params_set_start_threshold(pcm, sw, period);
        snd_pcm_sw_params_set_avail_min(pcm, sw, period);
        snd_pcm_sw_params(pcm, sw);
    }
    return 0;
}

class kelAlsaBackend final : public kelWaveBackend
{
public:
    kelAlsaBackend(snd_pcm_t* pcm, bool isIn, uint32_t block, uint32_t rate, bool canPause)
        : f_pcm(pcm), f_isIn(isIn), f_block(block), f_rate(rate), f_canPause(canPause)
    {}
    ~kelAlsaBackend() override { close(); }

    size_t play(const char* data, size_t size) noexcept override
    {
        if (f_halted) {
            return 0;
        }
        snd_pcm_sframes_t n = snd_pcm_writei(f_pcm, data, size / f_block);
        if (n == -EPIPE || n == -ESTRPIPE) {
            // Underrun: everything written was played; start again.
            f_done = f_written;
            snd_pcm_recover(f_pcm, int(n), 1);
            n = snd_pcm_writei(f_pcm, data, size / f_block);
        }
        if (n < 0) {
            return 0;
        }
        f_written += uint64_t(n);
        return size_t(n) * f_block;
    }

    size_t record(char* data, size_t size) noexcept override
    {
        if (f_halted) {
            return 0;
        }
        if (snd_pcm_state(f_pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(f_pcm);
        }
        snd_pcm_sframes_t n = snd_pcm_readi(f_pcm, data, size / f_block);
        if (n == -EPIPE || n == -ESTRPIPE) {
            snd_pcm_recover(f_pcm, int(n), 1);
            n = snd_pcm_readi(f_pcm, data, size / f_block);
        }
        if (n < 0) {
            return 0;
        }
        f_written += uint64_t(n);
        f_done = f_written;
        return size_t(n) * f_block;
    }

    uint64_t framesDone() noexcept override
    {
        if (f_isIn) {
            return f_done;
        }
        snd_pcm_sframes_t delay = 0;
        const snd_pcm_state_t state = snd_pcm_state(f_pcm);
        if (state == SND_PCM_STATE_XRUN) {
            f_done = f_written;
        } else if (state == SND_PCM_STATE_RUNNING && snd_pcm_delay(f_pcm, &delay) == 0) {
            const uint64_t queued = delay > 0 ? uint64_t(delay) : 0;
            f_done = std::max(f_done, f_written > queued ? f_written - queued : 0);
        }
        return f_done;
    }

    void starved() noexcept override
    {
        // Less than a period written does not start the device by itself.
        if (!f_isIn && !f_halted && f_written > f_done && snd_pcm_state(f_pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(f_pcm);
        }
    }

    void halt() noexcept override
    {
        f_halted = true;
        if (f_isIn) {
            snd_pcm_drop(f_pcm);
            snd_pcm_prepare(f_pcm);
        } else if (f_canPause && snd_pcm_state(f_pcm) == SND_PCM_STATE_RUNNING) {
            f_paused = snd_pcm_pause(f_pcm, 1) == 0;
        }
    }

    void resume() noexcept override
    {
        f_halted = false;
        if (f_paused) {
            snd_pcm_pause(f_pcm, 0);
            f_paused = false;
        }
    }

    void drop() noexcept override
    {
        snd_pcm_drop(f_pcm);
        snd_pcm_prepare(f_pcm);
        f_paused = false;
        f_written = f_done = 0;
    }

    uint64_t waitUs(uint64_t framesWanted) const noexcept override
    {
        return std::clamp<uint64_t>(framesWanted * 1000000u / f_rate / 2, 1000, 10000);
    }

    uint64_t nowUs() const noexcept override { return kelMonotonicUs(); }

    void close() noexcept override
    {
        if (f_pcm != nullptr) {
            snd_pcm_close(f_pcm);
            f_pcm = nullptr;
        }
    }

private:
    snd_pcm_t* f_pcm;
    const bool f_isIn;
    const uint32_t f_block;
    const uint32_t f_rate;
    const bool f_canPause;
    bool f_halted = false;
    bool f_paused = false;
    uint64_t f_written = 0;
    uint64_t f_done = 0;
};

} // namespace

bool kelAlsaAvailable() noexcept
{
    return true;
}

uint32_t kelAlsaDeviceCount(bool isIn) noexcept
{
    try {
        return uint32_t(listDevices(isIn).size());
    } catch (...) {
        return 0;
    }
}

std::string kelAlsaDeviceName(bool isIn, uint32_t index) noexcept
{
    try {
        const std::vector<AlsaDevice> devices = listDevices(isIn);
        return index < devices.size() ? devices[index].name : std::string();
    } catch (...) {
        return {};
    }
}

std::unique_ptr<kelWaveBackend> kelAlsaOpen(bool isIn, uint32_t index, const WAVEFORMATEX& format, bool query,
                                            MMRESULT& result) noexcept
{
    try {
        std::string name = "default";
        if (index != WAVE_MAPPER) {
            const std::vector<AlsaDevice> devices = listDevices(isIn);
            if (index >= devices.size()) {
                result = MMSYSERR_BADDEVICEID;
                return nullptr;
            }
            name = devices[index].pcm;
        }
        silenceAlsa();
        snd_pcm_t* pcm = nullptr;
        int err = snd_pcm_open(&pcm, name.c_str(), isIn ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                               SND_PCM_NONBLOCK);
        if (err < 0) {
            result = mapError(err);
            return nullptr;
        }
        snd_pcm_uframes_t period = 0;
        bool canPause = false;
        err = configure(pcm, format, period, canPause);
        if (err < 0 || query) {
            snd_pcm_close(pcm);
            result = err < 0 ? mapError(err) : MMSYSERR_NOERROR;
            return nullptr;
        }
        setChannelMap(pcm, format);
        result = MMSYSERR_NOERROR;
        return std::make_unique<kelAlsaBackend>(pcm, isIn, format.nBlockAlign, format.nSamplesPerSec,
                                                canPause);
    } catch (...) {
        result = MMSYSERR_NOMEM;
        return nullptr;
    }
}

#else

bool kelAlsaAvailable() noexcept
{
    return false;
}

uint32_t kelAlsaDeviceCount(bool) noexcept
{
    return 0;
}

std::string kelAlsaDeviceName(bool, uint32_t) noexcept
{
    return {};
}

std::unique_ptr<kelWaveBackend> kelAlsaOpen(bool, uint32_t, const WAVEFORMATEX&, bool,
                                            MMRESULT& result) noexcept
{
    result = MMSYSERR_NODRIVER;
    return nullptr;
}

#endif
