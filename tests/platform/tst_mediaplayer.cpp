#include "platform/media/AudioBufferOutput.h"
#include "platform/media/AudioMonitor.h"
#include "platform/media/MediaPlayer.h"
#include "platform/media/VideoFrameWrapper.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QDir>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>
#include <QtTest>
#include <cmath>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
QString fixture(const QString &name)
{
    return QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(name);
}

// The frame index a numbered clip carries in its bottom strip: 16 blocks, most significant bit left.
int frameCode(const QVideoFrame &source)
{
    QVideoFrame frame = source;
    if (!frame.map(QVideoFrame::ReadOnly))
        return -1;
    const int width = frame.width();
    const int height = frame.height();
    const int stripHeight = height / 20;
    const int y = height - stripHeight / 2 - 1;
    const uchar *row = frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0);
    int code = 0;
    for (int bit = 0; bit < 16; ++bit) {
        const int x = (2 * bit + 1) * width / 32;
        code = code << 1 | (row[x] > 128 ? 1 : 0);
    }
    frame.unmap();
    return code;
}

// A player with a sink and an audio tap that records what it receives.
struct Rig
{
    struct Frame
    {
        QVideoFrame frame;
        qint64 wallMs;
        int code;
    };

    Rig()
    {
        player.setVideoSink(&sink);
        player.setAudioBufferOutput(&tap);
        clock.start();
        QObject::connect(&sink, &QVideoSink::videoFrameChanged, &sink, [this](const QVideoFrame &frame) {
            if (frame.isValid())
                frames.append({frame, clock.elapsed(), decodeCodes ? frameCode(frame) : -1});
        });
        QObject::connect(&tap, &AudioBufferOutput::audioBufferReceived, &tap, [this](const QAudioBuffer &buffer) {
            buffers.append(buffer);
            bufferLeadMs.append(buffer.startTime() / 1000 - player.position());
        });
        QObject::connect(&player, &MediaPlayer::mediaStatusChanged, &player,
                         [this](QMediaPlayer::MediaStatus status) { statuses.append(status); });
        QObject::connect(&player, &MediaPlayer::positionChanged, &player,
                         [this](qint64 position) { positions.append(position); });
    }

    bool open(const QString &name)
    {
        player.setSource(QUrl::fromLocalFile(fixture(name)));
        return waitForStatus(QMediaPlayer::LoadedMedia);
    }
    bool waitForStatus(QMediaPlayer::MediaStatus status, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return player.mediaStatus() == status; }, timeoutMs);
    }
    bool waitForFrames(qsizetype count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return frames.size() >= count; }, timeoutMs);
    }
    void clear()
    {
        frames.clear();
        buffers.clear();
        bufferLeadMs.clear();
        positions.clear();
    }

    MediaPlayer player;
    QVideoSink sink;
    AudioBufferOutput tap;
    QElapsedTimer clock;
    bool decodeCodes = true;
    QList<Frame> frames;
    QList<QAudioBuffer> buffers;
    QList<qint64> bufferLeadMs;
    QList<QMediaPlayer::MediaStatus> statuses;
    QList<qint64> positions;
};

// Frames in order, each 1 or (after a stall of the event loop longer than a frame) 2 frames after the
// previous one; returns how many were skipped.
int skippedFrames(const QList<Rig::Frame> &frames, qsizetype from = 0, qsizetype to = -1)
{
    int skipped = 0;
    to = to < 0 ? frames.size() : to;
    for (qsizetype i = from + 1; i < to; ++i) {
        const int step = frames[i].code - frames[i - 1].code;
        if (step < 1 || step > 2 || frames[i].frame.startTime() - frames[i - 1].frame.startTime() != step * 40000)
            return 1000;
        skipped += step - 1;
    }
    return skipped;
}

const float *samplesOf(const QAudioBuffer &buffer)
{
    return buffer.constData<float>();
}
}

class TestMediaPlayer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void openReportsMetadata_data();
    void openReportsMetadata();
    void framesCarryFormatAndTraits_data();
    void framesCarryFormatAndTraits();
    void playDeliversFramesOnTime();
    void slowReceiverLeavesOtherTimersRunning();
    void pauseOnTheFirstPictureHoldsItsTime_data();
    void pauseOnTheFirstPictureHoldsItsTime();
    void seekIsFrameAccurate_data();
    void seekIsFrameAccurate();
    void positionOnLoadedMediaWhilePlaying();
    void pauseHoldsAndResumes();
    void rateChangesPace_data();
    void rateChangesPace();
    void loopsPlaySeamlessly();
    void infiniteLoopsKeepGoing();
    void endOfMediaStopsAndRestarts();
    void stopAndEmptySource();
    void monoWavBecomesStereo48k();
    void audioOnlyPositionTicks();
    void stereoFloatWavPassesUnchanged();
    void audioArrivesJustBeforeItsTime();
    void badMediaIsInvalid_data();
    void badMediaIsInvalid();
    void coverArtIsNoVideo();
    void tenBitPlanesArePackedIntoP010();
    void freshFrameMemoryIsProvidedWhenMapped();
    void restartPointIsServedByTheWaitingDecoder_data();
    void restartPointIsServedByTheWaitingDecoder();
    void destroyInAnyStateIsPrompt();
    void mutedOutputHasNoSink();
    void monitorStreamSurvivesResetsAndMuteBlips();
};

void TestMediaPlayer::initTestCase()
{
    QVERIFY2(QFile::exists(fixture("clip_360p25.mp4")), "run tests/make-fixtures.sh into $ZELVO_FIXTURES");
}

void TestMediaPlayer::openReportsMetadata_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<double>("fps");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("audio");
    QTest::addColumn<int>("videoCodec");
    QTest::addColumn<QString>("transfer");
    using V = QMediaFormat::VideoCodec;
    QTest::newRow("mp4") << "clip_360p25.mp4" << qint64(10000) << QSize(640, 360) << 25.0 << 0 << true
                         << int(V::H264) << QString();
    QTest::newRow("mkv") << "clip_360p25.mkv" << qint64(10021) << QSize(640, 360) << 25.0 << 0 << true
                         << int(V::H264) << QString();
    // FFmpeg 5.1 stores the fixture's "rotate=90" tag as a 90-degree counter-clockwise display matrix
    // (its own player turns the clip's left edge to the bottom): 270 degrees clockwise.
    QTest::newRow("rotated") << "rotated_90.mp4" << qint64(3200) << QSize(640, 360) << 25.0 << 270 << true
                             << int(V::H264) << QString();
    QTest::newRow("hevc pq") << "hevc_pq_10bit.mp4" << qint64(2000) << QSize(640, 360) << 25.0 << 0 << false
                             << int(V::H265) << QString("smpte2084");
    QTest::newRow("wav") << "tone_44k1_mono_s16.wav" << qint64(5000) << QSize() << 0.0 << 0 << true
                         << int(V::Unspecified) << QString();
}

void TestMediaPlayer::openReportsMetadata()
{
    QFETCH(QString, file);
    QFETCH(qint64, durationMs);
    QFETCH(QSize, size);
    QFETCH(double, fps);
    QFETCH(int, rotation);
    QFETCH(bool, audio);
    QFETCH(int, videoCodec);
    QFETCH(QString, transfer);
    Rig rig;
    QSignalSpy durations(&rig.player, &MediaPlayer::durationChanged);
    QVERIFY(rig.open(file));
    QCOMPARE(rig.statuses.first(), QMediaPlayer::LoadingMedia);
    QCOMPARE(rig.player.duration(), durationMs);
    QCOMPARE(durations.last().first().toLongLong(), durationMs);
    QVERIFY(rig.player.isSeekable());
    QCOMPARE(rig.player.hasVideo(), size.isValid());
    QCOMPARE(rig.player.hasAudio(), audio);
    QCOMPARE(rig.player.rotation(), rotation);
    QCOMPARE(rig.player.colorTransfer(), transfer);
    QCOMPARE(rig.player.frameRate(), fps);
    const QMediaMetaData meta = rig.player.metaData();
    QCOMPARE(meta.value(QMediaMetaData::Duration).toLongLong(), durationMs);
    if (size.isValid()) {
        QCOMPARE(meta.value(QMediaMetaData::Resolution).toSize(), size);
        QCOMPARE(meta.value(QMediaMetaData::VideoFrameRate).toDouble(), fps);
        QCOMPARE(meta.value(QMediaMetaData::Orientation).toInt(), rotation);
        QCOMPARE(int(meta.value(QMediaMetaData::VideoCodec).value<QMediaFormat::VideoCodec>()), videoCodec);
        QVERIFY(!rig.player.videoCodecName().isEmpty());
    } else {
        QCOMPARE(meta.value(QMediaMetaData::AudioCodec).value<QMediaFormat::AudioCodec>(),
                 QMediaFormat::AudioCodec::Wave);
        QCOMPARE(rig.player.audioCodecName(), QString("pcm_s16le"));
    }
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
    QVERIFY(rig.frames.isEmpty());  // nothing is decoded before play() or pause()
}

void TestMediaPlayer::framesCarryFormatAndTraits_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("pixelFormat");
    QTest::addColumn<int>("transfer");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<QSize>("size");
    QTest::newRow("h264") << "clip_360p25.mp4" << int(QVideoFrameFormat::Format_YUV420P)
                          << int(QVideoFrameFormat::ColorTransfer_Unknown) << 0 << QSize(640, 360);
    QTest::newRow("h264 2160p") << "clip_2160p25.mp4" << int(QVideoFrameFormat::Format_YUV420P)
                                << int(QVideoFrameFormat::ColorTransfer_Unknown) << 0 << QSize(3840, 2160);
    QTest::newRow("rotated") << "rotated_90.mp4" << int(QVideoFrameFormat::Format_YUV420P)
                             << int(QVideoFrameFormat::ColorTransfer_Unknown) << 270 << QSize(640, 360);
    QTest::newRow("hevc 10-bit pq") << "hevc_pq_10bit.mp4" << int(QVideoFrameFormat::Format_P010)
                                    << int(QVideoFrameFormat::ColorTransfer_ST2084) << 0 << QSize(640, 360);
}

void TestMediaPlayer::framesCarryFormatAndTraits()
{
    QFETCH(QString, file);
    QFETCH(int, pixelFormat);
    QFETCH(int, transfer);
    QFETCH(int, rotation);
    QFETCH(QSize, size);
    Rig rig;
    QVERIFY(rig.open(file));
    rig.player.pause();  // shows the first frame
    QVERIFY(rig.waitForFrames(1));
    QVERIFY(rig.waitForStatus(QMediaPlayer::BufferedMedia));
    const QVideoFrame frame = rig.frames.first().frame;
    QCOMPARE(int(frame.pixelFormat()), pixelFormat);
    QCOMPARE(frame.size(), size);
    if (pixelFormat == QVideoFrameFormat::Format_YUV420P)
        QCOMPARE(rig.frames.first().code, 0);
    QCOMPARE(int(frame.surfaceFormat().colorTransfer()), transfer);
    QCOMPARE(frame.surfaceFormat().frameRate(), 25.0);
    QCOMPARE(int(frame.rotationAngle()), rotation);
    QCOMPARE(frame.startTime(), qint64(0));
    QCOMPARE(frame.endTime(), qint64(40000));
    if (pixelFormat == QVideoFrameFormat::Format_P010) {
        QCOMPARE(frame.surfaceFormat().colorSpace(), QVideoFrameFormat::ColorSpace_BT2020);
        // testsrc2's picture is far from black: 10-bit samples sit in the top bits of each word.
        QVideoFrame mapped = frame;
        QVERIFY(mapped.map(QVideoFrame::ReadOnly));
        const quint16 *luma = reinterpret_cast<const quint16 *>(mapped.bits(0) + 100 * mapped.bytesPerLine(0));
        QVERIFY(luma[100] > 64 << 6);
        QCOMPARE(luma[100] & 0x3f, 0);
        mapped.unmap();
    }
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PausedState);
}

void TestMediaPlayer::playDeliversFramesOnTime()
{
    // With local monitoring on (a real device under the test environment's sound server).
    QAudioOutput output;
    Rig rig;
    rig.player.setAudioOutput(&output);
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.play();
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PlayingState);
    QVERIFY(rig.waitForStatus(QMediaPlayer::BufferedMedia));
    QVERIFY(rig.waitForFrames(1));
    QTest::qWait(1200);
    const auto frames = rig.frames;
    const qint64 wallSpan = frames.last().wallMs - frames.first().wallMs;
    // About 25 frames a second, every frame in order, none skipped.
    QVERIFY2(frames.size() >= 25 && frames.size() <= 34, qPrintable(QString::number(frames.size())));
    QVERIFY(skippedFrames(frames) <= 2);
    QCOMPARE(frames.first().code, 0);
    const qint64 mediaSpan = (frames.last().frame.startTime() - frames.first().frame.startTime()) / 1000;
    QVERIFY2(qAbs(wallSpan - mediaSpan) < 60, qPrintable(QString("%1 vs %2").arg(wallSpan).arg(mediaSpan)));
    // The position is announced with every frame, not flooded with every audio buffer.
    QVERIFY(rig.positions.size() >= frames.size() - 1 && rig.positions.size() <= frames.size() + 5);
    QVERIFY(std::is_sorted(rig.positions.begin(), rig.positions.end()));
    QVERIFY(qAbs(rig.player.position() - frames.last().frame.startTime() / 1000) < 100);
}

void TestMediaPlayer::slowReceiverLeavesOtherTimersRunning()
{
    // A receiver that takes 60 ms over every 40 ms picture: the next picture is always due when it
    // returns. The thread's other timers (a deck's 10 ms sound pump, say) must still run.
    Rig rig;
    rig.decodeCodes = false;
    QObject::connect(&rig.sink, &QVideoSink::videoFrameChanged, &rig.sink, [] { QThread::msleep(60); });
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.play();
    QVERIFY(rig.waitForFrames(1));
    int ticks = 0;
    QTimer other;
    other.setTimerType(Qt::PreciseTimer);
    QObject::connect(&other, &QTimer::timeout, &other, [&ticks] { ++ticks; });
    other.start(10);
    const qsizetype framesBefore = rig.frames.size();
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const qsizetype frames = rig.frames.size() - framesBefore;
    // At most one picture per pass of the event loop, so the timer fires about as often as
    // pictures arrive; the player skips to the newest due picture and keeps its place in time.
    QVERIFY2(frames >= 12, qPrintable(QString::number(frames)));
    QVERIFY2(ticks >= frames - 2, qPrintable(QStringLiteral("%1 ticks, %2 pictures").arg(ticks).arg(frames)));
    QVERIFY2(qAbs(rig.player.position() - 1500 - rig.frames[framesBefore].frame.startTime() / 1000) < 200,
             qPrintable(QString::number(rig.player.position())));
}

void TestMediaPlayer::pauseOnTheFirstPictureHoldsItsTime_data()
{
    QTest::addColumn<qint64>("startMs");
    QTest::newRow("from the start") << qint64(0);
    QTest::newRow("from a seek") << qint64(2000);
}

void TestMediaPlayer::pauseOnTheFirstPictureHoldsItsTime()
{
    // As a deck does with a cue it prepares: play until the first picture, then pause there. The
    // receiver takes 30 ms first (a busy machine); the position must still name that picture.
    QFETCH(qint64, startMs);
    Rig rig;
    QVERIFY(rig.open("clip_360p25.mp4"));
    bool paused = false;
    QObject::connect(&rig.sink, &QVideoSink::videoFrameChanged, &rig.sink, [&](const QVideoFrame &frame) {
        if (paused || !frame.isValid())
            return;
        paused = true;
        QThread::msleep(30);
        rig.player.pause();
    });
    rig.player.setPosition(startMs);
    rig.player.play();
    QVERIFY(rig.waitForFrames(1));
    QTest::qWait(100);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PausedState);
    QCOMPARE(rig.frames.size(), 1);
    QCOMPARE(rig.frames.first().code, int(startMs / 40));
    QCOMPARE(rig.player.position(), startMs);
}

void TestMediaPlayer::seekIsFrameAccurate_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("playing");
    QTest::addColumn<qint64>("targetMs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<qint64>("firstFrameUs");  // start time of frame 0
    const QString mp4 = "clip_360p25.mp4";
    QTest::newRow("paused at 0") << mp4 << false << qint64(0) << 0 << qint64(0);
    QTest::newRow("paused at key frame") << mp4 << false << qint64(5000) << 125 << qint64(0);
    QTest::newRow("paused between key frames") << mp4 << false << qint64(6480) << 162 << qint64(0);
    QTest::newRow("paused inside a frame") << mp4 << false << qint64(6518) << 162 << qint64(0);
    // Millisecond targets of fractional frame rates fall up to 1 ms short of the frame they mean.
    QTest::newRow("paused 1 ms before a frame") << mp4 << false << qint64(6519) << 163 << qint64(0);
    QTest::newRow("paused backwards") << mp4 << false << qint64(1480) << 37 << qint64(0);
    QTest::newRow("playing at 0") << mp4 << true << qint64(0) << 0 << qint64(0);
    QTest::newRow("playing at key frame") << mp4 << true << qint64(3000) << 75 << qint64(0);
    QTest::newRow("playing between key frames") << mp4 << true << qint64(7720) << 193 << qint64(0);
    // The Matroska clip's pictures start 21 ms into the file (its audio starts at 0).
    const QString mkv = "clip_360p25.mkv";
    QTest::newRow("mkv paused between key frames") << mkv << false << qint64(6480) << 161 << qint64(21000);
    QTest::newRow("mkv playing at a frame") << mkv << true << qint64(8461) << 211 << qint64(21000);
    // Containers without an index and GOP structures where the key frame before a target is not
    // enough: the player seeks further back until the first decoded frame covers the target.
    // Timestamps in MPEG-TS/PS count from the container's start time, which lies before the video's.
    const QString mpeg2Ts = "mpeg2_360p25.ts";  // I-frame every 12, open GOPs
    QTest::newRow("mpeg2 ts on an I-frame") << mpeg2Ts << false << qint64(1931) << 48 << qint64(10022);
    QTest::newRow("mpeg2 ts before an I-frame") << mpeg2Ts << false << qint64(1891) << 47 << qint64(10022);
    QTest::newRow("mpeg2 ts between I-frames") << mpeg2Ts << true << qint64(2131) << 53 << qint64(10022);
    const QString h264Ts = "h264_360p25.ts";  // key frame every 50
    QTest::newRow("h264 ts in its last GOP") << h264Ts << false << qint64(7622) << 190 << qint64(21333);
    QTest::newRow("h264 ts between key frames") << h264Ts << true << qint64(2822) << 70 << qint64(21333);
    const QString wrapTs = "h264_wrap_360p25.ts";  // starts at 95442 s; timestamps wrap 1.7 s in
    QTest::newRow("ts after a timestamp wrap") << wrapTs << false << qint64(2422) << 60 << qint64(21333);
    QTest::newRow("ts last GOP after a wrap") << wrapTs << true << qint64(7622) << 190 << qint64(21333);
    QTest::newRow("mpeg-ps before an I-frame") << "mpeg2_360p25.mpg" << false << qint64(1771) << 44 << qint64(10022);
    QTest::newRow("mpeg-ps between I-frames") << "mpeg2_360p25.mpg" << false << qint64(2011) << 50 << qint64(10022);
    QTest::newRow("open-GOP hevc before a key frame") << "hevc_opengop_360p25.mp4" << false << qint64(1960) << 49 << qint64(0);
    QTest::newRow("open-GOP hevc last frame of a GOP") << "hevc_opengop_360p25.mp4" << true << qint64(3960) << 99 << qint64(0);
    QTest::newRow("open-GOP h264 before a key frame") << "h264_opengop_360p25.mp4" << false << qint64(1960) << 49 << qint64(0);
    QTest::newRow("open-GOP h264 in the last GOP") << "h264_opengop_360p25.mp4" << false << qint64(7800) << 195 << qint64(0);
    QTest::newRow("intra refresh after a recovery point") << "h264_intrarefresh_360p25.mp4" << false << qint64(2200) << 55 << qint64(0);
    QTest::newRow("intra refresh later") << "h264_intrarefresh_360p25.mp4" << true << qint64(4400) << 110 << qint64(0);
}

void TestMediaPlayer::seekIsFrameAccurate()
{
    QFETCH(QString, file);
    QFETCH(bool, playing);
    QFETCH(qint64, targetMs);
    QFETCH(int, expected);
    QFETCH(qint64, firstFrameUs);
    Rig rig;
    QVERIFY(rig.open(file));
    if (playing)
        rig.player.play();
    else
        rig.player.pause();
    QVERIFY(rig.waitForFrames(1));
    rig.player.setPosition(2000);  // somewhere else first, so the target is a real jump
    QVERIFY(rig.waitForFrames(2));
    rig.clear();
    rig.player.setPosition(targetMs);
    QCOMPARE(rig.player.position(), targetMs);
    QVERIFY(rig.waitForFrames(1));
    QCOMPARE(rig.frames.first().code, expected);
    QCOMPARE(rig.frames.first().frame.startTime(), firstFrameUs + qint64(expected) * 40000);
    if (!playing) {
        QTest::qWait(200);
        QCOMPARE(rig.frames.size(), 1);  // paused on that frame
        QCOMPARE(rig.player.position(), targetMs);
        QCOMPARE(rig.player.playbackState(), QMediaPlayer::PausedState);
    } else {
        QVERIFY(rig.waitForFrames(3));
        QVERIFY(skippedFrames(rig.frames) <= 1);
    }
}

void TestMediaPlayer::positionOnLoadedMediaWhilePlaying()
{
    // How a deck prepares a cue: play at once, position at In on LoadedMedia, pause on the first frame.
    Rig rig;
    bool positioned = false;
    QObject::connect(&rig.player, &MediaPlayer::mediaStatusChanged, &rig.player, [&](QMediaPlayer::MediaStatus s) {
        if (s == QMediaPlayer::LoadedMedia && !positioned) {
            positioned = true;
            rig.player.setPosition(4480);
        }
    });
    QObject::connect(&rig.sink, &QVideoSink::videoFrameChanged, &rig.player, [&](const QVideoFrame &frame) {
        if (frame.isValid() && frame.startTime() / 1000 + 2 >= 4480)
            rig.player.pause();
    });
    rig.player.setSource(QUrl::fromLocalFile(fixture("clip_360p25.mp4")));
    rig.player.play();
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PlayingState);
    QVERIFY(rig.waitForFrames(1));
    QVERIFY(positioned);
    QCOMPARE(rig.frames.first().code, 112);
    QTest::qWait(200);
    QCOMPARE(rig.frames.size(), 1);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PausedState);
    QCOMPARE(rig.player.mediaStatus(), QMediaPlayer::BufferedMedia);
    // Paused on frame 112 (4480 ms at 25 fps): the clock stops within that frame, however late the
    // pause came after the frame was shown.
    const qint64 paused = rig.player.position();
    QVERIFY2(paused >= 4480 && paused < 4520, qPrintable(QString::number(paused)));
}

void TestMediaPlayer::pauseHoldsAndResumes()
{
    Rig rig;
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.play();
    QVERIFY(rig.waitForFrames(10));
    rig.player.pause();
    const qint64 position = rig.player.position();
    const qsizetype count = rig.frames.size();
    const int lastCode = rig.frames.last().code;
    const qsizetype bufferCount = rig.buffers.size();
    QTest::qWait(400);
    QCOMPARE(rig.frames.size(), count);
    QCOMPARE(rig.buffers.size(), bufferCount);
    QCOMPARE(rig.player.position(), position);
    QCOMPARE(frameCode(rig.sink.videoFrame()), lastCode);  // the last frame stays up
    rig.player.play();
    QVERIFY(rig.waitForFrames(count + 3));
    QVERIFY(skippedFrames(rig.frames, count - 1, count + 1) <= 1);
    QVERIFY(rig.frames[count].wallMs - rig.frames[count - 1].wallMs >= 400);
    // The sound goes on where it stopped.
    const QAudioBuffer &resumed = rig.buffers.at(bufferCount);
    const QAudioBuffer &paused = rig.buffers.at(bufferCount - 1);
    QVERIFY(qAbs(resumed.startTime() - (paused.startTime() + paused.duration())) <= 1);
}

void TestMediaPlayer::rateChangesPace_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("0.5") << 0.5;
}

void TestMediaPlayer::rateChangesPace()
{
    QFETCH(double, rate);
    Rig rig;
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.setPlaybackRate(rate);
    rig.player.play();
    QVERIFY(rig.waitForFrames(1));
    QTest::qWait(1200);
    const auto &frames = rig.frames;
    const double wall = frames.last().wallMs - frames.first().wallMs;
    const double media = (frames.last().frame.startTime() - frames.first().frame.startTime()) / 1000.0;
    QVERIFY2(qAbs(media / wall - rate) < 0.1 * rate, qPrintable(QString("%1 ms media in %2 ms").arg(media).arg(wall)));
    QVERIFY(skippedFrames(frames) <= 2);
    // Sound is resampled to the rate: each buffer plays 1/rate of the media time it covers.
    qint64 played = 0;
    for (const QAudioBuffer &buffer : rig.buffers)
        played += buffer.frameCount();
    const double covered = rig.buffers.last().startTime() - rig.buffers.first().startTime()
                           + rig.buffers.last().duration() * rate;
    QVERIFY2(qAbs(played / 48.0 - covered / 1000.0 / rate) < 30, qPrintable(QString::number(played)));

    rig.player.setPlaybackRate(3.0);
    QCOMPARE(rig.player.playbackRate(), 1.5);
    rig.player.setPlaybackRate(0.1);
    QCOMPARE(rig.player.playbackRate(), 0.5);
}

void TestMediaPlayer::loopsPlaySeamlessly()
{
    Rig rig;
    QSignalSpy ends(&rig.player, &MediaPlayer::mediaStatusChanged);
    QVERIFY(rig.open("short_a.mp4"));
    rig.player.setLoops(2);
    rig.player.setPosition(1400);
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::EndOfMedia, 6000));
    const auto &frames = rig.frames;
    // 35..49, then 0..49 again: one continuous run with the frame times restarting at the loop.
    const qsizetype restart = std::find_if(frames.begin() + 1, frames.end(), [](const Rig::Frame &f) {
        return f.frame.startTime() == 0;
    }) - frames.begin();
    QVERIFY(restart < frames.size());
    QCOMPARE(frames.first().code, 35);
    QCOMPARE(frames[restart - 1].code, 49);
    QCOMPARE(frames[restart].code, 0);
    QCOMPARE(frames.last().code, 49);
    QVERIFY(skippedFrames(frames, 0, restart) + skippedFrames(frames, restart) <= 2);
    const qint64 loopGap = frames[restart].wallMs - frames[restart - 1].wallMs;
    QVERIFY2(loopGap >= 20 && loopGap <= 100, qPrintable(QString::number(loopGap)));
    QCOMPARE(rig.statuses.count(QMediaPlayer::EndOfMedia), 1);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
}

void TestMediaPlayer::infiniteLoopsKeepGoing()
{
    Rig rig;
    QVERIFY(rig.open("short_b.mp4"));
    rig.player.setUnpacedForTesting(true);
    rig.player.setLoops(QMediaPlayer::Infinite);
    rig.player.play();
    QVERIFY(rig.waitForFrames(160, 10000));
    QCOMPARE(rig.frames[49].code, 49);
    QCOMPARE(rig.frames[50].code, 0);
    QCOMPARE(rig.frames[150].code, 0);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::PlayingState);
    QVERIFY(!rig.statuses.contains(QMediaPlayer::EndOfMedia));
    rig.player.setLoops(1);  // this pass is the last one now
    QVERIFY(rig.waitForStatus(QMediaPlayer::EndOfMedia, 5000));
}

void TestMediaPlayer::endOfMediaStopsAndRestarts()
{
    Rig rig;
    QSignalSpy states(&rig.player, &MediaPlayer::playbackStateChanged);
    QVERIFY(rig.open("short_c.mp4"));
    rig.player.setPosition(1600);
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::EndOfMedia, 3000));
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(states.last().first().value<QMediaPlayer::PlaybackState>(), QMediaPlayer::StoppedState);
    QCOMPARE(rig.player.position(), rig.player.duration());
    QCOMPARE(rig.positions.last(), rig.player.duration());
    QCOMPARE(rig.frames.first().code, 40);
    QCOMPARE(rig.frames.last().code, 49);
    QVERIFY(skippedFrames(rig.frames) <= 2);
    rig.clear();
    rig.player.play();  // from the start again
    QVERIFY(rig.waitForFrames(1));
    QCOMPARE(rig.frames.first().code, 0);
    QVERIFY(rig.waitForStatus(QMediaPlayer::BufferedMedia));
}

void TestMediaPlayer::stopAndEmptySource()
{
    Rig rig;
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.setPosition(3000);
    rig.player.play();
    QVERIFY(rig.waitForFrames(3));
    rig.player.stop();
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(rig.player.mediaStatus(), QMediaPlayer::LoadedMedia);
    QCOMPARE(rig.player.position(), qint64(0));
    QVERIFY(!rig.sink.videoFrame().isValid());
    rig.clear();
    rig.player.play();
    QVERIFY(rig.waitForFrames(1));
    QCOMPARE(rig.frames.first().code, 0);

    QSignalSpy sources(&rig.player, &MediaPlayer::sourceChanged);
    rig.player.setSource(QUrl());
    QCOMPARE(sources.size(), 1);
    QCOMPARE(rig.player.mediaStatus(), QMediaPlayer::NoMedia);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(rig.player.duration(), qint64(0));
    QVERIFY(!rig.player.hasVideo());
    QVERIFY(!rig.player.hasAudio());
    QVERIFY(!rig.sink.videoFrame().isValid());
    const qsizetype count = rig.frames.size();
    rig.player.play();  // nothing to play
    QTest::qWait(100);
    QCOMPARE(rig.frames.size(), count);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
}

void TestMediaPlayer::monoWavBecomesStereo48k()
{
    Rig rig;
    QVERIFY(rig.open("tone_44k1_mono_s16.wav"));
    rig.player.setUnpacedForTesting(true);
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::EndOfMedia));
    QVERIFY(rig.frames.isEmpty());
    const auto &buffers = rig.buffers;
    QVERIFY(!buffers.isEmpty());
    qint64 frames = 0;
    QCOMPARE(buffers.first().startTime(), qint64(0));
    for (qsizetype i = 0; i < buffers.size(); ++i) {
        const QAudioFormat format = buffers[i].format();
        QCOMPARE(format.sampleRate(), 48000);
        QCOMPARE(format.channelCount(), 2);
        QCOMPARE(format.sampleFormat(), QAudioFormat::Float);
        // Each buffer begins exactly where the samples before it end.
        QVERIFY(qAbs(buffers[i].startTime() - frames * 1000000 / 48000) <= 1);
        frames += buffers[i].frameCount();
    }
    QVERIFY2(qAbs(frames - 5 * 48000) <= 48, qPrintable(QString::number(frames)));

    // The tone is still 1 kHz, at the same level on both sides: count rising zero crossings over 2 s.
    int crossings = 0;
    float previous = 0;
    float peak = 0;
    qint64 counted = 0;
    for (const QAudioBuffer &buffer : buffers) {
        if (buffer.startTime() < 1000000 || buffer.startTime() >= 3000000)
            continue;
        const float *s = samplesOf(buffer);
        for (int i = 0; i < buffer.frameCount(); ++i, ++counted) {
            QCOMPARE(s[2 * i], s[2 * i + 1]);
            if (previous < 0 && s[2 * i] >= 0)
                ++crossings;
            previous = s[2 * i];
            peak = std::max(peak, std::abs(s[2 * i]));
        }
    }
    const double hz = crossings / (counted / 48000.0);
    QVERIFY2(qAbs(hz - 1000) < 5, qPrintable(QString::number(hz)));
    QVERIFY2(peak > 0.1 && peak < 0.15, qPrintable(QString::number(peak)));  // lavfi sine: 1/8 full scale
}

void TestMediaPlayer::audioOnlyPositionTicks()
{
    Rig rig;
    QVERIFY(rig.open("tone_44k1_mono_s16.wav"));
    rig.player.setPosition(1000);
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::BufferedMedia));
    rig.positions.clear();
    QTest::qWait(500);
    // About every 40 ms, rising with the clock.
    QVERIFY2(rig.positions.size() >= 9 && rig.positions.size() <= 16, qPrintable(QString::number(rig.positions.size())));
    QVERIFY(std::is_sorted(rig.positions.begin(), rig.positions.end()));
    QVERIFY(rig.positions.first() >= 1000 && rig.positions.last() <= 1600);
    QVERIFY(rig.buffers.first().startTime() == 1000000);
}

void TestMediaPlayer::stereoFloatWavPassesUnchanged()
{
    // 48 kHz stereo float needs no conversion: the tap carries the file's samples bit for bit.
    QFile file(fixture("tone_48k_stereo_f32.wav"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data");
    QVERIFY(data > 0);
    const QByteArray expected = bytes.mid(data + 8);

    Rig rig;
    QVERIFY(rig.open("tone_48k_stereo_f32.wav"));
    rig.player.setUnpacedForTesting(true);
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::EndOfMedia));
    QByteArray received;
    for (const QAudioBuffer &buffer : rig.buffers)
        received.append(buffer.constData<char>(), buffer.byteCount());
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
}

void TestMediaPlayer::audioArrivesJustBeforeItsTime()
{
    Rig rig;
    rig.decodeCodes = false;
    QVERIFY(rig.open("clip_360p25.mp4"));
    rig.player.play();
    QVERIFY(rig.waitForFrames(1));
    QTest::qWait(800);
    QVERIFY(rig.buffers.size() > 30);
    // Never more than 20 ms early (plus a millisecond of rounding); late only when the event loop was.
    int late = 0;
    for (qint64 lead : std::as_const(rig.bufferLeadMs)) {
        QVERIFY2(lead <= 21, qPrintable(QString::number(lead)));
        late += lead < -20 ? 1 : 0;
    }
    QVERIFY(late <= rig.bufferLeadMs.size() / 5);
    for (qsizetype i = 1; i < rig.buffers.size(); ++i) {
        const qint64 end = rig.buffers[i - 1].startTime() + rig.buffers[i - 1].duration();
        QVERIFY(qAbs(rig.buffers[i].startTime() - end) <= 1);
    }
    QCOMPARE(rig.buffers.first().startTime(), qint64(0));
}

void TestMediaPlayer::badMediaIsInvalid_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << fixture("no_such_file.mp4") << "Could not open media: ";
    QTest::newRow("truncated") << fixture("truncated.mp4") << "Could not open media: ";
    QTest::newRow("random bytes") << fixture("corrupt.mp4") << "Could not open media: ";
    QTest::newRow("text") << fixture("not_media.mp4") << "Could not open media: ";
    QTest::newRow("empty") << QString("@empty.mp4") << "Could not open media: ";
    QTest::newRow("subtitles only") << QString("@subtitles.srt") << "No audio or video stream";
    // Sound that could play beside a picture that cannot: refused, not played as audio-only.
    QTest::newRow("undecodable video") << fixture("unknown_video.avi") << "Unsupported codec: ZLVO";
}

void TestMediaPlayer::badMediaIsInvalid()
{
    QFETCH(QString, path);
    QFETCH(QString, message);
    QTemporaryDir dir;
    if (path.startsWith('@')) {
        path = dir.filePath(path.mid(1));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (path.endsWith(".srt"))
            file.write("1\n00:00:01,000 --> 00:00:02,000\nHello\n\n2\n00:00:03,000 --> 00:00:04,000\nAgain\n\n");
    }
    Rig rig;
    QSignalSpy errors(&rig.player, &MediaPlayer::errorOccurred);
    rig.player.setSource(QUrl::fromLocalFile(path));
    rig.player.play();
    QVERIFY(rig.waitForStatus(QMediaPlayer::InvalidMedia, 5000));
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors.first().at(0).value<QMediaPlayer::Error>() != QMediaPlayer::NoError);
    const QString text = errors.first().at(1).toString();
    QVERIFY2(text.startsWith(message) && text.size() > message.size() - 2, qPrintable(text));
    QCOMPARE(rig.player.errorString(), text);
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
    QVERIFY(!rig.player.hasVideo());
    rig.player.play();
    QCOMPARE(rig.player.playbackState(), QMediaPlayer::StoppedState);
}

void TestMediaPlayer::restartPointIsServedByTheWaitingDecoder_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("restartMs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<qint64>("firstFrameUs");
    QTest::newRow("mp4, 24 frames after a key frame") << "clip_360p25.mp4" << qint64(960) << 24 << qint64(0);
    QTest::newRow("open GOP before a key frame") << "hevc_opengop_360p25.mp4" << qint64(1960) << 49 << qint64(0);
    QTest::newRow("transport stream") << "h264_360p25.ts" << qint64(2822) << 70 << qint64(21333);
}

void TestMediaPlayer::restartPointIsServedByTheWaitingDecoder()
{
    QFETCH(QString, file);
    QFETCH(qint64, restartMs);
    QFETCH(int, expected);
    QFETCH(qint64, firstFrameUs);
    Rig rig;
    QVERIFY(rig.open(file));
    rig.player.setRestartPoint(restartMs);
    rig.player.play();
    for (int round = 1; round <= 3; ++round) {
        QVERIFY(rig.waitForFrames(5));
        rig.clear();
        rig.player.setPosition(restartMs);
        QVERIFY(rig.waitForFrames(3));
        QCOMPARE(rig.frames.first().code, expected);
        QCOMPARE(rig.frames.first().frame.startTime(), firstFrameUs + qint64(expected) * 40000);
        QVERIFY(skippedFrames(rig.frames) <= 1);
        QCOMPARE(rig.player.prerolledRestarts(), quint64(round));
    }
    // Elsewhere is an ordinary seek; dropping the point drops the waiting decoder.
    rig.player.setPosition(restartMs + 400);
    QVERIFY(rig.waitForFrames(1));
    QCOMPARE(rig.player.prerolledRestarts(), quint64(3));
    rig.player.setRestartPoint(-1);
    rig.clear();
    rig.player.setPosition(restartMs);
    QVERIFY(rig.waitForFrames(1));
    QCOMPARE(rig.frames.first().code, expected);
    QCOMPARE(rig.player.prerolledRestarts(), quint64(3));
}

void TestMediaPlayer::freshFrameMemoryIsProvidedWhenMapped()
{
    // An 8K picture (50 MB) is above the largest size glibc serves from its heaps, so its memory is
    // always freshly mapped, whatever this process allocated and freed before.
    QVideoFrame frame(QVideoFrameFormat(QSize(7680, 4320), QVideoFrameFormat::Format_NV12));
    QVERIFY(VideoFrameWrapper::mapForWriting(frame));
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    for (int plane = 0; plane < frame.planeCount(); ++plane) {
        // Whole pages inside the plane: their residency says whether the mapping provided them.
        const quintptr begin = (quintptr(frame.bits(plane)) + page - 1) & ~(page - 1);
        const quintptr end = (quintptr(frame.bits(plane)) + quintptr(frame.mappedBytes(plane))) & ~(page - 1);
        QVERIFY(end > begin);
        std::vector<unsigned char> resident((end - begin) / page);
        QCOMPARE(mincore(reinterpret_cast<void *>(begin), end - begin, resident.data()), 0);
        const auto present = std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; });
        QCOMPARE(qsizetype(present), qsizetype(resident.size()));
    }
    frame.unmap();
}

void TestMediaPlayer::tenBitPlanesArePackedIntoP010()
{
    // An odd-sized 10-bit 4:2:0 picture with a distinct value in every sample.
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P10LE;
    frame->width = 7;
    frame->height = 5;
    QVERIFY(av_frame_get_buffer(frame, 0) >= 0);
    const auto sample = [frame](int plane, int x, int y) -> quint16 & {
        return reinterpret_cast<quint16 *>(frame->data[plane] + y * frame->linesize[plane])[x];
    };
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            sample(0, x, y) = quint16(64 + 10 * y + x);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            sample(1, x, y) = quint16(300 + 10 * y + x);
            sample(2, x, y) = quint16(700 + 10 * y + x);
        }
    VideoFrameWrapper wrapper;
    QVideoFrame wrapped = wrapper.wrap(frame, 0, 40000);
    av_frame_free(&frame);
    QCOMPARE(wrapped.pixelFormat(), QVideoFrameFormat::Format_P010);
    QVERIFY(wrapped.map(QVideoFrame::ReadOnly));
    const auto at = [&wrapped](int plane, int index, int y) {
        return reinterpret_cast<const quint16 *>(wrapped.bits(plane) + y * wrapped.bytesPerLine(plane))[index];
    };
    QCOMPARE(at(0, 6, 4), quint16((64 + 40 + 6) << 6));
    QCOMPARE(at(0, 0, 0), quint16(64 << 6));
    QCOMPARE(at(1, 2 * 3, 2), quint16((300 + 20 + 3) << 6));      // U of the last chroma sample
    QCOMPARE(at(1, 2 * 3 + 1, 2), quint16((700 + 20 + 3) << 6));  // its V beside it
    wrapped.unmap();
}

void TestMediaPlayer::coverArtIsNoVideo()
{
    Rig rig;
    QVERIFY(rig.open("tone_cover_art.m4a"));
    QVERIFY(!rig.player.hasVideo());
    QVERIFY(rig.player.hasAudio());
    rig.player.play();
    QTRY_VERIFY_WITH_TIMEOUT(rig.buffers.size() >= 5, 5000);
    QCOMPARE(rig.player.error(), QMediaPlayer::NoError);
    QVERIFY(rig.frames.isEmpty());
}

void TestMediaPlayer::destroyInAnyStateIsPrompt()
{
    QElapsedTimer timer;
    const QUrl url = QUrl::fromLocalFile(fixture("clip_1080p25.mp4"));
    for (int round = 0; round < 3; ++round) {
        // Opening, decoding as fast as it can, and seeking.
        for (int stage = 0; stage < 3; ++stage) {
            auto player = std::make_unique<MediaPlayer>();
            QVideoSink sink;
            AudioBufferOutput tap;
            player->setVideoSink(&sink);
            player->setAudioBufferOutput(&tap);
            player->setSource(url);
            if (stage > 0) {
                player->setUnpacedForTesting(true);
                player->play();
                QVERIFY(QTest::qWaitFor([&] { return sink.videoFrame().isValid(); }, 5000));
            }
            if (stage == 2)
                player->setPosition(7777);
            timer.start();
            player.reset();
            QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        }
    }
}

void TestMediaPlayer::mutedOutputHasNoSink()
{
    QAudioOutput output;
    AudioMonitor monitor;
    monitor.setOutput(&output);
    const QByteArray silence(4800 * 8, '\0');
    output.setMuted(true);
    QTest::qWait(0);
    monitor.write(silence);
    QVERIFY(!monitor.hasSink());
    output.setMuted(false);
    QTest::qWait(0);
    QVERIFY(!monitor.hasSink());  // nothing played yet
    monitor.write(silence);
    QCOMPARE(monitor.hasSink(), !QMediaDevices::audioOutputs().isEmpty());
    output.setMuted(true);
    QTRY_VERIFY(!monitor.hasSink());
    QTRY_VERIFY(!monitor.isOpen());
    monitor.write(silence);
    QVERIFY(!monitor.hasSink());
}

void TestMediaPlayer::monitorStreamSurvivesResetsAndMuteBlips()
{
    if (QMediaDevices::audioOutputs().isEmpty())
        QSKIP("needs a sound server with an output device (scripts/test-env.sh)");
    QAudioOutput output;
    AudioMonitor monitor;
    monitor.setOutput(&output);
    const QByteArray tone(960 * 8, '\x10');
    monitor.write(tone);
    QTRY_VERIFY(monitor.isOpen());
    for (int i = 0; i < 200; ++i) {
        monitor.write(tone);
        monitor.reset();
        // A mute lifted again before the event loop runs (a deck restarting a loop) is no change.
        output.setMuted(true);
        output.setMuted(false);
        QCoreApplication::processEvents();
    }
    QVERIFY(monitor.isOpen());
    QCOMPARE(monitor.streamOpens(), quint64(1));
    // The system's default output plays through ALSA's default device.
    QCOMPARE(AudioMonitor::alsaDeviceFor(QMediaDevices::defaultAudioOutput()), QByteArray("default"));
}

QTEST_MAIN(TestMediaPlayer)
#include "tst_mediaplayer.moc"
