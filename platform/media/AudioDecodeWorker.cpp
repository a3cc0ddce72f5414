#include "platform/media/AudioDecodeWorker.h"

#include "platform/media/MediaPipeline.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
constexpr int ChunkFrames = 960;  // 20 ms at 48 kHz
constexpr int BytesPerFrame = MediaPipeline::InternalChannels * int(sizeof(float));
constexpr qint64 ResyncThresholdUs = 100000;
}

AudioDecodeWorker::AudioDecodeWorker(MediaPipeline &pipeline, AVCodecContext *codec, AVRational timeBase,
                                     qint64 startUs)
    : DecodeWorker(pipeline, pipeline.audioPackets, codec, timeBase, startUs)
{
    start();
}

AudioDecodeWorker::~AudioDecodeWorker()
{
    join();
}

bool AudioDecodeWorker::outputFull() const
{
    return m_pipeline.audioChunksFull();
}

void AudioDecodeWorker::restart(qint64 dropBeforeUs)
{
    m_converter.reset();
    m_haveBase = false;
    m_dropBeforeUs = dropBeforeUs;
    m_lastEndUs = dropBeforeUs;
}

qint64 AudioDecodeWorker::timeOfSample(qint64 sample) const
{
    return m_baseUs + sample * 1000000 / MediaPipeline::InternalSampleRate;
}

void AudioDecodeWorker::frameDecoded(const AVFrame *frame, int serial, int loop)
{
    const qint64 ts = frame->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE) {
        const qint64 frameUs = mediaUs(ts);
        if (!m_haveBase || qAbs(frameUs - timeOfSample(m_samplesSinceBase)) > ResyncThresholdUs) {
            m_baseUs = frameUs;
            m_samplesSinceBase = 0;
            m_haveBase = true;
        }
    } else if (!m_haveBase) {
        m_baseUs = m_lastEndUs;
        m_samplesSinceBase = 0;
        m_haveBase = true;
    }
    if (!m_converter.configure(frame->ch_layout, frame->format, frame->sample_rate,
                               MediaPipeline::InternalChannels, AV_SAMPLE_FMT_FLT,
                               MediaPipeline::InternalSampleRate)) {
        ++m_pipeline.decodeErrors;
        return;
    }
    ++m_pipeline.audioChunksDecoded;
    queue(m_converter.convert(frame->extended_data, frame->nb_samples), serial, loop);
}

void AudioDecodeWorker::passEnded(int serial, int loop, bool more)
{
    queue(m_converter.convert(nullptr, 0), serial, loop);  // what the resampler still holds
    MediaPipeline::AudioItem end;
    end.endOfStream = true;
    end.startUs = end.endUs = m_lastEndUs;
    end.loop = loop;
    end.more = more;
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.pushAudio(std::move(end), serial);
    }
    restart(0);  // the next pass starts at the beginning; nothing before media time 0 sounds
}

void AudioDecodeWorker::queue(const QByteArray &samples, int serial, int loop)
{
    const qint64 frames = samples.size() / BytesPerFrame;
    const qint64 firstSample = m_samplesSinceBase;
    const qint64 startUs = timeOfSample(firstSample);
    m_samplesSinceBase += frames;
    qint64 first = 0;
    if (startUs < m_dropBeforeUs)
        first = std::min(frames, (m_dropBeforeUs - startUs) * MediaPipeline::InternalSampleRate / 1000000);
    std::vector<MediaPipeline::AudioItem> chunks;
    for (qint64 at = first; at < frames; at += ChunkFrames) {
        const qint64 n = std::min<qint64>(ChunkFrames, frames - at);
        MediaPipeline::AudioItem chunk;
        chunk.samples = samples.mid(at * BytesPerFrame, n * BytesPerFrame);
        chunk.startUs = timeOfSample(firstSample + at);
        chunk.endUs = timeOfSample(firstSample + at + n);
        chunk.loop = loop;
        m_lastEndUs = chunk.endUs;
        chunks.push_back(std::move(chunk));
    }
    if (chunks.empty())
        return;
    std::lock_guard lock(m_pipeline.mutex);
    for (MediaPipeline::AudioItem &chunk : chunks)
        m_pipeline.pushAudio(std::move(chunk), serial);
}
