#pragma once

#include <QByteArray>
#include <QtGlobal>

struct AVChannelLayout;
struct SwrContext;
class QAudioFormat;

// Converts audio between sample formats, channel layouts and rates with libswresample. The output is
// always interleaved (packed). A mono source is spread to every output channel at full level rather
// than at the -3 dB centre-mix level, so a mono tone keeps its amplitude on both sides.
class AudioConverter
{
public:
    AudioConverter() = default;
    ~AudioConverter();
    AudioConverter(const AudioConverter &) = delete;
    AudioConverter &operator=(const AudioConverter &) = delete;

    // (Re)configures when any parameter differs from the current set-up; returns false on failure.
    bool configure(const AVChannelLayout &inLayout, int inFormat, int inRate, int outChannels,
                   int outFormat, int outRate);
    // The same for interleaved 32-bit float input with `inChannels` channels in their default layout.
    bool configureFromFloat(int inChannels, int inRate, int outChannels, int outFormat, int outRate);
    bool isConfigured() const { return m_swr != nullptr; }
    void reset();

    // Converts inFrames frames; `in` holds one pointer per plane (one for packed formats).
    QByteArray convert(const quint8 *const *in, int inFrames);
    QByteArray convertInterleaved(const QByteArray &in);
    // The samples still inside the resampler, in input samples at the input rate.
    qint64 delayInInputSamples() const;
    int outputBytesPerFrame() const { return m_outBytesPerFrame; }

    // FFmpeg sample format of a packed QAudioFormat, -1 (AV_SAMPLE_FMT_NONE) when there is none.
    static int sampleFormatOf(const QAudioFormat &format);

private:
    SwrContext *m_swr = nullptr;
    int m_inChannels = 0;
    int m_inFormat = -1;
    int m_inRate = 0;
    quint64 m_inMask = 0;
    int m_outChannels = 0;
    int m_outFormat = -1;
    int m_outRate = 0;
    int m_inBytesPerFrame = 0;
    int m_outBytesPerFrame = 0;
};
