#pragma once

#include "platform/media/MediaInfo.h"
#include "platform/media/PacketQueue.h"

#include <QByteArray>
#include <QMediaPlayer>
#include <QVideoFrame>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// The state a player shares with its demuxer and decoder threads: one mutex and one condition
// variable guard the commands, the packet queues and the decoded frame and audio queues.
//
// Every command (seek, start, halt) increases `serial`; the owner empties the queues in the same
// critical section, and workers drop whatever they produce for an older serial, so nothing from
// before a seek can ever reach the owner. A retreat (a seek from further back for the same target)
// also moves the serial on.
class MediaPipeline
{
public:
    enum class OpenState { Opening, Opened, Failed };

    struct VideoItem
    {
        QVideoFrame frame;
        qint64 startUs = 0;
        qint64 endUs = 0;
        qint64 bytes = 0;
        int loop = 0;
        bool endOfStream = false;  // no frame: the stream's end in pass `loop`, at endUs
        bool more = false;         // with endOfStream: the demuxer goes on with pass loop + 1
    };
    struct AudioItem
    {
        QByteArray samples;  // interleaved 48 kHz stereo float
        qint64 startUs = 0;
        qint64 endUs = 0;
        int loop = 0;
        bool endOfStream = false;
        bool more = false;
    };

    static constexpr int InternalSampleRate = 48000;
    static constexpr int InternalChannels = 2;

    explicit MediaPipeline(std::function<void()> wakeOwner);

    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> quit{false};

    // Written once by the demuxer thread while opening; read by the others after Opened.
    OpenState openState = OpenState::Opening;
    MediaInfo info;
    QMediaPlayer::Error error = QMediaPlayer::NoError;
    QString errorText;

    // The owner's command.
    int serial = 0;
    bool active = false;       // demux and decode for `serial`; false after a halt
    qint64 targetUs = 0;       // frames and samples before it are decoded and dropped
    qint64 seekBackUs = 0;     // the demuxer seeks this far before targetUs (see retreat())
    bool retreatAllowed = true;  // off only in tests, to see a seek that lands late
    std::atomic<int> queuedFramesWanted{3};  // decoded frames kept ready; fewer while paused (setPaused())
    int startLoop = 0;
    int loops = 1;             // QMediaPlayer::Infinite or a count

    PacketQueue videoPackets;
    PacketQueue audioPackets;
    std::deque<VideoItem> videoFrames;
    // Decoded frames handed to the wrap stage and not yet queued or dropped: they hold codec buffers
    // and become QVideoFrames, so they count against queuedFramesWanted like queued ones.
    int videoFramesWrapping = 0;
    std::deque<AudioItem> audioChunks;
    bool ownerWaiting = false;  // the owner waits for decoded data and wants a wake-up

    std::atomic<quint64> videoFramesDecoded{0};
    std::atomic<quint64> videoFramesSkipped{0};  // decoded but before a seek target
    std::atomic<quint64> audioChunksDecoded{0};
    std::atomic<quint64> decodeErrors{0};

    // The functions below expect the caller to hold `mutex`.
    void command(bool run, qint64 targetUs, int loop);
    void clearQueues();
    // A paused player holds its picture, so its decoder rests (and its memory stays small) instead
    // of filling the whole queue: it decodes only the picture to show (`holding` false until then).
    void setPaused(bool paused, bool holding = false);
    bool wantsPackets() const;
    bool videoFramesFull() const;
    bool audioChunksFull() const;
    bool pushVideo(VideoItem &&item, int itemSerial);  // false (and dropped) when the serial is old
    bool pushAudio(AudioItem &&item, int itemSerial);
    // The video decoder found that the seek for the current command landed too late: its first
    // frame starts after the target, or nothing decoded before the end (a seek onto a non-key packet
    // of a file without an index, an open GOP's leading frames, intra refresh). Starts the command
    // again from further back, twice as far each time, at last from the start of the file; false when
    // that was already tried or the item belongs to an older command.
    bool retreat(int itemSerial);
    VideoItem popVideo();
    AudioItem popAudio();
    // Asks the owner to look at the pipeline (posts at most one pending wake-up).
    void wakeOwner();
    void wakeOwnerIfWaiting();
    // Called by the owner when it handles a wake-up.
    void wakeHandled() { m_wakePosted.store(false); }

private:
    std::function<void()> m_wakeOwner;
    std::atomic<bool> m_wakePosted{false};
    qint64 m_videoBytes = 0;
    qint64 m_audioUs = 0;
};
