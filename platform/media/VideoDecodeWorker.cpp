#include "platform/media/VideoDecodeWorker.h"

#include "platform/media/MediaPipeline.h"

#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
// A frame counts as "at" a target when it is still on screen 1 ms after it (millisecond targets of
// fractional frame rates land up to 1 ms before the frame they mean).
constexpr qint64 TargetToleranceUs = 1000;
}

VideoDecodeWorker::VideoDecodeWorker(MediaPipeline &pipeline, AVCodecContext *codec, AVRational timeBase,
                                     qint64 startUs, double frameRate, int rotation, bool mirrored)
    : DecodeWorker(pipeline, pipeline.videoPackets, codec, timeBase, startUs),
      m_defaultDurationUs(frameRate > 0 ? qint64(1e6 / frameRate) : 40000),
      m_wrap(pipeline, frameRate, rotation, mirrored)
{
    start();
}

VideoDecodeWorker::~VideoDecodeWorker()
{
    join();
}

bool VideoDecodeWorker::outputFull() const
{
    return m_pipeline.videoFramesFull();
}

void VideoDecodeWorker::restart(qint64 dropBeforeUs)
{
    m_dropBeforeUs = dropBeforeUs;
    m_lastEndUs = dropBeforeUs;
    m_awaitingFirst = true;
}

bool VideoDecodeWorker::retreat(int serial)
{
    if (m_dropBeforeUs <= 0)
        return false;
    std::lock_guard lock(m_pipeline.mutex);
    return m_pipeline.retreat(serial);
}

void VideoDecodeWorker::frameDecoded(const AVFrame *frame, int serial, int loop)
{
    ++m_pipeline.videoFramesDecoded;
    const qint64 ts = frame->best_effort_timestamp;
    const qint64 startUs = ts == AV_NOPTS_VALUE ? m_lastEndUs : mediaUs(ts);
    const qint64 endUs = startUs + (frame->pkt_duration > 0 ? durationUs(frame->pkt_duration) : m_defaultDurationUs);
    m_lastEndUs = std::max(m_lastEndUs, endUs);
    const bool first = std::exchange(m_awaitingFirst, false);
    if (first && startUs > m_dropBeforeUs + TargetToleranceUs && retreat(serial))
        return;
    if (endUs <= m_dropBeforeUs + TargetToleranceUs) {
        ++m_pipeline.videoFramesSkipped;
        return;
    }
    m_wrap.push(frame, startUs, endUs, serial, loop);
}

void VideoDecodeWorker::passEnded(int serial, int loop, bool more)
{
    if (m_awaitingFirst && retreat(serial))
        return;
    MediaPipeline::VideoItem end;
    end.endOfStream = true;
    end.startUs = end.endUs = m_lastEndUs;
    end.loop = loop;
    end.more = more;
    m_wrap.pushEnd(std::move(end), serial);
    restart(0);  // the next pass starts at the beginning; nothing before media time 0 shows
}
