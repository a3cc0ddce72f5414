#include "platform/media/DecodeWorker.h"

#include "platform/media/MediaPipeline.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

DecodeWorker::DecodeWorker(MediaPipeline &pipeline, PacketQueue &packets, AVCodecContext *codec,
                           AVRational timeBase, qint64 startUs)
    : m_pipeline(pipeline), m_packets(packets), m_codec(codec), m_timeBase(timeBase), m_startUs(startUs)
{
    m_frame = av_frame_alloc();
}

DecodeWorker::~DecodeWorker()
{
    join();
    av_frame_free(&m_frame);
    avcodec_free_context(&m_codec);
}

void DecodeWorker::start()
{
    m_thread = std::thread([this] { run(); });
}

void DecodeWorker::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

qint64 DecodeWorker::mediaUs(qint64 timestamp) const
{
    return av_rescale_q(timestamp, m_timeBase, AVRational{1, 1000000}) - m_startUs;
}

qint64 DecodeWorker::durationUs(qint64 ticks) const
{
    return av_rescale_q(ticks, m_timeBase, AVRational{1, 1000000});
}

void DecodeWorker::run()
{
    int codecSerial = -1;
    for (;;) {
        PacketQueue::Entry entry;
        qint64 restartAtUs = -1;
        bool restarting = false;
        {
            std::unique_lock lock(m_pipeline.mutex);
            m_pipeline.changed.wait(lock, [this] {
                return m_pipeline.quit || (!m_packets.isEmpty() && !outputFull());
            });
            if (m_pipeline.quit)
                return;
            entry = m_packets.pop();
            m_pipeline.changed.notify_all();
            if (entry.serial != codecSerial) {
                codecSerial = entry.serial;
                restarting = true;
                restartAtUs = m_pipeline.targetUs;
            }
        }
        if (restarting) {
            avcodec_flush_buffers(m_codec);
            restart(restartAtUs);
        }
        decode(entry.packet, entry.serial, entry.loop);
        if (entry.packet) {
            av_packet_free(&entry.packet);
            continue;
        }
        // The end of one pass through the file: the codec has been drained; the next pass starts clean.
        avcodec_flush_buffers(m_codec);
        passEnded(entry.serial, entry.loop, entry.more);
    }
}

void DecodeWorker::decode(const AVPacket *packet, int serial, int loop)
{
    if (avcodec_send_packet(m_codec, packet) < 0)
        ++m_pipeline.decodeErrors;
    for (;;) {
        const int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        if (rc < 0) {
            ++m_pipeline.decodeErrors;
            return;
        }
        frameDecoded(m_frame, serial, loop);
        av_frame_unref(m_frame);
        if (m_pipeline.quit)
            return;
    }
}
