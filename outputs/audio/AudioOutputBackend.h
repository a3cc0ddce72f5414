#pragma once

#include <QJsonObject>
#include <QString>

// One output of the local audio engine: a sound device, a device-less test output or a network
// sender. Implementations keep a pointer to their LocalAudioEngine (given at construction), run
// their own real-time thread and call LocalAudioEngine::render() once per period from it.
// A backend is opened once; the engine builds a new one for every start.
class AudioOutputBackend
{
public:
    virtual ~AudioOutputBackend() = default;

    // Opens the device and starts the backend's thread, which may call render() before open()
    // returns. On failure writes the reason into *error (when not null) and returns false with
    // nothing left running.
    virtual bool open(const QString &device, int bufferFrames, QString *error) = 0;
    // Stops and joins the backend's thread; safe to call again.
    virtual void stop() = 0;
    // Interleaved channel count that render() is asked to fill.
    virtual int channels() const = 0;
    // Buffer size in 48 kHz frames.
    virtual int bufferFrames() const = 0;
    // One line for the "device" field of the engine's state.
    virtual QString description() const = 0;
    // Backend-specific status for the "network" field of the engine's state.
    virtual QJsonObject status() const = 0;

protected:
    AudioOutputBackend() = default;
    AudioOutputBackend(const AudioOutputBackend &) = delete;
    AudioOutputBackend &operator=(const AudioOutputBackend &) = delete;
};
