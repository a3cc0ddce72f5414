// The local audio engine's real-time render core, driven directly on its test backend: routing of
// decks to channel pairs, the delay rule, anchoring and nudging of read positions, headroom growth,
// start/stop and device loss, and that reading the state never costs the device a period.
#include "engine/NativeChannel.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/audio/TestBackend.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <cmath>
#include <future>
#include <map>
#include <thread>

namespace {

constexpr int ringFrames = ProgramAudioMixer::ringFrames;

// A deck's program audio that tells which frame was read: left = (frame mod 8192) / 16384,
// right = -left. Every value is exact in float.
float rampValue(qint64 frame)
{
    return float(frame % 8192) / 16384.0f;
}

qint64 rampFrame(float left)
{
    return qint64(std::lround(double(left) * 16384.0));
}

void pushRamp(NativeChannel &deck, qint64 first, int frames)
{
    std::vector<float> samples(2 * size_t(frames));
    for (int i = 0; i < frames; ++i) {
        samples[2 * size_t(i)] = rampValue(first + i);
        samples[2 * size_t(i) + 1] = -rampValue(first + i);
    }
    deck.mixer().push(0, samples.data(), frames, first);
}

void pushConstant(NativeChannel &deck, qint64 first, int frames, float left, float right)
{
    std::vector<float> samples(2 * size_t(frames));
    for (int i = 0; i < frames; ++i) {
        samples[2 * size_t(i)] = left;
        samples[2 * size_t(i) + 1] = right;
    }
    deck.mixer().push(0, samples.data(), frames, first);
}

// Deck clocks and video lags under the test's control.
struct Timing
{
    std::map<NativeChannel *, qint64> clockUs;
    std::map<NativeChannel *, qint64> lagUs;

    void install(LocalAudioEngine &engine)
    {
        engine.setDeckTimingForTesting([this](NativeChannel *d) { return clockUs[d]; },
                                       [this](NativeChannel *d) { return lagUs.count(d) ? lagUs[d] : -1; });
    }
};

LocalAudioRoute route(NativeChannel &deck, int first)
{
    return LocalAudioRoute{QPointer<NativeChannel>(&deck), first};
}

std::vector<float> render(LocalAudioEngine &engine, int frames, int channels, qint64 latency = 0)
{
    std::vector<float> out(size_t(frames) * channels, 0.5f);  // render must overwrite everything
    engine.render(out.data(), frames, channels, latency);
    return out;
}

double peak(const std::vector<float> &out, int channels, int channel)
{
    double p = 0;
    for (size_t i = size_t(channel); i < out.size(); i += size_t(channels))
        p = std::max(p, double(std::abs(out[i])));
    return p;
}

qint64 stateNumber(const LocalAudioEngine &engine, const char *key)
{
    return qint64(engine.state().value(QLatin1String(key)).toDouble());
}

} // namespace

class tst_LocalAudioEngine : public QObject
{
    Q_OBJECT
private slots:
    void testBackendShape_data();
    void testBackendShape();
    void renderIsSilentWithoutRoutesOrWhileTheListIsBusy();
    void routesFillOnlyTheirPair_data();
    void routesFillOnlyTheirPair();
    void routesOnOnePairAreSummedAndClamped();
    void delayFollowsOffsetLatencyAndVideoLag_data();
    void delayFollowsOffsetLatencyAndVideoLag();
    void readPositionAnchorsNudgesAndReanchors();
    void restartedStreamReadsFromTheClockInOneStep();
    void catchUpAfterLateCallsPlaysOn_data();
    void catchUpAfterLateCallsPlaysOn();
    void setRoutesKeepsReadPositionsOfUnchangedRoutes();
    void partialMissesRaiseHeadroom_data();
    void partialMissesRaiseHeadroom();
    void startAndStopReportTheirState();
    void deviceLossStopsTheEngine();
    void stateReadsNeverCauseDropouts();
};

void tst_LocalAudioEngine::testBackendShape_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("requestedFrames");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("frames");
    QTest::newRow("eight") << "8" << 0 << 8 << 128;
    QTest::newRow("one") << "1" << 256 << 2 << 256;
    QTest::newRow("two") << "2" << 128 << 2 << 128;
    QTest::newRow("three") << "3" << -5 << 3 << 128;
    QTest::newRow("zero") << "0" << 0 << 8 << 128;
    QTest::newRow("empty") << "" << 0 << 8 << 128;
    QTest::newRow("letters") << "abc" << 0 << 8 << 128;
    QTest::newRow("negative") << "-4" << 0 << 8 << 128;
    QTest::newRow("too many") << "500" << 0 << 128 << 128;
}

void tst_LocalAudioEngine::testBackendShape()
{
    QFETCH(QString, device);
    QFETCH(int, requestedFrames);
    LocalAudioEngine engine;
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, device, requestedFrames));
    const QJsonObject state = engine.state();
    QTEST(state.value("channels").toInt(), "channels");
    QTEST(state.value("buffer_frames").toInt(), "frames");
    QCOMPARE(state.value("device").toString(), QStringLiteral("Test (no device)"));
    QVERIFY(state.value("running").toBool());
}

void tst_LocalAudioEngine::renderIsSilentWithoutRoutesOrWhileTheListIsBusy()
{
    NativeChannel deck(false);
    Timing timing;
    timing.clockUs[&deck] = 1000000;
    pushConstant(deck, 0, ringFrames, 0.5f, 0.5f);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 128));

    std::vector<float> out = render(engine, 128, 2);
    QCOMPARE(peak(out, 2, 0) + peak(out, 2, 1), 0.0);

    engine.setRoutes({route(deck, 0)});
    std::promise<void> held, release;
    std::thread holder([&] {
        auto lock = engine.lockRoutesForTesting();
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    out = render(engine, 128, 2);
    release.set_value();
    holder.join();
    QCOMPARE(peak(out, 2, 0) + peak(out, 2, 1), 0.0);
    QCOMPARE(stateNumber(engine, "callbacks"), 2);
    QCOMPARE(stateNumber(engine, "reanchors"), 0);
    QCOMPARE(stateNumber(engine, "late_samples"), 0);
    QCOMPARE(stateNumber(engine, "drift_corrections"), 0);

    // Once the list is free again the same route sounds.
    out = render(engine, 128, 2);
    QCOMPARE(peak(out, 2, 0), 0.5);
    QCOMPARE(stateNumber(engine, "reanchors"), 1);
}

void tst_LocalAudioEngine::routesFillOnlyTheirPair_data()
{
    QTest::addColumn<int>("deviceChannels");
    QTest::addColumn<int>("first");
    QTest::addColumn<QList<int>>("sounding");
    QTest::newRow("first pair") << 2 << 0 << QList<int>{0, 1};
    QTest::newRow("second pair on stereo") << 2 << 2 << QList<int>{};
    QTest::newRow("second pair on four") << 4 << 2 << QList<int>{2, 3};
    QTest::newRow("odd start") << 8 << 5 << QList<int>{5, 6};
    QTest::newRow("last pair") << 8 << 6 << QList<int>{6, 7};
    QTest::newRow("past the end") << 8 << 7 << QList<int>{};
    QTest::newRow("negative is first") << 4 << -3 << QList<int>{0, 1};
}

void tst_LocalAudioEngine::routesFillOnlyTheirPair()
{
    QFETCH(int, deviceChannels);
    QFETCH(int, first);
    QFETCH(QList<int>, sounding);
    NativeChannel deck(false);
    Timing timing;
    timing.clockUs[&deck] = 1000000;
    pushConstant(deck, 0, ringFrames, 0.25f, -0.75f);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, QString::number(deviceChannels), 64));
    engine.setRoutes({route(deck, first)});
    const std::vector<float> out = render(engine, 64, deviceChannels);
    for (int c = 0; c < deviceChannels; ++c) {
        const int index = int(sounding.indexOf(c));
        const double expected = index < 0 ? 0.0 : index == 0 ? 0.25 : 0.75;
        QCOMPARE(peak(out, deviceChannels, c), expected);
    }
    // Left goes to the first channel of the pair, right to the second.
    if (!sounding.isEmpty()) {
        QCOMPARE(out[size_t(sounding[0])], 0.25f);
        QCOMPARE(out[size_t(sounding[1])], -0.75f);
    }
}

void tst_LocalAudioEngine::routesOnOnePairAreSummedAndClamped()
{
    NativeChannel a(false), b(false), c(false);
    Timing timing;
    for (NativeChannel *d : {&a, &b, &c})
        timing.clockUs[d] = 1000000;
    pushConstant(a, 0, ringFrames, 0.75f, 0.25f);
    pushConstant(b, 0, ringFrames, 0.75f, -0.5f);
    pushConstant(c, 0, ringFrames, -0.25f, 0.125f);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "4", 128));

    engine.setRoutes({route(a, 0), route(b, 0)});
    std::vector<float> out = render(engine, 128, 4);
    QCOMPARE(out[0], 1.0f);    // 0.75 + 0.75, clamped
    QCOMPARE(out[1], -0.25f);  // 0.25 - 0.5
    QCOMPARE(peak(out, 4, 2) + peak(out, 4, 3), 0.0);

    engine.setRoutes({route(a, 0), route(b, 0), route(c, 0)});
    out = render(engine, 128, 4);
    QCOMPARE(out[0], 1.0f);     // 1.5 clamped, then -0.25: clamping happens on the sum, not per route
    QCOMPARE(out[1], -0.125f);
}

void tst_LocalAudioEngine::delayFollowsOffsetLatencyAndVideoLag_data()
{
    QTest::addColumn<qint64>("offsetUs");
    QTest::addColumn<qint64>("latencyFrames");
    QTest::addColumn<qint64>("lagUs");
    QTest::addColumn<bool>("sync");
    QTest::addColumn<qint64>("delayUs");
    QTest::newRow("headroom wins") << qint64(0) << qint64(480) << qint64(-1) << true << qint64(10000);
    QTest::newRow("offset and lag") << qint64(100000) << qint64(0) << qint64(40000) << true << qint64(140000);
    QTest::newRow("lag ignored") << qint64(100000) << qint64(0) << qint64(40000) << false << qint64(100000);
    QTest::newRow("latency subtracted") << qint64(100000) << qint64(480) << qint64(40000) << true << qint64(130000);
    QTest::newRow("zero lag adds nothing") << qint64(50000) << qint64(0) << qint64(0) << true << qint64(50000);
    QTest::newRow("small lag under headroom") << qint64(0) << qint64(128) << qint64(12000) << true << qint64(10000);
    QTest::newRow("lag above headroom") << qint64(0) << qint64(128) << qint64(20000) << true << qint64(17334);
    QTest::newRow("negative offset") << qint64(-200000) << qint64(0) << qint64(40000) << true << qint64(10000);
}

void tst_LocalAudioEngine::delayFollowsOffsetLatencyAndVideoLag()
{
    QFETCH(qint64, offsetUs);
    QFETCH(qint64, latencyFrames);
    QFETCH(qint64, lagUs);
    QFETCH(bool, sync);
    QFETCH(qint64, delayUs);
    NativeChannel deck(false);
    Timing timing;
    timing.clockUs[&deck] = 2000000;  // frame 96000
    timing.lagUs[&deck] = lagUs;
    pushRamp(deck, 96000 - ringFrames + 1, ringFrames);
    LocalAudioEngine engine;
    timing.install(engine);
    engine.offsetUs = offsetUs;
    engine.syncToVideo = sync;
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 32));
    engine.setRoutes({route(deck, 0)});
    const std::vector<float> out = render(engine, 32, 2, latencyFrames);

    const QJsonObject state = engine.state();
    const QJsonObject r = state.value("routes").toArray().at(0).toObject();
    QCOMPARE(r.value("sync_delay_ms").toDouble(), double(delayUs) / 1000.0);
    QCOMPARE(r.value("first_channel").toInt(), 1);
    QCOMPARE(r.value("video_lag_ms").toDouble(), double(lagUs) / 1000.0);
    QCOMPARE(state.value("device_latency_ms").toDouble(), double(latencyFrames) / 48.0);
    // The first frame pulled trails the clock by exactly the delay.
    QCOMPARE(rampFrame(out[0]), (96000 - delayUs * 48000 / 1000000) % 8192);
}

void tst_LocalAudioEngine::readPositionAnchorsNudgesAndReanchors()
{
    NativeChannel deck(false);
    Timing timing;
    qint64 &clock = timing.clockUs[&deck];
    clock = 1000000;  // frame 48000; with 10 ms headroom the first pull starts at 47520
    pushRamp(deck, 20000, ringFrames);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 480));
    engine.setRoutes({route(deck, 0)});

    auto step = [&](qint64 advanceUs) {
        clock += advanceUs;
        return rampFrame(render(engine, 480, 2)[0]);
    };
    QCOMPARE(step(0), 47520 % 8192);
    QCOMPARE(stateNumber(engine, "reanchors"), 1);

    // In step with the clock: no correction.
    for (int i = 1; i <= 5; ++i)
        QCOMPARE(step(10000), (47520 + 480 * i) % 8192);
    qint64 expected = 47520 + 480 * 6;
    QCOMPARE(stateNumber(engine, "drift_corrections"), 0);

    // The clock runs 96 frames ahead: still inside the dead band.
    QCOMPARE(step(10000 + 2000), expected % 8192);
    expected += 480;
    QCOMPARE(stateNumber(engine, "drift_corrections"), 0);

    // One more frame ahead (97): one nudge per call until the gap is back to 96.
    QCOMPARE(step(10000 + 1000 / 48 + 1), (expected + 1) % 8192);
    expected += 481;
    QCOMPARE(stateNumber(engine, "drift_corrections"), 1);
    QCOMPARE(step(10000), expected % 8192);
    expected += 480;
    QCOMPARE(stateNumber(engine, "drift_corrections"), 1);

    // Behind by 500 frames: one frame back per call.
    QCOMPARE(step(10000 - 500 * 1000 / 48 - 1), (expected - 1) % 8192);
    expected += 479;
    QCOMPARE(step(10000), (expected - 1) % 8192);
    expected += 479;
    QCOMPARE(stateNumber(engine, "drift_corrections"), 3);
    QCOMPARE(stateNumber(engine, "reanchors"), 1);

    // A jump of more than 2400 frames re-anchors at the clock.
    clock += 10000 + 60000;
    const qint64 want = clock * 48 / 1000 - 480;
    QCOMPARE(rampFrame(render(engine, 480, 2)[0]), want % 8192);
    QCOMPARE(stateNumber(engine, "reanchors"), 2);
    QCOMPARE(stateNumber(engine, "drift_corrections"), 3);
}

// A device that lost frames (an underrun, a stalled device thread) starts its stream again: the
// gap is heard once, and the next call reads from where the clock is now. Left to the one-frame
// corrections, a 20 ms gap would cost 960 of them, each an audible break, spread over seconds.
void tst_LocalAudioEngine::restartedStreamReadsFromTheClockInOneStep()
{
    NativeChannel deck(false);
    Timing timing;
    qint64 &clock = timing.clockUs[&deck];
    clock = 1000000;
    pushRamp(deck, 20000, ringFrames);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 480));
    engine.setRoutes({route(deck, 0)});
    for (int i = 0; i < 3; ++i) {
        clock += 10000;
        render(engine, 480, 2);
    }
    QCOMPARE(stateNumber(engine, "reanchors"), 1);

    clock += 10000 + 20000;
    engine.streamRestarted();
    const qint64 want = clock * 48 / 1000 - 480;
    QCOMPARE(rampFrame(render(engine, 480, 2)[0]), want % 8192);
    clock += 10000;
    QCOMPARE(rampFrame(render(engine, 480, 2)[0]), (want + 480) % 8192);
    QCOMPARE(stateNumber(engine, "reanchors"), 2);
    QCOMPARE(stateNumber(engine, "drift_corrections"), 0);
}

void tst_LocalAudioEngine::catchUpAfterLateCallsPlaysOn_data()
{
    QTest::addColumn<qint64>("stallUs");
    QTest::addColumn<bool>("catchUp");
    QTest::addColumn<qint64>("callPeriodUs");
    QTest::addColumn<qint64>("deckJumpUs");
    QTest::addColumn<int>("calls");
    QTest::addColumn<bool>("corrected");
    QTest::addColumn<int>("reanchors");
    // A sender that fell behind calls late, then in a burst until its stream caught up: the stream
    // is continuous and must stay so, also past the re-anchoring distance (50 ms).
    QTest::newRow("15 ms behind, then a burst") << qint64(15000) << true << qint64(1000) << qint64(0) << 600 << false << 1;
    QTest::newRow("60 ms behind, then a burst") << qint64(60000) << true << qint64(1000) << qint64(0) << 600 << false << 1;
    // What is not lateness is still corrected: a pause that nothing catches up on (the stream lost
    // that time), a deck clock that moved ahead of calls that come on time, a device 1 % slow.
    QTest::newRow("100 ms pause, no catch-up") << qint64(100000) << false << qint64(1000) << qint64(0) << 1200 << false << 2;
    QTest::newRow("deck clock 500 frames ahead") << qint64(0) << false << qint64(1000) << qint64(500 * 1000 / 48) << 600
                                                 << true << 1;
    QTest::newRow("device 1 % slow") << qint64(0) << false << qint64(1010) << qint64(0) << 4000 << true << 1;
}

void tst_LocalAudioEngine::catchUpAfterLateCallsPlaysOn()
{
    QFETCH(qint64, stallUs);
    QFETCH(bool, catchUp);
    QFETCH(qint64, callPeriodUs);
    QFETCH(qint64, deckJumpUs);
    QFETCH(int, calls);
    QFETCH(bool, corrected);
    QFETCH(int, reanchors);
    NativeChannel deck(false);
    Timing timing;
    qint64 nowUs = 1000000;
    timing.clockUs[&deck] = nowUs;
    LocalAudioEngine engine;
    timing.install(engine);
    engine.setCallClockForTesting([&nowUs] { return nowUs; });
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 48));
    engine.setRoutes({route(deck, 0)});

    // One call of 48 frames per period; the deck clock is the call clock, plus a jump half way.
    qint64 pushed = 40000;
    qint64 previous = -1;
    int breaks = 0;
    const auto call = [&] {
        timing.clockUs[&deck] = nowUs + deckJumpUs * (nowUs > 1000000 + callPeriodUs * calls / 2);
        const qint64 wanted = timing.clockUs[&deck] * 48 / 1000;
        while (wanted + 4800 > pushed) {
            pushRamp(deck, pushed, 4800);
            pushed += 4800;
        }
        const std::vector<float> out = render(engine, 48, 2);
        for (size_t i = 0; i < out.size(); i += 2) {
            const qint64 frame = rampFrame(out[i]);
            if (previous >= 0 && frame != (previous + 1) % 8192)
                ++breaks;
            previous = frame;
        }
    };
    for (int i = 0; i < calls; ++i) {
        if (i == calls / 2 && stallUs > 0) {
            nowUs += stallUs;
            // The late calls come 20 us apart until the stream is back in step.
            for (qint64 caughtUp = 0; catchUp && caughtUp < stallUs; caughtUp += callPeriodUs) {
                nowUs += 20;
                call();
            }
        }
        nowUs += callPeriodUs;
        call();
    }

    const qint64 nudges = stateNumber(engine, "drift_corrections");
    QCOMPARE(stateNumber(engine, "reanchors"), qint64(reanchors));
    QCOMPARE(qint64(breaks), nudges + reanchors - 1);
    if (corrected)
        QVERIFY2(nudges >= 100, qPrintable(QString::number(nudges)));
    else
        QCOMPARE(nudges, 0);
}

void tst_LocalAudioEngine::setRoutesKeepsReadPositionsOfUnchangedRoutes()
{
    NativeChannel a(false), b(false);
    Timing timing;
    timing.clockUs[&a] = 1000000;
    timing.clockUs[&b] = 1000000;
    pushRamp(a, 20000, ringFrames);
    pushRamp(b, 20000, ringFrames);
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "4", 480));
    engine.setRoutes({route(a, 0)});
    QCOMPARE(rampFrame(render(engine, 480, 4)[0]), 47520 % 8192);

    // The clock moves 48 frames less than a period: a kept read position carries on 48 frames
    // behind the clock (inside the dead band), while a new anchor starts at the clock.
    timing.clockUs[&a] = timing.clockUs[&b] = 1011000;  // want 48048
    engine.setRoutes({route(a, 0), route(b, 2)});
    std::vector<float> out = render(engine, 480, 4);
    QCOMPARE(rampFrame(out[0]), 48000 % 8192);
    QCOMPARE(rampFrame(out[2]), 48048 % 8192);
    QCOMPARE(stateNumber(engine, "reanchors"), 2);
    QCOMPARE(stateNumber(engine, "drift_corrections"), 0);

    // Swapping the pairs gives both decks new anchors.
    timing.clockUs[&a] = timing.clockUs[&b] = 1022000;  // want 48576
    engine.setRoutes({route(b, 0), route(a, 2)});
    out = render(engine, 480, 4);
    QCOMPARE(rampFrame(out[0]), 48576 % 8192);
    QCOMPARE(rampFrame(out[2]), 48576 % 8192);
    QCOMPARE(stateNumber(engine, "reanchors"), 4);

    // Routes whose deck is gone are dropped on the way in.
    {
        auto gone = std::make_unique<NativeChannel>(false);
        LocalAudioRoute stale = route(*gone, 0);
        gone.reset();
        engine.setRoutes({stale, route(b, 0)});
    }
    QCOMPARE(engine.state().value("routes").toArray().size(), 1);

    // A restart re-anchors every route on its first render.
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "4", 480));
    render(engine, 480, 4);
    QCOMPARE(stateNumber(engine, "reanchors"), 1);
}

void tst_LocalAudioEngine::partialMissesRaiseHeadroom_data()
{
    // What each 480-frame period of a route finds: F all of it, H only its first half (the end is
    // missing), T only its second half, N nothing.
    QTest::addColumn<QString>("periods");
    QTest::addColumn<qint64>("lateSamples");
    QTest::addColumn<qint64>("headroomUs");
    QTest::newRow("continuous") << "FFFF" << qint64(0) << qint64(10000);
    QTest::newRow("stopped") << "NNNN" << qint64(0) << qint64(10000);
    QTest::newRow("late every period") << "HHHH" << qint64(720) << qint64(16000);
    QTest::newRow("late once") << "FHFF" << qint64(240) << qint64(12000);
    QTest::newRow("audio starts") << "NTFF" << qint64(0) << qint64(10000);
    QTest::newRow("audio ends") << "FHNN" << qint64(0) << qint64(10000);
    QTest::newRow("late, then ends") << "HHNN" << qint64(240) << qint64(12000);
    QTest::newRow("capped") << QString(80, QLatin1Char('H')) << qint64(79 * 240) << qint64(120000);
}

void tst_LocalAudioEngine::partialMissesRaiseHeadroom()
{
    QFETCH(QString, periods);
    NativeChannel deck(false);
    Timing timing;
    qint64 &clock = timing.clockUs[&deck];
    clock = 1000000;
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 480));
    engine.setRoutes({route(deck, 0)});

    for (const QChar kind : periods) {
        // A clock jump re-anchors the route at the clock, so each period starts at a known frame.
        clock += 100000;
        const qint64 want = clock * 48 / 1000 - engine.headroomUs() * 48 / 1000;
        deck.mixer().flush(-1);
        if (kind == 'F')
            pushConstant(deck, want, 480, 0.5f, 0.5f);
        else if (kind == 'H')
            pushConstant(deck, want, 240, 0.5f, 0.5f);
        else if (kind == 'T')
            pushConstant(deck, want + 240, 240, 0.5f, 0.5f);
        const std::vector<float> out = render(engine, 480, 2);
        QCOMPARE(out[0], kind == 'F' || kind == 'H' ? 0.5f : 0.0f);
        QCOMPARE(out[2 * 479], kind == 'F' || kind == 'T' ? 0.5f : 0.0f);
    }
    QTEST(stateNumber(engine, "late_samples"), "lateSamples");
    QTEST(engine.headroomUs(), "headroomUs");
    QCOMPARE(engine.state().value("headroom_ms").toDouble(), double(engine.headroomUs()) / 1000.0);

    // A restart brings the headroom back.
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 480));
    QCOMPARE(engine.headroomUs(), qint64(10000));
}

void tst_LocalAudioEngine::startAndStopReportTheirState()
{
    LocalAudioEngine engine;
    QSignalSpy changed(&engine, &LocalAudioEngine::stateChanged);
    QVERIFY(!engine.isRunning());
    QCOMPARE(engine.state().value("device").toString(), QString());

    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "8", 128));
    QCOMPARE(changed.count(), 2);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "4", 128));  // replaces the running backend
    QCOMPARE(changed.count(), 4);
    QCOMPARE(engine.channels(), 4);

    engine.stop();
    engine.stop();
    QCOMPARE(changed.count(), 6);
    QVERIFY(!engine.isRunning());
    QCOMPARE(engine.channels(), 0);
    std::vector<float> out = render(engine, 16, 2);
    QCOMPARE(peak(out, 2, 0), 0.0);

    QVERIFY(!engine.start(99, QString(), 0));
    QVERIFY(!engine.isRunning());
    QVERIFY(!engine.errorText().isEmpty());
    QCOMPARE(engine.state().value("error").toString(), engine.errorText());
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "8", 128));
    QVERIFY(engine.errorText().isEmpty());

    const QList<AudioDeviceInfo> devices = LocalAudioEngine::devices(LocalAudioEngine::TestDevice);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0].id, QStringLiteral("8"));
    QCOMPARE(devices[0].name, QStringLiteral("Test (no device)"));
    QCOMPARE(devices[0].channels, 8);
    QCOMPARE(devices[0].backendType, 3);
}

void tst_LocalAudioEngine::deviceLossStopsTheEngine()
{
    LocalAudioEngine engine;
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "8", 128));
    QSignalSpy changed(&engine, &LocalAudioEngine::stateChanged);
    std::thread([&] { engine.postDeviceLoss(QStringLiteral("Audio device was removed")); }).join();
    QVERIFY(engine.isRunning());  // handled on the engine's own thread, not the reporter's
    QTRY_VERIFY(!engine.isRunning());
    QCOMPARE(changed.count(), 2);
    QCOMPARE(engine.errorText(), QStringLiteral("Audio device was removed"));
    QCOMPARE(engine.state().value("error").toString(), QStringLiteral("Audio device was removed"));

    // A loss that the old backend reported before a restart does not stop the new backend.
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "8", 128));
    engine.postDeviceLoss(QStringLiteral("Audio device was removed"));
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "8", 128));
    QTest::qWait(50);
    QVERIFY(engine.isRunning());
    QVERIFY(engine.errorText().isEmpty());
}

void tst_LocalAudioEngine::stateReadsNeverCauseDropouts()
{
    NativeChannel deck(false);
    Timing timing;
    timing.clockUs[&deck] = 1000000;
    pushConstant(deck, 30000, ringFrames, 0.5f, 0.5f);  // around the read position, which re-anchors every 2400 frames
    LocalAudioEngine engine;
    timing.install(engine);
    QVERIFY(engine.start(LocalAudioEngine::TestDevice, "2", 128));
    engine.setRoutes({route(deck, 0)});

    std::atomic<bool> done{false};
    std::atomic<int> periods{0}, silent{0};
    std::thread device([&] {
        std::vector<float> out(256);
        while (!done.load()) {
            engine.render(out.data(), 128, 2, 128);
            periods.fetch_add(1);
            if (out[0] == 0.0f)
                silent.fetch_add(1);
        }
    });
    int reads = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 500 || periods.load() < 1000) {
        const QJsonObject state = engine.state();
        QCOMPARE(state.value("routes").toArray().size(), 1);
        ++reads;
    }
    done = true;
    device.join();
    qInfo("%d periods, %d state reads", periods.load(), reads);
    QVERIFY(reads > 100);
    QCOMPARE(silent.load(), 0);
}

QTEST_MAIN(tst_LocalAudioEngine)
#include "tst_localaudioengine.moc"
