#pragma once

#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QObject>
#include <QUrl>
#include <memory>

class QAudioOutput;
class QVideoSink;
class AudioBufferOutput;

// Our media player on libavformat/libavcodec/libswresample. It keeps QMediaPlayer's signal names,
// enums and semantics, so code written against a QMediaPlayer reads the same:
//  - setSource() opens the file on a worker thread: LoadingMedia, then LoadedMedia (with duration,
//    seekability, hasVideo/hasAudio and metadata known) or InvalidMedia with errorOccurred().
//  - play() starts presentation: BufferedMedia once the first frames are decoded; frames reach the
//    video sink at their presentation time on a monotonic clock (never paced by a sound card);
//    EndOfMedia at the end (or a jump back to the start while loops remain).
//  - setPosition() is frame accurate: it decodes from the key frame before the target and drops
//    every frame before it; while paused the frame at the target is delivered to the sink. When the
//    first decoded frame starts after the target (no index, open GOPs, intra refresh) it seeks
//    further back and decodes forward again. A restart point keeps a second decoder waiting there.
//  - A video stream that cannot be decoded makes the media invalid ("Unsupported codec: ..."), even
//    when its sound could play; cover art is not a video stream.
//  - setPlaybackRate() accepts 0.5..1.5; audio is resampled to the rate.
// Frames are wrapped once into a QVideoFrame in their decoded pixel format (YUV420P, NV12, P010) with
// start and end times in microseconds of media time, on a thread beside the decoder's, and never
// copied again. Decoder threads are sized by picture size and rate; a paused player that shows its
// picture decodes nothing further. 10-bit 4:2:0 arrives as
// P010 (Qt 6.4 gives Format_YUV420P10 frames an 8-bit line stride, too small for the samples); other
// formats are converted once (to NV12, P010 or RGBA8888).
// Decoded audio reaches an AudioBufferOutput as 48 kHz stereo float buffers with their start time.
// Local monitoring sound plays through an AudioMonitor only when a device exists, following the
// QAudioOutput's device, volume and mute; pause, seek and loops keep its stream open.
// All public functions and all signals live on the thread that owns the player (the GUI thread).
class MediaPlayer : public QObject
{
    Q_OBJECT
public:
    explicit MediaPlayer(QObject *parent = nullptr);
    ~MediaPlayer() override;

    void setSource(const QUrl &source);
    QUrl source() const;

    void setVideoSink(QVideoSink *sink);
    QVideoSink *videoSink() const;
    void setAudioOutput(QAudioOutput *output);
    QAudioOutput *audioOutput() const;
    void setAudioBufferOutput(AudioBufferOutput *output);
    AudioBufferOutput *audioBufferOutput() const;

    QMediaPlayer::PlaybackState playbackState() const;
    QMediaPlayer::MediaStatus mediaStatus() const;
    QMediaPlayer::Error error() const;
    QString errorString() const;

    qint64 duration() const;   // ms, 0 while unknown
    qint64 position() const;   // ms of media time
    bool isSeekable() const;
    bool hasVideo() const;
    bool hasAudio() const;
    float bufferProgress() const;
    // Duration, Resolution (the decoded picture size, before display rotation), VideoFrameRate,
    // VideoCodec, AudioCodec, Orientation (= rotation()), FileFormat, bit rates and container tags.
    QMediaMetaData metaData() const;
    // Transfer characteristic of the video stream as FFmpeg names it ("bt709", "smpte2084",
    // "arib-std-b67", ...); empty when unknown.
    QString colorTransfer() const;
    // Display rotation in degrees clockwise (0, 90, 180, 270) from the stream's display matrix.
    int rotation() const;
    // Nominal frame rate of the video stream, 0 when unknown.
    double frameRate() const;
    // Media time of the video stream's first frame in microseconds (its audio may start earlier).
    qint64 videoStartUs() const;
    // Packets or frames of the open source that failed to decode so far.
    quint64 decodeErrorCount() const;

    // FFmpeg's names of the video and audio codecs ("h264", "hevc", "aac", ...); empty when absent.
    QString videoCodecName() const;
    QString audioCodecName() const;

    double playbackRate() const;
    void setPlaybackRate(double rate);
    int loops() const;
    void setLoops(int loops);  // QMediaPlayer::Infinite (-1) or a count >= 1

    // Test seam for benchmarks: present every frame and audio buffer as soon as it is decoded,
    // ignoring the clock.
    void setUnpacedForTesting(bool unpaced);
    // A position the player will be sent back to again and again (a deck's loop to In): a second
    // decoder waits paused on its frame, so that setPosition() there shows it at once instead of
    // decoding from the key frame before it; then the two swap roles. -1 (and a new source) drops it.
    void setRestartPoint(qint64 positionMs);
    qint64 restartPoint() const;
    // Seeks served by the waiting decoder so far (test seam).
    quint64 prerolledRestarts() const;

    // Test seam: seeks that land after their target stay there instead of retreating (to see what a
    // verifier makes of a late frame). Applies to sources set afterwards.
    void setSeekRetreatForTesting(bool allowed);
    // Test seams: whether the local monitoring stream is open, and how often it was opened.
    bool monitorStreamOpen() const;
    quint64 monitorStreamOpens() const;

public slots:
    void play();
    void pause();
    void stop();
    void setPosition(qint64 positionMs);

signals:
    void sourceChanged(const QUrl &media);
    void playbackStateChanged(QMediaPlayer::PlaybackState newState);
    void mediaStatusChanged(QMediaPlayer::MediaStatus status);
    void durationChanged(qint64 duration);
    void positionChanged(qint64 position);
    void hasAudioChanged(bool available);
    void hasVideoChanged(bool videoAvailable);
    void bufferProgressChanged(float progress);
    void seekableChanged(bool seekable);
    void playbackRateChanged(qreal rate);
    void loopsChanged();
    void metaDataChanged();
    void errorChanged();
    void errorOccurred(QMediaPlayer::Error error, const QString &errorString);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
