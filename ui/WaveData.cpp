#include "ui/WaveData.h"

#include <cstring>

namespace {
constexpr size_t kRiffHeaderBytes = 12;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kFmtMinBytes = 16;
constexpr uint16_t kFormatPcm = 1;

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
}  // namespace

std::shared_ptr<const WaveData> WaveData::parse(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < kRiffHeaderBytes || std::memcmp(bytes, "RIFF", 4) != 0 ||
        std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        return nullptr;
    }
    auto wave = std::make_shared<WaveData>();
    bool haveFormat = false;
    size_t pos = kRiffHeaderBytes;
    while (size - pos >= kChunkHeaderBytes) {
        const uint8_t* chunk = bytes + pos;
        const uint32_t chunkBytes = le32(chunk + 4);
        const size_t bodyPos = pos + kChunkHeaderBytes;
        if (chunkBytes > size - bodyPos) {
            return nullptr;
        }
        const uint8_t* body = bytes + bodyPos;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkBytes < kFmtMinBytes || le16(body) != kFormatPcm) {
                return nullptr;
            }
            wave->format.channels = le16(body + 2);
            wave->format.rate = le32(body + 4);
            wave->format.bits = le16(body + 14);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat || wave->format.channels == 0 || wave->format.rate == 0 ||
                (wave->format.bits != 8 && wave->format.bits != 16)) {
                return nullptr;
            }
            const size_t whole = chunkBytes - chunkBytes % wave->format.frameBytes();
            wave->samples.assign(body, body + whole);
            return wave;
        }
        pos = bodyPos + chunkBytes + (chunkBytes & 1);  // chunks are padded to even sizes
        if (pos > size) {
            return nullptr;
        }
    }
    return nullptr;
}
