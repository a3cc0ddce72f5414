#pragma once

#include "platform/media/MediaPipeline.h"
#include "platform/media/VideoFrameWrapper.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct AVFrame;

// The second stage of a player's video decoding: turns decoded AVFrames into QVideoFrames (the one
// copy of the pixels, or the conversion of formats Qt does not show, such as 10-bit 4:2:0 to P010)
// on a thread of its own and queues them into the pipeline in decoding order. The decoder thread only
// hands over a reference to each frame, so decoding the next picture overlaps with copying this one
// instead of waiting for it. At most two frames are in this stage while playing and one otherwise,
// and they count against the pipeline's frame budget (`videoFramesWrapping`); the decoder waits for
// room, which keeps the codec's buffer pool and the number of QVideoFrames small.
class VideoWrapThread
{
public:
    VideoWrapThread(MediaPipeline &pipeline, double frameRate, int rotation, bool mirrored);
    ~VideoWrapThread();  // wraps nothing more; the pipeline's quit flag must be set first
    VideoWrapThread(const VideoWrapThread &) = delete;
    VideoWrapThread &operator=(const VideoWrapThread &) = delete;

    // Called on the decoder thread. Takes a new reference to the frame's buffers.
    void push(const AVFrame *frame, qint64 startUs, qint64 endUs, int serial, int loop);
    // The end of a pass, queued behind the frames before it.
    void pushEnd(MediaPipeline::VideoItem &&end, int serial);

private:
    struct Entry
    {
        AVFrame *frame = nullptr;  // null: `end` is the item to queue
        MediaPipeline::VideoItem end;
        qint64 startUs = 0;
        qint64 endUs = 0;
        int serial = 0;
        int loop = 0;
    };
    void enqueue(Entry &&entry);
    void run();
    void wrapAndQueue(Entry &entry);

    MediaPipeline &m_pipeline;
    VideoFrameWrapper m_wrapper;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_entries;
    bool m_quit = false;
    bool m_busy = false;  // a frame is being wrapped
    std::thread m_thread;
};
