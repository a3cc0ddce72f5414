#pragma once

#include "platform/media/DecodeWorker.h"
#include "platform/media/VideoWrapThread.h"

class MediaPipeline;

// Decoder thread of a player's video stream (FFmpeg frame threads do the decoding): drops the frames
// that end before the current seek target and hands the rest to its VideoWrapThread, which wraps them
// into QVideoFrames and queues them for presentation. When the first frame after a seek starts after the target, or the pass ends with no
// frame at all, the seek landed too late and the pipeline retreats (seeks further back).
class VideoDecodeWorker : public DecodeWorker
{
public:
    // Takes ownership of the opened codec context; the thread starts at once.
    VideoDecodeWorker(MediaPipeline &pipeline, AVCodecContext *codec, AVRational timeBase, qint64 startUs,
                      double frameRate, int rotation, bool mirrored);
    ~VideoDecodeWorker() override;  // joins; the pipeline's quit flag must be set first

private:
    bool outputFull() const override;
    void restart(qint64 dropBeforeUs) override;
    void frameDecoded(const AVFrame *frame, int serial, int loop) override;
    void passEnded(int serial, int loop, bool more) override;
    bool retreat(int serial);

    qint64 m_defaultDurationUs;
    VideoWrapThread m_wrap;
    qint64 m_dropBeforeUs = 0;
    qint64 m_lastEndUs = 0;
    bool m_awaitingFirst = false;  // no frame decoded yet since the last restart
};
