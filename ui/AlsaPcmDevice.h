#pragma once

#include "ui/PcmDevice.h"

typedef struct _snd_pcm snd_pcm_t;

// PcmDevice on ALSA's "default" playback device. Without a sound card open()
// fails quietly (ALSA's own error messages are silenced).
class AlsaPcmDevice final : public PcmDevice {
public:
    static constexpr unsigned kLatencyUs = 100000;  // device buffer of 100 ms

    AlsaPcmDevice() = default;
    ~AlsaPcmDevice() override;
    AlsaPcmDevice(const AlsaPcmDevice&) = delete;
    AlsaPcmDevice& operator=(const AlsaPcmDevice&) = delete;

    bool open(const PcmFormat& format) override;
    bool write(const uint8_t* frames, size_t frameCount) override;
    int pendingMs() override;
    void drop() override;
    void close() override;

private:
    snd_pcm_t* pcm = nullptr;
    PcmFormat format;
};
