#include "audio_output.h"

#include <SDL.h>
#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr int Channels = 2;
constexpr int Rate = 44100;
// 128 frames: the shortest period SDL's ALSA driver keeps up with here.
constexpr int BufferFrames = 128;

void quietAlsa(const char *, int, const char *, int, const char *, ...) {}

class SdlOutput final : public AudioOutput {
public:
    ~SdlOutput() override
    {
        if (device_ != 0)
            SDL_CloseAudioDevice(device_);
        if (ready_)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    bool open()
    {
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Zembra");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Efekt");
        // The sound servers are spoken to directly; SDL is here for bare ALSA,
        // unless the user names a driver of SDL's.
        if (!std::getenv("SDL_AUDIODRIVER"))
            SDL_SetHint(SDL_HINT_AUDIODRIVER, "alsa");
        // Without a device ALSA prints errors for every attempt; a missing device
        // means silence, said nowhere.
        snd_lib_error_set_handler(&quietAlsa);
        ready_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!ready_)
            return false;
        SDL_AudioSpec want{};
        want.freq = Rate;
        want.format = AUDIO_S16SYS;
        want.channels = Channels;
        want.samples = BufferFrames;
        want.callback = &SdlOutput::fill;
        want.userdata = this;
        SDL_AudioSpec have{};
        // No changes allowed: SDL converts to the hardware, so voices match the device.
        device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device_ == 0)
            return false;
        SDL_PauseAudioDevice(device_, 0);
        return true;
    }

    const char *name() const override { return "sdl"; }
    int rate() const override { return Rate; }

    void play(std::unique_ptr<Voice> voice) override
    {
        std::unique_ptr<Voice> previous;
        SDL_LockAudioDevice(device_);
        previous = std::exchange(voice_, std::move(voice));
        drained_ = !voice_ || voice_->ended();
        SDL_UnlockAudioDevice(device_);
    }

    bool drained() const override { return drained_.load(); }

    // A paused SDL device still feeds the hardware silence.
    bool sleep() override { return false; }

    bool lost() const override { return SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED; }

private:
    static void fill(void *self, std::uint8_t *stream, int len)
    {
        auto *out = static_cast<SdlOutput *>(self);
        const std::size_t frames = std::size_t(len) / (Channels * sizeof(std::int16_t));
        auto *samples = reinterpret_cast<std::int16_t *>(stream);
        const std::size_t got = out->voice_ ? out->voice_->read(samples, frames) : 0;
        std::memset(samples + got * Channels, 0, (frames - got) * Channels * sizeof(std::int16_t));
        out->drained_ = !out->voice_ || out->voice_->ended();
    }

    bool ready_ = false;
    SDL_AudioDeviceID device_ = 0;
    std::unique_ptr<Voice> voice_; // under the device lock
    std::atomic<bool> drained_{true};
};

} // namespace

std::unique_ptr<AudioOutput> AudioOutputs::openSdl()
{
    auto out = std::make_unique<SdlOutput>();
    if (!out->open())
        return nullptr;
    return out;
}
