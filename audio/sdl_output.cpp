#include "audio/audio_output.h"
#include "audio/log.h"

#include <SDL.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

constexpr int Channels = 2;
constexpr int Rate = 44100;
// 128 frames: the shortest period SDL's ALSA driver keeps up with here.
constexpr int BufferFrames = 128;

void quietAlsa(const char *, int, const char *, int, const char *, ...) {}

// SDL is only for machines without a sound server, so it is loaded when one is
// needed rather than with the program, where it would cost every start some
// milliseconds and megabytes.
struct Sdl {
    decltype(&SDL_SetHint) SetHint = nullptr;
    decltype(&SDL_InitSubSystem) InitSubSystem = nullptr;
    decltype(&SDL_QuitSubSystem) QuitSubSystem = nullptr;
    decltype(&SDL_OpenAudioDevice) OpenAudioDevice = nullptr;
    decltype(&SDL_CloseAudioDevice) CloseAudioDevice = nullptr;
    decltype(&SDL_PauseAudioDevice) PauseAudioDevice = nullptr;
    decltype(&SDL_LockAudioDevice) LockAudioDevice = nullptr;
    decltype(&SDL_UnlockAudioDevice) UnlockAudioDevice = nullptr;
    decltype(&SDL_GetAudioDeviceStatus) GetAudioDeviceStatus = nullptr;
    bool loaded = false;

    template <typename F> bool bind(void *lib, F &f, const char *name)
    {
        f = reinterpret_cast<F>(::dlsym(lib, name));
        return f != nullptr;
    }

    static const Sdl &get()
    {
        static const Sdl sdl = [] {
            Sdl s;
            void *lib = ::dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
            s.loaded = lib && s.bind(lib, s.SetHint, "SDL_SetHint") &&
                       s.bind(lib, s.InitSubSystem, "SDL_InitSubSystem") &&
                       s.bind(lib, s.QuitSubSystem, "SDL_QuitSubSystem") &&
                       s.bind(lib, s.OpenAudioDevice, "SDL_OpenAudioDevice") &&
                       s.bind(lib, s.CloseAudioDevice, "SDL_CloseAudioDevice") &&
                       s.bind(lib, s.PauseAudioDevice, "SDL_PauseAudioDevice") &&
                       s.bind(lib, s.LockAudioDevice, "SDL_LockAudioDevice") &&
                       s.bind(lib, s.UnlockAudioDevice, "SDL_UnlockAudioDevice") &&
                       s.bind(lib, s.GetAudioDeviceStatus, "SDL_GetAudioDeviceStatus");
            // Without a device ALSA prints errors for every attempt; a missing
            // device means silence, said nowhere. SDL loads the same library.
            if (void *alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL)) {
                using SetHandler =
                    int (*)(void (*)(const char *, int, const char *, int, const char *, ...));
                if (auto set =
                        reinterpret_cast<SetHandler>(::dlsym(alsa, "snd_lib_error_set_handler")))
                    set(&quietAlsa);
            }
            return s;
        }();
        return sdl;
    }
};

class SdlOutput final : public AudioOutput {
public:
    ~SdlOutput() override
    {
        if (device_ != 0)
            sdl_.CloseAudioDevice(device_);
        if (ready_)
            sdl_.QuitSubSystem(SDL_INIT_AUDIO);
    }

    bool open()
    {
        if (!sdl_.loaded) {
            AudioLog::write("SDL passed over: libSDL2 cannot be loaded");
            return false;
        }
        sdl_.SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        sdl_.SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Zembra");
        sdl_.SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Efekt");
        // The sound servers are spoken to directly; SDL is here for bare ALSA,
        // unless the user names a driver of SDL's.
        if (!std::getenv("SDL_AUDIODRIVER"))
            sdl_.SetHint(SDL_HINT_AUDIODRIVER, "alsa");
        ready_ = sdl_.InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!ready_) {
            AudioLog::write("SDL: no audio driver starts");
            return false;
        }
        SDL_AudioSpec want{};
        want.freq = Rate;
        want.format = AUDIO_S16SYS;
        want.channels = Channels;
        want.samples = BufferFrames;
        want.callback = &SdlOutput::fill;
        want.userdata = this;
        SDL_AudioSpec have{};
        // No changes allowed: SDL converts to the hardware, so voices match the device.
        device_ = sdl_.OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device_ == 0) {
            AudioLog::write("SDL: no audio device opens");
            return false;
        }
        sdl_.PauseAudioDevice(device_, 0);
        return true;
    }

    const char *name() const override { return "sdl"; }
    int rate() const override { return Rate; }

    // A paused SDL device still feeds the hardware silence.
    bool sleep() override { return false; }

    bool lost() const override
    {
        return lost_ || sdl_.GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED;
    }

protected:
    // The device never stops: the callback takes the new voice at its next call.
    void activate(std::unique_ptr<Voice> voice) override { slot_.post(std::move(voice)); }

private:
    static void fill(void *self, std::uint8_t *stream, int len)
    {
        auto *out = static_cast<SdlOutput *>(self);
        const std::size_t frames = std::size_t(len) / (Channels * sizeof(std::int16_t));
        out->slot_.render(reinterpret_cast<std::int16_t *>(stream), frames);
    }

    const Sdl &sdl_ = Sdl::get();
    bool ready_ = false;
    SDL_AudioDeviceID device_ = 0;
};

} // namespace

std::unique_ptr<AudioOutput> AudioOutputs::openSdl()
{
    auto out = std::make_unique<SdlOutput>();
    if (!out->open())
        return nullptr;
    return out;
}
