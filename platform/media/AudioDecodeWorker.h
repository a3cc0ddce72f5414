#pragma once

#include "platform/media/AudioConverter.h"
#include "platform/media/DecodeWorker.h"

#include <QByteArray>

class MediaPipeline;

// Decoder thread of a player's audio stream: converts every decoded frame to 48 kHz stereo float,
// drops the samples before the current seek target and queues the rest in chunks of at most 20 ms.
// Start times count samples from the first decoded frame after each seek, so consecutive chunks join
// without gaps or overlaps; a jump of more than 100 ms in the stream's own timestamps starts the
// count again.
class AudioDecodeWorker : public DecodeWorker
{
public:
    // Takes ownership of the opened codec context; the thread starts at once.
    AudioDecodeWorker(MediaPipeline &pipeline, AVCodecContext *codec, AVRational timeBase, qint64 startUs);
    ~AudioDecodeWorker() override;  // joins; the pipeline's quit flag must be set first

private:
    bool outputFull() const override;
    void restart(qint64 dropBeforeUs) override;
    void frameDecoded(const AVFrame *frame, int serial, int loop) override;
    void passEnded(int serial, int loop, bool more) override;
    void queue(const QByteArray &samples, int serial, int loop);
    qint64 timeOfSample(qint64 sample) const;

    AudioConverter m_converter;
    bool m_haveBase = false;
    qint64 m_baseUs = 0;
    qint64 m_samplesSinceBase = 0;
    qint64 m_dropBeforeUs = 0;
    qint64 m_lastEndUs = 0;
};
