#pragma once

#include "platform/media/MediaPipeline.h"

#include <QString>
#include <functional>
#include <memory>
#include <thread>

struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
class AudioDecodeWorker;
class VideoDecodeWorker;

// One opened source of a player: a demuxer thread that opens the file and then reads packets, and a
// decoder thread for each of its video and audio streams, all sharing one MediaPipeline. The owner
// (the player, on its own thread) steers it with seek() and halt() and reads decoded frames and
// audio out of the pipeline; the threads call the wake function (from their own threads) when the
// file has been opened or failed, and when data arrives that the owner waits for.
// The destructor stops and joins every thread, also while the file is still being opened.
class MediaSession
{
public:
    MediaSession(const QString &location, std::function<void()> wakeOwner);
    ~MediaSession();
    MediaSession(const MediaSession &) = delete;
    MediaSession &operator=(const MediaSession &) = delete;

    MediaPipeline &pipeline() { return m_pipeline; }

    // Decoder threads for a video of this size and rate: enough for real time with headroom.
    static int videoDecoderThreads(int width, int height, double frameRate);

    // Decodes from targetUs of media time on: from the key frame before it, dropping what comes first.
    void seek(qint64 targetUs, int loop);
    // Stops demuxing and decoding and drops everything queued.
    void halt();
    void setLoops(int loops);

private:
    void run();
    bool open();
    bool fail(QMediaPlayer::Error error, const QString &text);
    AVCodecContext *openDecoder(int streamIndex);
    QString codecName(int streamIndex) const;
    void startDecoders();
    void demux();
    bool seekFile(qint64 targetUs);
    void queuePacket(AVPacket *packet, int serial, int loop);
    void queueEnd(int serial, int loop, bool more);
    static int interrupted(void *opaque);

    QString m_location;
    MediaPipeline m_pipeline;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_videoCodec = nullptr;
    AVCodecContext *m_audioCodec = nullptr;
    std::unique_ptr<VideoDecodeWorker> m_video;
    std::unique_ptr<AudioDecodeWorker> m_audio;
    bool m_readAny = false;
    std::thread m_thread;
};
