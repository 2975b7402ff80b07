#include "ui/AlsaPcmDevice.h"

#include <alsa/asoundlib.h>

#include <mutex>

namespace {
void silentErrorHandler(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(silentErrorHandler); });
}
}  // namespace

AlsaPcmDevice::~AlsaPcmDevice() {
    close();
}

bool AlsaPcmDevice::open(const PcmFormat& wanted) {
    silenceAlsa();
    close();
    if (wanted.rate == 0 || wanted.channels == 0 || (wanted.bits != 8 && wanted.bits != 16)) {
        return false;
    }
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        pcm = nullptr;
        return false;
    }
    const snd_pcm_format_t sampleFormat =
        wanted.bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    if (snd_pcm_set_params(pcm, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, wanted.channels,
                           wanted.rate, 1, kLatencyUs) < 0) {
        close();
        return false;
    }
    format = wanted;
    return true;
}

bool AlsaPcmDevice::write(const uint8_t* frames, size_t frameCount) {
    if (pcm == nullptr) {
        return false;
    }
    while (frameCount > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm, frames, frameCount);
        if (written < 0) {
            if (snd_pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
                return false;
            }
            continue;
        }
        frames += static_cast<size_t>(written) * format.frameBytes();
        frameCount -= static_cast<size_t>(written);
    }
    return true;
}

int AlsaPcmDevice::pendingMs() {
    if (pcm == nullptr || format.rate == 0) {
        return 0;
    }
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) < 0 || delay <= 0) {
        return 0;
    }
    return static_cast<int>(delay * 1000 / format.rate);
}

void AlsaPcmDevice::drop() {
    if (pcm != nullptr) {
        snd_pcm_drop(pcm);
    }
}

void AlsaPcmDevice::close() {
    if (pcm != nullptr) {
        snd_pcm_close(pcm);
        pcm = nullptr;
    }
}
