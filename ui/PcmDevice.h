#pragma once

#include <cstddef>
#include <cstdint>

// The sample format of one sound.
struct PcmFormat {
    unsigned rate = 0;      // frames per second
    unsigned channels = 0;  // interleaved
    unsigned bits = 0;      // 8 (unsigned) or 16 (signed little-endian)

    unsigned frameBytes() const { return channels * bits / 8; }
};

// One playback device, opened for one sound at a time. Used by the sound
// player's worker thread only.
class PcmDevice {
public:
    virtual ~PcmDevice() = default;
    // Opens the device for this format; false when there is no device.
    virtual bool open(const PcmFormat& format) = 0;
    // Plays frames (blocking while the device's buffer is full); returns
    // false when the device failed.
    virtual bool write(const uint8_t* frames, size_t frameCount) = 0;
    // Milliseconds of written sound that have not been heard yet.
    virtual int pendingMs() = 0;
    // Stops at once, dropping what is buffered.
    virtual void drop() = 0;
    virtual void close() = 0;
};
