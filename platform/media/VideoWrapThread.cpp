#include "platform/media/VideoWrapThread.h"

#include <chrono>

extern "C" {
#include <libavutil/frame.h>
}

VideoWrapThread::VideoWrapThread(MediaPipeline &pipeline, double frameRate, int rotation, bool mirrored)
    : m_pipeline(pipeline)
{
    m_wrapper.setStreamTraits(frameRate, rotation, mirrored);
    m_thread = std::thread([this] { run(); });
}

VideoWrapThread::~VideoWrapThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_changed.notify_all();
    }
    m_thread.join();
    for (Entry &entry : m_entries)
        av_frame_free(&entry.frame);
}

void VideoWrapThread::push(const AVFrame *frame, qint64 startUs, qint64 endUs, int serial, int loop)
{
    Entry entry;
    entry.frame = av_frame_clone(frame);
    if (!entry.frame) {
        ++m_pipeline.decodeErrors;
        return;
    }
    entry.startUs = startUs;
    entry.endUs = endUs;
    entry.serial = serial;
    entry.loop = loop;
    {
        std::lock_guard lock(m_pipeline.mutex);
        ++m_pipeline.videoFramesWrapping;
    }
    enqueue(std::move(entry));
}

void VideoWrapThread::pushEnd(MediaPipeline::VideoItem &&end, int serial)
{
    Entry entry;
    entry.end = std::move(end);
    entry.serial = serial;
    enqueue(std::move(entry));
}

void VideoWrapThread::enqueue(Entry &&entry)
{
    std::unique_lock lock(m_mutex);
    // While playing, one frame may wait while another is copied, which rides out the bursts of
    // frame-threaded decoders; otherwise one at a time, which keeps a paused player's pool small.
    // The pipeline's quit flag is checked now and then, because the owner stops the decoders
    // without knowing of this stage.
    const auto full = [this] {
        const bool playing = m_pipeline.queuedFramesWanted.load() > 1;
        return !m_entries.empty() || (m_busy && !playing);
    };
    while (full() && !m_quit && !m_pipeline.quit)
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
    if (m_quit || m_pipeline.quit) {
        av_frame_free(&entry.frame);
        return;
    }
    m_entries.push_back(std::move(entry));
    m_changed.notify_all();
}

void VideoWrapThread::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || !m_entries.empty(); });
        if (m_quit)
            return;
        Entry entry = std::move(m_entries.front());
        m_entries.pop_front();
        m_busy = true;
        lock.unlock();
        wrapAndQueue(entry);
        av_frame_free(&entry.frame);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

void VideoWrapThread::wrapAndQueue(Entry &entry)
{
    if (!entry.frame) {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.pushVideo(std::move(entry.end), entry.serial);
        return;
    }
    bool current;
    {
        // Frames of a command that has been replaced (a seek) are not worth copying.
        std::lock_guard lock(m_pipeline.mutex);
        current = entry.serial == m_pipeline.serial;
    }
    MediaPipeline::VideoItem item;
    if (current)
        item.frame = m_wrapper.wrap(entry.frame, entry.startUs, entry.endUs);
    item.bytes = qint64(entry.frame->width) * entry.frame->height * 3 / 2;
    // The codec's buffer goes back to its pool before the decoder may ask for another.
    av_frame_free(&entry.frame);
    std::lock_guard lock(m_pipeline.mutex);
    --m_pipeline.videoFramesWrapping;
    m_pipeline.changed.notify_all();
    if (!current)
        return;
    if (!item.frame.isValid()) {
        ++m_pipeline.decodeErrors;
        return;
    }
    item.startUs = entry.startUs;
    item.endUs = entry.endUs;
    item.loop = entry.loop;
    m_pipeline.pushVideo(std::move(item), entry.serial);
}
