#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ui/PcmDevice.h"
#include "ui/WaveData.h"

// Plays one sound at a time on a worker thread of its own, so that the GUI
// thread never waits for the sound device. A sound requested while another
// plays cuts the playing one off. A sound whose device cannot be opened is
// skipped without a word.
//
// play() and the destructor are called from the GUI thread; the device is
// used by the worker only. The destructor stops the sound and joins the
// worker.
class SoundPlayer {
public:
    using DeviceFactory = std::function<std::unique_ptr<PcmDevice>()>;
    static constexpr size_t kChunkFrames = 1024;  // a new request is noticed between chunks

    explicit SoundPlayer(DeviceFactory factory);
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    void play(std::shared_ptr<const WaveData> wave);

private:
    void run();
    // Under lock: has a newer request (or the end) come since generation?
    bool superseded(uint64_t since);

    DeviceFactory factory;
    std::mutex lock;
    std::condition_variable wake;
    // Guarded by lock: the request not yet taken by the worker, the number of
    // requests so far, and the stop request.
    std::shared_ptr<const WaveData> pending;
    uint64_t generation = 0;
    bool quit = false;
    std::thread worker;  // last member: started when everything else exists
};
