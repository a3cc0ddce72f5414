#pragma once

#include "outputs/audio/AudioDeviceInfo.h"
#include "outputs/audio/AudioOutputBackend.h"

#include <QList>
#include <QString>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

class LocalAudioEngine;
typedef struct _snd_pcm snd_pcm_t;

// Plays the engine's output on one ALSA playback device from a device thread of its own.
// Exclusive mode opens the device as it is (a hw: device: no conversion, no mixing) at 48 kHz and
// searches the sample formats in the order of SampleFormat; shared mode opens a mixing or
// converting device (default, pulse, plughw:) with 32-bit float samples and a small period.
// Each period the thread asks LocalAudioEngine::render() for audio and writes it to the device.
// Open errors come back from open(); the loss of the device later goes to the engine's thread.
class AlsaBackend : public AudioOutputBackend
{
public:
    // Exclusive-mode sample formats, in the order they are tried.
    enum SampleFormat {
        Float32 = 0,   // copied unchanged
        Int32 = 1,     // lrint(x * 2147483647.0)
        Int24In32 = 2, // lrint(x * 8388607.0) in the low 24 bits of a 32-bit word (S24_LE)
        Int16 = 3,     // lrintf(x * 32767.0f)
    };
    static constexpr int formatCount = 4;

    AlsaBackend(LocalAudioEngine *engine, bool exclusive);
    ~AlsaBackend() override;

    bool open(const QString &device, int bufferFrames, QString *error) override;
    void stop() override;
    int channels() const override { return m_channels; }
    int bufferFrames() const override { return m_bufferFrames; }
    QString description() const override { return m_description; }
    QJsonObject status() const override { return {}; }

    // The format the stream carries; valid after a successful open.
    SampleFormat sampleFormat() const { return m_format; }

    // The playback devices that a backend of the given type (exclusive or shared) can open:
    // hw: devices for exclusive mode; default, pulse and plughw: devices for shared mode.
    static QList<AudioDeviceInfo> renderDevices(int backendType);

    // Writes count engine samples (clamped to [-1, 1]) in the given format.
    static void convert(SampleFormat format, const float *in, void *out, qsizetype count);
    static int bytesPerSample(SampleFormat format);

    // Test seam: the exclusive format search only considers the formats whose bit (1 << format)
    // is set; all four by default.
    static void setOfferedFormatsForTesting(unsigned mask);
    // Test seam: sees every rendered frame that the device accepted (engine samples, interleaved),
    // on the device thread. Set it before a stream opens and clear it after the stream stopped.
    static void setWrittenTapForTesting(std::function<void(const float *, long, int)> tap);

private:
    struct Stream;

    void run(QString device, int requestedFrames, std::promise<QString> result);
    QString setUp(Stream &stream, const QString &device, int requestedFrames);
    QString negotiateExclusive(Stream &stream, int requestedFrames);
    QString negotiateShared(Stream &stream, int requestedFrames);
    bool restart(Stream &stream);
    bool refill(Stream &stream, unsigned long frames);
    void play(Stream &stream);
    void playOnDeviceEvents(Stream &stream);
    void playOnTimer(Stream &stream);
    bool settle(Stream &stream, long avail);
    bool renderTicks(Stream &stream, long avail, qint64 ticks);
    bool renderAndWrite(Stream &stream, long frames);
    bool writeSilence(Stream &stream, long frames);
    bool recover(Stream &stream, long error);
    void reportDeviceLoss(const QString &text);

    LocalAudioEngine *m_engine;
    const bool m_exclusive;
    std::thread m_thread;
    std::atomic<bool> m_stopRequested{false};
    int m_channels = 2;
    int m_bufferFrames = 0;
    QString m_description;
    SampleFormat m_format = Float32;
};
