#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ui/PcmDevice.h"

// One PCM wave file held in memory: its format and its sample bytes.
class WaveData {
public:
    // Parses a RIFF/WAVE image (PCM, 8 or 16 bit); nullptr when it is not one.
    // Chunk sizes are checked against the image, so a damaged file is
    // refused rather than read past its end.
    static std::shared_ptr<const WaveData> parse(const uint8_t* bytes, size_t size);

    const PcmFormat& getFormat() const { return format; }
    const std::vector<uint8_t>& getSamples() const { return samples; }
    size_t frameCount() const { return samples.size() / format.frameBytes(); }

private:
    PcmFormat format;
    std::vector<uint8_t> samples;
};
