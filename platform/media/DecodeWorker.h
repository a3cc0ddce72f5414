#pragma once

#include <QtGlobal>
#include <thread>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
class MediaPipeline;
class PacketQueue;

// The thread of one stream's decoder: takes that stream's packets from the pipeline while there is
// room for what it produces, flushes the codec when a packet belongs to a new command (serial), and
// drains it at the end of each pass through the file. What becomes of a decoded frame is up to the
// subclass. Subclasses call start() at the end of their constructor and join() at the start of their
// destructor, so that the thread never sees a half-built or half-destroyed object.
class DecodeWorker
{
public:
    virtual ~DecodeWorker();
    DecodeWorker(const DecodeWorker &) = delete;
    DecodeWorker &operator=(const DecodeWorker &) = delete;

protected:
    // Takes ownership of the opened codec context.
    DecodeWorker(MediaPipeline &pipeline, PacketQueue &packets, AVCodecContext *codec, AVRational timeBase,
                 qint64 startUs);
    void start();
    void join();
    // Media time of a timestamp in the stream's time base (0 is the start of the file).
    qint64 mediaUs(qint64 timestamp) const;
    qint64 durationUs(qint64 ticks) const;

    // Called with the pipeline's mutex held.
    virtual bool outputFull() const = 0;
    // Called on the worker thread without the mutex: decoding restarts for a command whose target is
    // dropBeforeUs; a frame was decoded; a pass through the file ended (the codec has been drained).
    virtual void restart(qint64 dropBeforeUs) = 0;
    virtual void frameDecoded(const AVFrame *frame, int serial, int loop) = 0;
    virtual void passEnded(int serial, int loop, bool more) = 0;

    MediaPipeline &m_pipeline;

private:
    void run();
    void decode(const AVPacket *packet, int serial, int loop);

    PacketQueue &m_packets;
    AVCodecContext *m_codec;
    AVRational m_timeBase;
    qint64 m_startUs;
    AVFrame *m_frame = nullptr;
    std::thread m_thread;
};
