#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/CSoundCue.h"
#include "ui/SoundPlayer.h"
#include "ui/WaveData.h"

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(10);

// What the fake devices did, shared by all devices of one test. The first
// write can be held until the test lets it go.
struct DeviceLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> events;
    bool holdFirstWrite = false;
    bool writeHeld = false;
    bool failOpen = false;
    size_t framesWritten = 0;

    void add(const std::string& e) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(e);
        changed.notify_all();
    }
    bool waitFor(const std::string& e, int times = 1) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, kWaitLimit, [&] {
            int n = 0;
            for (const std::string& x : events) {
                n += x == e ? 1 : 0;
            }
            return n >= times;
        });
    }
    void release() {
        std::lock_guard<std::mutex> g(lock);
        holdFirstWrite = false;
        changed.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return events;
    }
};

class FakeDevice : public PcmDevice {
public:
    explicit FakeDevice(std::shared_ptr<DeviceLog> log) : log(std::move(log)) {}
    bool open(const PcmFormat& f) override {
        if (log->failOpen) {
            log->add("open failed");
            return false;
        }
        log->add("open " + std::to_string(f.rate) + "/" + std::to_string(f.bits));
        return true;
    }
    bool write(const uint8_t*, size_t frames) override {
        std::unique_lock<std::mutex> g(log->lock);
        if (log->holdFirstWrite && !log->writeHeld) {
            log->writeHeld = true;
            log->events.push_back("write held");
            log->changed.notify_all();
            log->changed.wait(g, [&] { return !log->holdFirstWrite; });
        }
        log->framesWritten += frames;
        return true;
    }
    int pendingMs() override { return 0; }
    void drop() override { log->add("drop"); }
    void close() override { log->add("close"); }

private:
    std::shared_ptr<DeviceLog> log;
};

SoundPlayer::DeviceFactory factoryFor(std::shared_ptr<DeviceLog> log) {
    return [log] { return std::make_unique<FakeDevice>(log); };
}

std::shared_ptr<const WaveData> tone(unsigned rate, unsigned bits, size_t frames) {
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V', 'E',
                                 'f', 'm', 't', ' ', 16, 0, 0, 0, 1,   0,   2,   0};
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            file.push_back((v >> (8 * i)) & 0xff);
        }
    };
    const unsigned frameBytes = 2 * bits / 8;
    put32(rate);
    put32(rate * frameBytes);
    file.push_back(frameBytes);
    file.push_back(0);
    file.push_back(bits);
    file.push_back(0);
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    put32(static_cast<uint32_t>(frames * frameBytes));
    file.resize(file.size() + frames * frameBytes, 0x80);
    return WaveData::parse(file.data(), file.size());
}

TEST(WaveData, ParsesPcmAndRefusesDamagedImages) {
    auto wave = tone(11025, 8, 100);
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(wave->getFormat().rate, 11025u);
    EXPECT_EQ(wave->getFormat().channels, 2u);
    EXPECT_EQ(wave->frameCount(), 100u);

    const std::vector<uint8_t> good(reinterpret_cast<const uint8_t*>("RIFF\0\0\0\0WAVE"),
                                    reinterpret_cast<const uint8_t*>("RIFF\0\0\0\0WAVE") + 12);
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"empty", {}},
        {"no chunks", good},
        {"not RIFF", {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}},
        {"chunk past the end",
         {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 200, 0, 0, 0}},
        {"data before fmt",
         {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a', 't', 'a', 0, 0, 0, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(WaveData::parse(row.bytes.data(), row.bytes.size()), nullptr) << row.what;
    }
}

TEST(SoundPlayer, ANewerSoundCutsOffThePlayingOne) {
    auto log = std::make_shared<DeviceLog>();
    log->holdFirstWrite = true;
    {
        SoundPlayer player(factoryFor(log));
        player.play(tone(44100, 16, SoundPlayer::kChunkFrames * 10));
        ASSERT_TRUE(log->waitFor("write held"));
        player.play(tone(11025, 8, SoundPlayer::kChunkFrames * 2));
        log->release();
        ASSERT_TRUE(log->waitFor("close", 2));
    }
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"open 44100/16", "write held", "drop",
                                                         "close", "open 11025/8", "close"}));
    // One chunk of the first sound, then the whole second one.
    EXPECT_EQ(log->framesWritten, SoundPlayer::kChunkFrames * 3);
}

TEST(SoundPlayer, WithoutADeviceTheSoundIsSkippedSilently) {
    auto log = std::make_shared<DeviceLog>();
    log->failOpen = true;
    {
        SoundPlayer player(factoryFor(log));
        player.play(tone(11025, 8, 10));
        ASSERT_TRUE(log->waitFor("open failed"));
        player.play(tone(11025, 8, 10));
        ASSERT_TRUE(log->waitFor("open failed", 2));
    }
    EXPECT_EQ(log->framesWritten, 0u);
}

class SoundCueTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSoundCue::releaseInstance();
        CSoundCue::setDeviceFactoryForTest(factoryFor(log));
    }
    void TearDown() override {
        CSoundCue::releaseInstance();
        CSoundCue::setDeviceFactoryForTest({});
    }
    std::shared_ptr<DeviceLog> log = std::make_shared<DeviceLog>();
};

TEST_F(SoundCueTest, EachCuePlaysItsEmbeddedSound) {
    const struct {
        void (CSoundCue::*play)();
        const char* open;
        size_t frames;
    } rows[] = {{&CSoundCue::playConnect, "open 44100/16", 285136 / 4},
                {&CSoundCue::playDisconnect, "open 44100/16", 202124 / 4},
                {&CSoundCue::playUserConnectable, "open 11025/8", 87658 / 2},
                {&CSoundCue::playUserNotConnectable, "open 11025/8", 104944 / 2}};
    int closes = 0;
    for (const auto& row : rows) {
        const size_t before = log->framesWritten;
        (CSoundCue::getInstance()->*row.play)();
        ASSERT_TRUE(log->waitFor("close", ++closes)) << row.open;
        EXPECT_EQ(log->snapshot()[2 * (closes - 1)], row.open) << row.frames;
        EXPECT_EQ(log->framesWritten - before, row.frames) << row.open;
    }
}

TEST_F(SoundCueTest, NothingPlaysUnlessTheSwitchIsExactlyOne) {
    CSoundCue* cue = CSoundCue::getInstance();
    EXPECT_EQ(cue->enabled, 1);  // on by default
    for (int value : {0, 2, -1}) {
        cue->enabled = value;
        cue->playConnect();
        cue->playUserConnectable();
    }
    cue->enabled = 1;
    cue->playDisconnect();
    ASSERT_TRUE(log->waitFor("close"));
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"open 44100/16", "close"}));
}

}  // namespace
