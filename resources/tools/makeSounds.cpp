// Renders the gateway's four sound cues as PCM wave files. They are the
// project's own tones (sums of sines under decaying envelopes), rendered at
// build time and embedded into the program.
//
// Usage: makeSounds OUTPUT_DIRECTORY  -> writes 139.wav 140.wav 141.wav 142.wav

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Note {
    double startS;     // onset in seconds
    double frequency;  // Hz
    double decayS;     // time constant of the exponential decay
    double level;      // 0..1
};

struct Cue {
    int id;
    unsigned rate;      // samples per second
    unsigned bits;      // 8 or 16
    unsigned channels;  // 2
    uint32_t dataBytes;
    std::vector<Note> notes;
};

constexpr double kAttackS = 0.004;  // a short attack avoids clicks
constexpr double kFadeOutS = 0.05;  // every cue fades to silence at its end

double sample(const Cue& cue, double t, double lengthS) {
    double value = 0.0;
    for (const Note& note : cue.notes) {
        const double local = t - note.startS;
        if (local < 0) {
            continue;
        }
        const double attack = std::min(1.0, local / kAttackS);
        const double envelope = attack * std::exp(-local / note.decayS);
        const double phase = 2 * kPi * note.frequency * local;
        // A bell-like timbre: the fundamental and two soft partials.
        value += note.level * envelope *
                 (std::sin(phase) + 0.3 * std::sin(2 * phase) + 0.1 * std::sin(3 * phase));
    }
    const double tail = lengthS - t;
    if (tail < kFadeOutS) {
        value *= std::max(0.0, tail / kFadeOutS);
    }
    return std::max(-1.0, std::min(1.0, value * 0.6));
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(v & 0xff);
    out.push_back((v >> 8) & 0xff);
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

std::vector<uint8_t> render(const Cue& cue) {
    const unsigned frameBytes = cue.channels * cue.bits / 8;
    const uint32_t frames = cue.dataBytes / frameBytes;
    const double lengthS = static_cast<double>(frames) / cue.rate;
    std::vector<uint8_t> out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put32(out, 36 + cue.dataBytes);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(out, 16);
    put16(out, 1);  // PCM
    put16(out, cue.channels);
    put32(out, cue.rate);
    put32(out, cue.rate * frameBytes);
    put16(out, frameBytes);
    put16(out, cue.bits);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put32(out, cue.dataBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        const double v = sample(cue, static_cast<double>(i) / cue.rate, lengthS);
        for (unsigned c = 0; c < cue.channels; ++c) {
            if (cue.bits == 16) {
                put16(out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767))));
            } else {
                out.push_back(static_cast<uint8_t>(std::lround(128 + v * 127)));
            }
        }
    }
    return out;
}

const std::vector<Cue> kCues = {
    // 139, the gate closed: two falling notes.
    {139, 44100, 16, 2, 202124, {{0.0, 880.0, 0.25, 0.6}, {0.28, 587.3, 0.35, 0.6}}},
    // 140, the contact offers the tunnel: a bright rising arpeggio.
    {140,
     11025,
     8,
     2,
     87658,
     {{0.0, 523.3, 0.3, 0.5},
      {0.15, 659.3, 0.3, 0.5},
      {0.3, 784.0, 0.3, 0.5},
      {0.45, 1046.5, 0.8, 0.5}}},
    // 141, the gate opened: three rising notes.
    {141,
     44100,
     16,
     2,
     285136,
     {{0.0, 659.3, 0.3, 0.5}, {0.18, 880.0, 0.3, 0.5}, {0.36, 1318.5, 0.5, 0.5}}},
    // 142, the contact does not offer it: two low notes.
    {142, 11025, 8, 2, 104944, {{0.0, 392.0, 0.35, 0.6}, {0.35, 293.7, 0.6, 0.6}}},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    for (const Cue& cue : kCues) {
        const std::string path = std::string(argv[1]) + "/" + std::to_string(cue.id) + ".wav";
        const std::vector<uint8_t> bytes = render(cue);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            std::fprintf(stderr, "makeSounds: cannot write %s\n", path.c_str());
            if (file != nullptr) {
                std::fclose(file);
            }
            return 1;
        }
        std::fclose(file);
    }
    return 0;
}
