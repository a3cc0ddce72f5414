#pragma once

#include "outputs/audio/AudioOutputBackend.h"

class LocalAudioEngine;

// A backend without a device and without a thread: it only reports a channel count and a buffer
// size, so that whoever drives LocalAudioEngine::render() directly sees a running engine of that
// shape.
class TestBackend : public AudioOutputBackend
{
public:
    explicit TestBackend(LocalAudioEngine *engine);
    ~TestBackend() override = default;

    // The device text is the channel count (anything that is not a positive number gives 8; at most
    // 128; 1 gives 2). bufferFrames <= 0 gives 128.
    bool open(const QString &device, int bufferFrames, QString *error) override;
    void stop() override;
    int channels() const override { return m_channels; }
    int bufferFrames() const override { return m_bufferFrames; }
    QString description() const override;
    QJsonObject status() const override;

private:
    LocalAudioEngine *m_engine;
    int m_channels = 8;
    int m_bufferFrames = 128;
};
