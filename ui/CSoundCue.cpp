#include "ui/CSoundCue.h"

#include <QByteArray>
#include <QFile>

#include "resources/ResourceIds.h"
#include "ui/AlsaPcmDevice.h"

namespace {
CSoundCue* gInstance = nullptr;
SoundPlayer::DeviceFactory gTestFactory;

std::unique_ptr<PcmDevice> makeAlsaDevice() {
    return std::make_unique<AlsaPcmDevice>();
}
}  // namespace

CSoundCue* CSoundCue::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new CSoundCue(gTestFactory ? gTestFactory : makeAlsaDevice);
    }
    return gInstance;
}

void CSoundCue::releaseInstance() {
    delete gInstance;
    gInstance = nullptr;
}

void CSoundCue::setDeviceFactoryForTest(SoundPlayer::DeviceFactory factory) {
    gTestFactory = std::move(factory);
}

CSoundCue::CSoundCue(SoundPlayer::DeviceFactory factory) : player(std::move(factory)) {}

void CSoundCue::playConnect() {
    play(resources::kSoundConnect);
}
void CSoundCue::playDisconnect() {
    play(resources::kSoundDisconnect);
}
void CSoundCue::playUserConnectable() {
    play(resources::kSoundUserConnectable);
}
void CSoundCue::playUserNotConnectable() {
    play(resources::kSoundUserNotConnectable);
}

void CSoundCue::play(int soundId) {
    if (enabled != 1) {
        return;
    }
    player.play(sound(soundId));
}

std::shared_ptr<const WaveData> CSoundCue::sound(int soundId) {
    auto it = sounds.find(soundId);
    if (it != sounds.end()) {
        return it->second;
    }
    QFile file(QStringLiteral(":/sounds/%1.wav").arg(soundId));
    std::shared_ptr<const WaveData> wave;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        wave = WaveData::parse(reinterpret_cast<const uint8_t*>(bytes.constData()),
                               static_cast<size_t>(bytes.size()));
    }
    sounds[soundId] = wave;  // a missing sound is remembered as missing
    return wave;
}
