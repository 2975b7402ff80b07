#include "ui/SoundPlayer.h"

#include <algorithm>
#include <chrono>

SoundPlayer::SoundPlayer(DeviceFactory deviceFactory)
    : factory(std::move(deviceFactory)), worker([this] { run(); }) {}

SoundPlayer::~SoundPlayer() {
    {
        std::lock_guard<std::mutex> guard(lock);
        quit = true;
    }
    wake.notify_all();
    worker.join();
}

void SoundPlayer::play(std::shared_ptr<const WaveData> wave) {
    if (!wave) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        pending = std::move(wave);
        ++generation;
    }
    wake.notify_all();
}

bool SoundPlayer::superseded(uint64_t since) {
    return quit || generation != since;
}

void SoundPlayer::run() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return quit || pending != nullptr; });
        if (quit) {
            return;
        }
        std::shared_ptr<const WaveData> wave = std::move(pending);
        pending.reset();
        const uint64_t mine = generation;
        guard.unlock();

        std::unique_ptr<PcmDevice> device = factory ? factory() : nullptr;
        if (device && device->open(wave->getFormat())) {
            const uint8_t* samples = wave->getSamples().data();
            const size_t frameBytes = wave->getFormat().frameBytes();
            const size_t frames = wave->frameCount();
            bool cut = false;
            for (size_t at = 0; at < frames; at += kChunkFrames) {
                {
                    std::lock_guard<std::mutex> check(lock);
                    cut = superseded(mine);
                }
                if (cut) {
                    break;
                }
                const size_t count = std::min(kChunkFrames, frames - at);
                if (!device->write(samples + at * frameBytes, count)) {
                    break;
                }
            }
            if (!cut) {
                // Let the buffered tail play out, unless a newer cue comes.
                const int tailMs = device->pendingMs();
                std::unique_lock<std::mutex> waitLock(lock);
                cut = wake.wait_for(waitLock, std::chrono::milliseconds(tailMs),
                                    [&] { return superseded(mine); });
            }
            if (cut) {
                device->drop();
            }
            device->close();
        }
        guard.lock();
    }
}
