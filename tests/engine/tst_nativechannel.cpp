#include "engine/NativeChannel.h"
#include "platform/media/AudioBufferOutput.h"
#include "platform/media/MediaPlayer.h"
#include "support/FrameCode.h"

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <cstring>
#include <limits>

// The deck on the generated clips: 640x360 at 25 fps with a key frame every 25 frames and the frame
// index coded along the bottom edge, so a picture tells exactly which frame it is.
class TestNativeChannel : public QObject
{
    Q_OBJECT

private:
    static QString fixture(const QString &name)
    {
        return qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name;
    }

    static Cue cueFor(const QString &name, qint64 in = 0, qint64 out = -1)
    {
        Cue cue = Cue::forPath(fixture(name));
        cue.in_ms = in;
        cue.out_ms = out;
        return cue;
    }

    // Prepares a cue and waits until the deck holds it paused on its first frame.
    static bool prepareAndWait(NativeChannel &deck, const Cue &cue, int timeoutMs = 10000)
    {
        QSignalSpy ready(&deck, &NativeChannel::preparedReady);
        deck.prepare(cue);
        return ready.wait(timeoutMs) || ready.count() > 0;
    }

    // Puts a cue on air and waits for its first published picture.
    static bool loadAndWait(NativeChannel &deck, const Cue &cue)
    {
        QSignalSpy started(&deck, &NativeChannel::started);
        deck.load(cue, true);
        return started.wait(10000) || started.count() > 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(fixture("clip_360p25.mp4")), "run tests/make-fixtures.sh and set ZELVO_FIXTURES");
    }

    void preparesTheExactFrameAtIn_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<qint64>("in");
        QTest::addColumn<int>("expectedFrame");
        QTest::newRow("mp4 start") << "clip_360p25.mp4" << 0LL << 0;
        QTest::newRow("mp4 key frame") << "clip_360p25.mp4" << 2000LL << 50;
        QTest::newRow("mp4 between key frames") << "clip_360p25.mp4" << 1480LL << 37;
        QTest::newRow("mkv between key frames") << "clip_360p25.mkv" << 3320LL << 83;
        // The 2 ms tolerance at In: a frame starting 1 ms before In counts, one 3 ms before does not.
        QTest::newRow("frame 1 ms before In") << "clip_360p25.mp4" << 4001LL << 100;
        QTest::newRow("frame 3 ms before In") << "clip_360p25.mp4" << 4003LL << 101;
        // Containers without an index and GOPs where the key frame before In is not enough.
        QTest::newRow("mpeg2 ts on an I-frame") << "mpeg2_360p25.ts" << 1930LL << 48;
        QTest::newRow("mpeg2 ts between I-frames") << "mpeg2_360p25.ts" << 2130LL << 53;
        QTest::newRow("h264 ts in its last GOP") << "h264_360p25.ts" << 7621LL << 190;
        QTest::newRow("ts after a timestamp wrap") << "h264_wrap_360p25.ts" << 2421LL << 60;
        QTest::newRow("mpeg-ps before an I-frame") << "mpeg2_360p25.mpg" << 1770LL << 44;
        QTest::newRow("open-GOP hevc before a key frame") << "hevc_opengop_360p25.mp4" << 1960LL << 49;
        QTest::newRow("open-GOP h264 before a key frame") << "h264_opengop_360p25.mp4" << 1960LL << 49;
        QTest::newRow("intra refresh") << "h264_intrarefresh_360p25.mp4" << 2200LL << 55;
    }

    void preparesTheExactFrameAtIn()
    {
        QFETCH(QString, file);
        QFETCH(qint64, in);
        QFETCH(int, expectedFrame);
        NativeChannel deck(false);
        QVERIFY(prepareAndWait(deck, cueFor(file, in)));
        QCOMPARE(deck.preparationState(), QStringLiteral("ready"));
        QVERIFY(deck.isPrepared());
        const QVideoFrame first = deck.slot(deck.preparedSlot()).lastFrame;
        QCOMPARE(frameCodeOf(first), expectedFrame);
        QVERIFY(first.startTime() / 1000 + 2 >= in);
        // Nothing is on air until the take.
        QVERIFY(deck.source().isEmpty());
        QSignalSpy frames(&deck, &NativeChannel::frameReady);
        deck.take();
        QCOMPARE(deck.source(), fixture(file));
        QVERIFY(frames.count() >= 1);
        QCOMPARE(frameCodeOf(frames.first().first().value<QVideoFrame>()), expectedFrame);
    }

    void refusals_data()
    {
        QTest::addColumn<Cue>("cue");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << Cue() << "Empty media path";
        QTest::newRow("in after out") << cueFor("clip_360p25.mp4", 3000, 2000) << "In must be before Out";
        QTest::newRow("negative in") << cueFor("clip_360p25.mp4", -1) << "In must be before Out";
        Cue longFade = cueFor("clip_360p25.mp4");
        longFade.enter_ms = 10001;
        QTest::newRow("fade") << longFade << "Transition duration must be between 0 and 10 seconds";
        QTest::newRow("missing") << cueFor("no_such_file.mp4")
                                 << QStringLiteral("File not found: ") + fixture("no_such_file.mp4");
        QTest::newRow("beyond the end") << cueFor("clip_360p25.mp4", 0, 12000) << "Trim exceeds media duration";
        QTest::newRow("in at the end") << cueFor("clip_360p25.mp4", 10000) << "Trim exceeds media duration";
        // Refused as soon as the player knows, well before the preparation timeout.
        QTest::newRow("picture ends before in") << cueFor("video_ends_early.mp4", 3000) << "Media ends before In";
        QTest::newRow("data cut before in") << cueFor("faststart_cut.mp4", 8000) << "Media could not be decoded up to In";
        QTest::newRow("undecodable video") << cueFor("unknown_video.avi") << "Unsupported codec: ZLVO";
    }

    void refusals()
    {
        QFETCH(Cue, cue);
        QFETCH(QString, message);
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("card_red.mp4")));
        const quint64 generation = deck.requestGeneration();
        QSignalSpy failed(&deck, &NativeChannel::failed);
        deck.load(cue, true);
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() > 0, 10000);
        QCOMPARE(failed.first().first().toString(), message);
        QCOMPARE(deck.preparationState(), QStringLiteral("error"));
        QCOMPARE(deck.preparationError(), message);
        QCOMPARE(deck.requestGeneration(), generation + 1);
        // The cue on air plays on.
        QCOMPARE(deck.source(), fixture("card_red.mp4"));
        QVERIFY(deck.isPlaying());
    }

    void badMediaIsRefusedWithThePlayersError_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("truncated") << "truncated.mp4";
        QTest::newRow("random bytes") << "corrupt.mp4";
        QTest::newRow("text") << "not_media.mp4";
    }

    void badMediaIsRefusedWithThePlayersError()
    {
        QFETCH(QString, file);
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("card_red.mp4")));
        QSignalSpy failed(&deck, &NativeChannel::failed);
        deck.load(cueFor(file), true);
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() > 0, 10000);
        QVERIFY(!failed.first().first().toString().isEmpty());
        QCOMPARE(deck.preparationState(), QStringLiteral("error"));
        QVERIFY(!deck.isPreparing());
        QCOMPARE(deck.source(), fixture("card_red.mp4"));
        QVERIFY(deck.isPlaying());
    }

    void preparationTimesOut()
    {
        NativeChannel deck(false);
        deck.setPreparationTimeoutForTesting(1);
        QSignalSpy failed(&deck, &NativeChannel::failed);
        deck.prepare(cueFor("clip_1080p25.mp4", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() > 0, 5000);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("Media preparation timed out"));
        QCOMPARE(deck.preparationState(), QStringLiteral("error"));
        QVERIFY(!deck.isPreparing() && !deck.isPrepared());
    }

    void secondPrepareCancelsTheFirst()
    {
        NativeChannel deck(false);
        QSignalSpy ready(&deck, &NativeChannel::preparedReady);
        deck.prepare(cueFor("clip_360p25.mp4", 4000));
        deck.prepare(cueFor("clip_360p25.mkv", 1000));
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() > 0, 10000);
        QTest::qWait(300);
        QCOMPARE(ready.count(), 1);
        QCOMPARE(frameCodeOf(deck.slot(deck.preparedSlot()).lastFrame), 25);
        QCOMPARE(deck.slot(deck.preparedSlot()).cue.source, fixture("clip_360p25.mkv"));
    }

    void loadTakesByItselfAndPrepareDoesNot()
    {
        NativeChannel deck(false);
        QSignalSpy ready(&deck, &NativeChannel::preparedReady);
        QSignalSpy started(&deck, &NativeChannel::started);
        deck.prepare(cueFor("card_blue.mp4"));
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() == 1, 10000);
        QTest::qWait(100);
        QCOMPARE(started.count(), 0);
        deck.load(cueFor("card_green.mp4"), true);
        QTRY_VERIFY_WITH_TIMEOUT(started.count() == 1, 10000);
        QCOMPARE(ready.count(), 2);
        QCOMPARE(deck.activeGeneration(), deck.requestGeneration());
        QTRY_VERIFY_WITH_TIMEOUT(deck.isPlaying(), 2000);
    }

    // Transition weights against the frame's own media time, so the figures do not depend on how
    // quickly the machine decodes. Frames start every 40 ms: In is chosen so that one starts at the
    // moment of the row.
    void transitionWeights_data()
    {
        QTest::addColumn<bool>("picture");     // a cue is on air before the take
        QTest::addColumn<int>("transition");
        QTest::addColumn<int>("transitionMs");
        QTest::addColumn<int>("enterMs");
        QTest::addColumn<qint64>("in");
        QTest::addColumn<qint64>("atMs");       // frame time minus In
        QTest::addColumn<double>("incoming");
        QTest::addColumn<double>("outgoing");   // -1: no outgoing slot
        QTest::addColumn<qint64>("outgoingSoundUs");  // exit length of the outgoing sound, -1: none
        QTest::newRow("fade through black at 250 ms") << true << 2 << 1000 << 0 << 30LL << 250LL << 0.0 << 0.5 << 500000LL;
        QTest::newRow("fade through black at 750 ms") << true << 2 << 1000 << 0 << 10LL << 750LL << 0.5 << 0.0 << 500000LL;
        QTest::newRow("dissolve at 250 ms") << true << 1 << 1000 << 0 << 30LL << 250LL << 0.25 << 0.75 << 1000000LL;
        QTest::newRow("first take after clear fades in") << false << 1 << 1000 << 500 << 30LL << 250LL << 0.5 << -1.0 << -1LL;
        QTest::newRow("cut with an enter fade") << true << 0 << 300 << 400 << 30LL << 210LL << 0.525 << -1.0 << -1LL;
    }

    void transitionWeights()
    {
        QFETCH(bool, picture);
        QFETCH(int, transition);
        QFETCH(int, transitionMs);
        QFETCH(int, enterMs);
        QFETCH(qint64, in);
        QFETCH(qint64, atMs);
        QFETCH(double, incoming);
        QFETCH(double, outgoing);
        QFETCH(qint64, outgoingSoundUs);
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("card_red.mp4")));
        if (!picture)
            deck.clear();
        Cue cue = cueFor("clip_360p25.mp4", in, 5000);
        cue.transition = transition;
        cue.transition_ms = transitionMs;
        cue.enter_ms = enterMs;
        double seenIncoming = -2, seenOutgoing = -2;
        qint64 seenSoundUs = -2;
        connect(&deck, &NativeChannel::frameReady, this, [&](const QVideoFrame &frame) {
            if (deck.source() != cue.source || frame.startTime() / 1000 - cue.in_ms != atMs)
                return;
            seenIncoming = deck.slot(deck.activeSlot()).gain;
            const int out = deck.outgoingSlot();
            seenOutgoing = out >= 0 ? deck.slot(out).gain : -1.0;
            seenSoundUs = out >= 0 ? deck.mixer().row(out).exitLengthUs : -1;
        });
        deck.load(cue, true);
        QTRY_VERIFY_WITH_TIMEOUT(seenIncoming > -2, 10000);
        QVERIFY2(std::abs(seenIncoming - incoming) < 0.01, qPrintable(QString::number(seenIncoming)));
        QVERIFY2(std::abs(seenOutgoing - outgoing) < 0.01, qPrintable(QString::number(seenOutgoing)));
        QCOMPARE(seenSoundUs, outgoingSoundUs);
    }

    // The exit fade lasts min(exit, half the range) and ends on black, unless the next cue is
    // already prepared: then the cue keeps full weight and its last picture.
    void exitFade_data()
    {
        QTest::addColumn<bool>("nextPrepared");
        QTest::addColumn<double>("weightAt760");
        QTest::addColumn<bool>("endsOnBlack");
        QTest::newRow("exit 800 on a 1000 ms range lasts 500 ms") << false << 0.48 << true;
        QTest::newRow("no exit fade while the next cue is prepared") << true << 1.0 << false;
    }

    void exitFade()
    {
        QFETCH(bool, nextPrepared);
        QFETCH(double, weightAt760);
        QFETCH(bool, endsOnBlack);
        NativeChannel deck(false);
        Cue cue = cueFor("clip_360p25.mp4", 0, 1000);
        cue.exit_ms = 800;
        double weight = -1;
        connect(&deck, &NativeChannel::frameReady, this, [&](const QVideoFrame &frame) {
            if (frame.isValid() && frame.startTime() == 760000)
                weight = deck.slot(deck.activeSlot()).gain;
        });
        QSignalSpy ended(&deck, &NativeChannel::rangeEnded);
        QVERIFY(loadAndWait(deck, cue));
        if (nextPrepared)
            QVERIFY(prepareAndWait(deck, cueFor("card_blue.mp4")));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 5000);
        QVERIFY2(std::abs(weight - weightAt760) < 0.01, qPrintable(QString::number(weight)));
        QCOMPARE(!deck.currentFrame().isValid(), endsOnBlack);
    }

    void entryFadePlaysAgainAtEachLoop()
    {
        NativeChannel deck(false);
        Cue cue = cueFor("clip_360p25.mp4", 0, 600);
        cue.enter_ms = 300;
        deck.setLooping(true);
        QList<QPair<qint64, float>> weights;  // (frame ms, weight) in publication order
        connect(&deck, &NativeChannel::frameReady, this, [&](const QVideoFrame &frame) {
            if (frame.isValid())
                weights.append({frame.startTime() / 1000, deck.slot(deck.activeSlot()).gain});
        });
        QVERIFY(loadAndWait(deck, cue));
        QTRY_VERIFY_WITH_TIMEOUT(weights.size() > 40, 8000);  // past two loop restarts
        int restarts = 0;
        for (qsizetype i = 1; i < weights.size(); ++i) {
            if (weights[i].first >= weights[i - 1].first)
                continue;
            ++restarts;
            // Back at In: faded in again from black over 300 ms.
            QVERIFY2(weights[i].first < 300 && std::abs(weights[i].second - weights[i].first / 300.0) < 0.01,
                     qPrintable(QStringLiteral("%1 ms: %2").arg(weights[i].first).arg(weights[i].second)));
        }
        QVERIFY(restarts >= 2);
        // Each restart came from the decoder that waited at In.
        QVERIFY(deck.slot(deck.activeSlot()).player->prerolledRestarts() >= quint64(restarts));
    }

    void programAudioGoesOnAfterLoopRestarts()
    {
        NativeChannel deck(false);
        deck.setAudioEnabled(false);
        deck.setLooping(true);
        QList<QPair<qint64, float>> packets;  // (ms since the start, peak)
        QElapsedTimer clock;
        clock.start();
        connect(&deck, &NativeChannel::audioReady, this, [&](const AudioPacket &p) {
            const float *s = reinterpret_cast<const float *>(p.data.constData());
            float peak = 0.0f;
            for (int i = 0; i < 2 * p.frames(); ++i)
                peak = std::max(peak, std::abs(s[i]));
            packets.append({clock.elapsed(), peak});
        });
        QVERIFY(loadAndWait(deck, cueFor("short_a.mp4")));
        QTest::qWait(5500);  // past two restarts of the 2 s clip
        QVERIFY(deck.slot(deck.activeSlot()).player->prerolledRestarts() >= 2);
        // Sound in every half second after the start, loops included.
        for (qint64 from = 500; from < 5000; from += 500) {
            float peak = 0.0f;
            for (const auto &p : packets) {
                if (p.first >= from && p.first < from + 500)
                    peak = std::max(peak, p.second);
            }
            QVERIFY2(peak > 0.01f, qPrintable(QStringLiteral("silent from %1 ms").arg(from)));
        }
    }

    void programAudioGoesOnThroughStalls()
    {
        // An event loop that runs only every 150 ms (the pump is far behind at each tick) still
        // gets packets: the newest 40 ms at each tick, in order on the program timeline.
        NativeChannel deck(false);
        deck.setAudioEnabled(false);
        QList<AudioPacket> packets;
        connect(&deck, &NativeChannel::audioReady, this, [&](const AudioPacket &p) { packets.append(p); });
        QVERIFY(loadAndWait(deck, cueFor("tone_48k_stereo_f32.wav")));
        QTest::qWait(300);
        packets.clear();
        QTimer stall;
        connect(&stall, &QTimer::timeout, this, [] { QThread::msleep(150); });
        stall.start(0);
        QTest::qWait(1500);
        stall.stop();
        for (qsizetype i = 1; i < packets.size(); ++i)
            QVERIFY(packets[i].timestampUs > packets[i - 1].timestampUs);
        // About ten ticks of four packets (fewer on a busy machine). Whether they carry the tone
        // depends on whether the player's timer handed the stalled sound over before the pump's
        // in the same pass, which the event loop does not order.
        QVERIFY2(packets.size() >= 12, qPrintable(QString::number(packets.size())));
    }

    void decodedFrameIsPassedOnUnchanged()
    {
        NativeChannel deck(false);
        QList<QVideoFrame> frames;
        connect(&deck, &NativeChannel::frameReady, this, [&](const QVideoFrame &frame) { frames.append(frame); });
        QVERIFY(loadAndWait(deck, cueFor("clip_360p25.mp4")));
        QTRY_VERIFY_WITH_TIMEOUT(frames.size() > 5, 5000);
        // The very frame the decoder made (same shared data, its own pixel format), not a copy.
        QCOMPARE(frames.last(), deck.slot(deck.activeSlot()).lastFrame);
        QCOMPARE(frames.last().pixelFormat(), QVideoFrameFormat::Format_YUV420P);
        QCOMPARE(deck.diagnostics().value("cpu_composed_frames").toDouble(), 0.0);
    }

    void volumeIsClamped_data()
    {
        QTest::addColumn<float>("requested");
        QTest::addColumn<float>("stored");
        QTest::newRow("1.7") << 1.7f << 1.0f;
        QTest::newRow("-0.2") << -0.2f << 0.0f;
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 0.0f;
        QTest::newRow("infinite") << std::numeric_limits<float>::infinity() << 0.0f;
        QTest::newRow("0.4") << 0.4f << 0.4f;
    }

    void volumeIsClamped()
    {
        QFETCH(float, requested);
        QFETCH(float, stored);
        NativeChannel deck(false);
        deck.setVolume(requested);
        QCOMPARE(deck.volume(), stored);
    }

    void unsupportedTapFormatWarnsPerBufferAndIsNotTapped()
    {
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("card_red.mp4")));
        QTRY_VERIFY_WITH_TIMEOUT(deck.isPlaying(), 2000);
        QSignalSpy warnings(&deck, &NativeChannel::audioWarning);
        QAudioFormat mono;
        mono.setSampleRate(44100);
        mono.setChannelCount(1);
        mono.setSampleFormat(QAudioFormat::Int16);
        const QAudioBuffer buffer(QByteArray(441 * 2, '\0'), mono, 100000);
        const double tapped = deck.diagnostics().value("audio_buffers_tapped").toDouble();
        AudioBufferOutput *tap = deck.slot(deck.activeSlot()).bufferOutput;
        emit tap->audioBufferReceived(buffer);
        emit tap->audioBufferReceived(buffer);
        QCOMPARE(deck.diagnostics().value("audio_buffers_tapped").toDouble(), tapped);
        QCOMPARE(warnings.count(), 2);
        QCOMPARE(warnings.first().first().toString(),
                 QStringLiteral("Unsupported decoded audio format; network audio requires stereo float 48 kHz"));
    }

    // Transition pictures composed on the YUV planes: each plane is the weighted sum of the two
    // pictures and black (Y 16, chroma 128 in video range), as the painter would draw them.
    void composeOnYuvPlanes_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("withOutgoing");
        QTest::addColumn<double>("progress");
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("exitFactor");
        QTest::addColumn<int>("y");  // expected luma from outgoing Y 200 and incoming Y 40
        QTest::addColumn<int>("u");  // expected first chroma from outgoing 60 and incoming 180
        const int yuv = QVideoFrameFormat::Format_YUV420P;
        const int nv12 = QVideoFrameFormat::Format_NV12;
        QTest::newRow("dissolve at 0.25") << yuv << true << 0.25 << 1 << 1.0 << 160 << 90;
        QTest::newRow("dissolve at 0.25, NV12") << nv12 << true << 0.25 << 1 << 1.0 << 160 << 90;
        QTest::newRow("through black at 0.25: outgoing half") << yuv << true << 0.25 << 2 << 1.0 << 108 << 94;
        QTest::newRow("through black at 0.75: incoming half") << yuv << true << 0.75 << 2 << 1.0 << 28 << 154;
        QTest::newRow("fade in from black at 0.5") << yuv << false << 0.5 << 1 << 1.0 << 28 << 154;
        QTest::newRow("exit fade at half") << nv12 << false << 1.0 << 1 << 0.5 << 28 << 154;
    }

    void composeOnYuvPlanes()
    {
        QFETCH(int, format);
        QFETCH(bool, withOutgoing);
        QFETCH(double, progress);
        QFETCH(int, kind);
        QFETCH(double, exitFactor);
        QFETCH(int, y);
        QFETCH(int, u);
        const auto solid = [format](int luma, int chroma) {
            QVideoFrame frame(QVideoFrameFormat(QSize(64, 36), QVideoFrameFormat::PixelFormat(format)));
            frame.map(QVideoFrame::WriteOnly);
            std::memset(frame.bits(0), luma, frame.mappedBytes(0));
            for (int plane = 1; plane < frame.planeCount(); ++plane)
                std::memset(frame.bits(plane), chroma, frame.mappedBytes(plane));
            frame.unmap();
            frame.setStartTime(1000);
            frame.setEndTime(41000);
            return frame;
        };
        const QVideoFrame outgoing = withOutgoing ? solid(200, 60) : QVideoFrame();
        QVideoFrame composed = NativeChannel::composeTransitionFrame(outgoing, solid(40, 180), progress, kind,
                                                                     exitFactor);
        QVERIFY(composed.isValid());
        QCOMPARE(int(composed.pixelFormat()), format);
        QCOMPARE(composed.startTime(), 1000);
        QCOMPARE(composed.endTime(), 41000);
        QVERIFY(composed.map(QVideoFrame::ReadOnly));
        QVERIFY(std::abs(composed.bits(0)[17 * composed.bytesPerLine(0) + 5] - y) <= 1);
        QVERIFY(std::abs(composed.bits(1)[3] - u) <= 1);
        composed.unmap();
    }

    void composeOnYuvPlanesRefusesFramesThatDoNotMatch()
    {
        QVideoFrame small(QVideoFrameFormat(QSize(64, 36), QVideoFrameFormat::Format_YUV420P));
        QVideoFrame large(QVideoFrameFormat(QSize(128, 72), QVideoFrameFormat::Format_YUV420P));
        QVideoFrame rgb(QVideoFrameFormat(QSize(64, 36), QVideoFrameFormat::Format_RGBA8888));
        QVERIFY(!NativeChannel::composeTransitionFrame(small, large, 0.5, 1, 1.0).isValid());
        QVERIFY(!NativeChannel::composeTransitionFrame(QVideoFrame(), rgb, 0.5, 1, 1.0).isValid());
        QVERIFY(!NativeChannel::composeTransitionFrame(rgb, small, 0.5, 1, 1.0).isValid());
    }

    void seekClampsToTheRange()
    {
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("clip_360p25.mp4", 1000, 3000)));
        QSignalSpy reset(&deck, &NativeChannel::audioReset);
        deck.seek(9000);
        QCOMPARE(deck.positionMs(), 2999);
        QCOMPARE(reset.count(), 1);
        deck.seek(0);
        QCOMPARE(deck.positionMs(), 1000);
        deck.seek(2000);
        QCOMPARE(deck.positionMs(), 2000);
    }

    void pauseAndResumeShiftTheAudioTimeline()
    {
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("clip_360p25.mp4")));
        QTest::qWait(300);
        const qint64 offsetBefore = deck.slot(deck.activeSlot()).offsetUs;
        const qint64 entryBefore = deck.mixer().row(deck.activeSlot()).enterStartUs;
        deck.togglePlayback();
        QVERIFY(!deck.isPlaying());
        QTest::qWait(400);
        deck.togglePlayback();
        QTRY_VERIFY(deck.isPlaying());
        const qint64 shift = deck.slot(deck.activeSlot()).offsetUs - offsetBefore;
        QVERIFY2(shift >= 390000 && shift < 800000, qPrintable(QString::number(shift)));
        QCOMPARE(deck.mixer().row(deck.activeSlot()).enterStartUs - entryBefore, shift);
    }

    void resumeAfterTheEndRestartsAtIn()
    {
        NativeChannel deck(false);
        QSignalSpy ended(&deck, &NativeChannel::rangeEnded);
        QVERIFY(loadAndWait(deck, cueFor("clip_360p25.mp4", 1000, 1400)));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 5000);
        QVERIFY(deck.hasEnded());
        QVERIFY(!deck.isPlaying());
        deck.togglePlayback();
        QVERIFY(!deck.hasEnded());
        QTRY_VERIFY(deck.isPlaying());
        QVERIFY(deck.positionMs() < 1300);
    }

    void rateIsClamped()
    {
        NativeChannel deck(false);
        deck.setPlaybackRate(2.0);
        QCOMPARE(deck.playbackRate(), 1.5);
        deck.setPlaybackRate(1.5004);
        QCOMPARE(deck.playbackRate(), 1.5);
        deck.setPlaybackRate(0.1);
        QCOMPARE(deck.playbackRate(), 0.5);
    }

    void clearEmitsBlackThenChangedThenAudioReset()
    {
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("card_red.mp4")));
        QVERIFY(deck.frameCount() > 0);
        QStringList order;
        connect(&deck, &NativeChannel::frameReady, this,
                [&order](const QVideoFrame &f) { order << (f.isValid() ? "frame" : "black"); });
        connect(&deck, &NativeChannel::changed, this, [&order] { order << "changed"; });
        connect(&deck, &NativeChannel::audioReset, this, [&order] { order << "reset"; });
        deck.clear();
        // Stopping the players announces changes of their own first; the deck's black picture is
        // followed by its change notice and then the audio reset.
        const int black = order.indexOf("black");
        QVERIFY2(black >= 0, qPrintable(order.join(',')));
        QCOMPARE(order.mid(black), QStringList({"black", "changed", "reset"}));
        QCOMPARE(deck.preparationState(), QStringLiteral("empty"));
        QVERIFY(deck.source().isEmpty());
        QVERIFY(!deck.currentFrame().isValid());
        QCOMPARE(deck.frameCount(), 0);
    }

    void monoFortyFourKilohertzBecomesProgramAudio()
    {
        NativeChannel deck(false);
        float peak = 0.0f;
        int packets = 0;
        connect(&deck, &NativeChannel::audioReady, this, [&](const AudioPacket &p) {
            QCOMPARE(p.frames(), 480);
            const float *s = reinterpret_cast<const float *>(p.data.constData());
            for (int i = 0; i < 960; ++i)
                peak = std::max(peak, std::abs(s[i]));
            ++packets;
        });
        QVERIFY(loadAndWait(deck, cueFor("tone_44k1_mono_s16.wav")));
        QTest::qWait(600);
        QVERIFY(packets > 20);
        QVERIFY2(peak > 0.05f, qPrintable(QString::number(peak)));
        QVERIFY(deck.diagnostics().value("audio_buffers_tapped").toInt() > 0);
        QCOMPARE(deck.diagnostics().value("has_video").toBool(), false);
    }

    void tappedBuffersContinueEachOther()
    {
        // Decoded audio comes as 960 and 64 frame buffers whose start times are truncated to whole
        // microseconds (64 frames last 1333.33 us): each must start where the previous one ended.
        qint64 next = -1;
        double trueUs = 0.0;
        qint64 expected = 0;
        for (int i = 0; i < 40; ++i) {
            const int frames = i % 2 ? 64 : 960;
            QCOMPARE(NativeChannel::tapPosition(qint64(trueUs), frames, next), expected);
            expected += frames;
            trueUs += frames * 1000000.0 / 48000.0;
        }
        // A jump is not pulled back to the old position.
        QCOMPARE(NativeChannel::tapPosition(5000000, 960, next), 240000);
        QCOMPARE(next, 240960);
    }

    void programAudioIsSeamlessAcrossDecodedBuffers()
    {
        // A 1 kHz sine at 48 kHz: neighbouring samples differ by at most 2*pi/48 of the amplitude.
        // A buffer placed a frame off leaves a zero sample or a skipped one at its seam. Whether a
        // seam lands off depends on where the deck's clock stands when the cue starts, so several
        // starts are tried.
        int seams = 0;
        for (int start = 0; start < 6; ++start) {
            NativeChannel deck(false);
            std::vector<float> left;
            connect(&deck, &NativeChannel::audioReady, this, [&](const AudioPacket &p) {
                const float *s = reinterpret_cast<const float *>(p.data.constData());
                for (int i = 0; i < p.frames(); ++i)
                    left.push_back(s[2 * i]);
            });
            QTest::qWait(start * 3); // a different clock phase for every start
            QVERIFY(loadAndWait(deck, cueFor("tone_48k_stereo_f32.wav")));
            QTest::qWait(500);
            size_t first = 0;
            while (first < left.size() && left[first] == 0.0f)
                ++first;
            QVERIFY2(left.size() - first > 48 * 250, "too little sound");
            float peak = 0.0f;
            for (size_t i = first; i < left.size(); ++i)
                peak = std::max(peak, std::abs(left[i]));
            const float maxStep = 1.2f * peak * float(2 * M_PI / 48);
            for (size_t i = first + 1; i < left.size(); ++i)
                seams += std::abs(left[i] - left[i - 1]) > maxStep ? 1 : 0;
        }
        QCOMPARE(seams, 0);
    }

    void diagnosticsHasEveryKey()
    {
        NativeChannel deck(false);
        QVERIFY(loadAndWait(deck, cueFor("clip_360p25.mp4")));
        QTest::qWait(1500);
        const QJsonObject d = deck.diagnostics();
        QCOMPARE(d.size(), 33);
        QCOMPARE(d.value("playback").toString(), QStringLiteral("playing"));
        QCOMPARE(d.value("width").toInt(), 640);
        QCOMPARE(d.value("height").toInt(), 360);
        QVERIFY(d.value("decoder_adapter").isNull());
        QVERIFY(std::abs(d.value("nominal_fps").toDouble() - 25.0) < 0.01);
        const int lastSecond = d.value("video_frames_last_second").toInt();
        QVERIFY2(lastSecond >= 20 && lastSecond <= 27, qPrintable(QString::number(lastSecond)));
        QVERIFY(d.value("cpu_composition_last_ms").isNull());
    }
};

QTEST_MAIN(TestNativeChannel)
#include "tst_nativechannel.moc"
