#pragma once

#include <map>
#include <memory>

#include "ui/SoundPlayer.h"
#include "ui/WaveData.h"

// The four sound cues: the gate opened, the gate closed, and whether the
// newly selected contact offers the tunnel application. The sounds are
// embedded in the program (resources 139 to 142) and played asynchronously;
// a cue started while another plays replaces it. Cues play only while
// enabled is exactly 1.
//
// One per process (getInstance / releaseInstance); GUI thread only.
class CSoundCue {
public:
    static CSoundCue* getInstance();
    static void releaseInstance();

    // Tests: the devices the next created object plays on (empty: ALSA).
    static void setDeviceFactoryForTest(SoundPlayer::DeviceFactory factory);

    void setWindow(void* owner) { window = owner; }
    void* getWindow() const { return window; }

    void playConnect();
    void playDisconnect();
    void playUserConnectable();
    void playUserNotConnectable();

    // Written directly by its users (the settings' SOUNDMODE).
    int enabled = 1;

private:
    explicit CSoundCue(SoundPlayer::DeviceFactory factory);
    void play(int soundId);
    // The embedded sound with this number, loaded once; nullptr when missing.
    std::shared_ptr<const WaveData> sound(int soundId);

    void* window = nullptr;  // the main dialog
    std::map<int, std::shared_ptr<const WaveData>> sounds;
    SoundPlayer player;
};
