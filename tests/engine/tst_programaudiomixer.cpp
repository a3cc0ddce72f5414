#include "engine/ProgramAudioMixer.h"

#include <QMutexLocker>
#include <QSemaphore>
#include <QTest>
#include <atomic>
#include <thread>
#include <cmath>
#include <limits>
#include <vector>

class TestProgramAudioMixer : public QObject
{
    Q_OBJECT

private:
    static std::vector<float> constant(int frames, float left, float right)
    {
        std::vector<float> v(size_t(frames) * 2);
        for (int i = 0; i < frames; ++i) {
            v[2 * i] = left;
            v[2 * i + 1] = right;
        }
        return v;
    }

private slots:
    void pushedFramesMixBackAtTheirPositions()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(480, 0.25f, -0.5f);
        mixer.push(0, in.data(), 480, 1000);
        std::vector<float> out(2 * 960, 9.0f);
        int missing = -1;
        mixer.mix(520, 960, 1.0f, false, out.data(), &missing);
        // Frames 520..999 were never written; 1000..1479 were.
        QCOMPARE(missing, 480);
        QCOMPARE(out[0], 0.0f);
        QCOMPARE(out[2 * 480], 0.25f);
        QCOMPARE(out[2 * 480 + 1], -0.5f);
        QCOMPARE(out[2 * 959 + 1], -0.5f);
    }

    void staleRingPositionReadsAsAbsent()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(10, 0.5f, 0.5f);
        mixer.push(1, in.data(), 10, 100);
        std::vector<float> out(20);
        int missing = 0;
        mixer.mix(100 + ProgramAudioMixer::ringFrames, 10, 1.0f, false, out.data(), &missing);
        QCOMPARE(missing, 10);
        QCOMPARE(out[0], 0.0f);
    }

    void nonFiniteSamplesAreStoredAsSilenceOnly()
    {
        ProgramAudioMixer mixer;
        const float in[6] = {0.1f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             0.2f, 0.3f, -0.3f};
        mixer.push(0, in, 3, 0);
        float out[6];
        mixer.mix(0, 3, 1.0f, false, out, nullptr);
        const float expected[6] = {0.1f, 0.0f, 0.0f, 0.2f, 0.3f, -0.3f};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(out[i], expected[i]);
    }

    void envelopeShapes_data()
    {
        QTest::addColumn<qint64>("enterStart");
        QTest::addColumn<qint64>("enterLength");
        QTest::addColumn<bool>("throughBlack");
        QTest::addColumn<qint64>("exitStart");
        QTest::addColumn<qint64>("exitLength");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<float>("weight");
        const qint64 noEnd = ProgramAudioMixer::noEnd;
        QTest::newRow("before entry") << 1000LL << 0LL << false << -1LL << 0LL << noEnd << 999LL << 0.0f;
        QTest::newRow("no fade") << 0LL << 0LL << false << -1LL << 0LL << noEnd << 5LL << 1.0f;
        QTest::newRow("linear quarter") << 0LL << 1000000LL << false << -1LL << 0LL << noEnd << 250000LL << 0.25f;
        QTest::newRow("black quarter") << 0LL << 1000000LL << true << -1LL << 0LL << noEnd << 250000LL << 0.0f;
        QTest::newRow("black three quarters") << 0LL << 1000000LL << true << -1LL << 0LL << noEnd << 750000LL << 0.5f;
        QTest::newRow("hard exit") << 0LL << 0LL << false << 500000LL << 0LL << noEnd << 500000LL << 0.0f;
        QTest::newRow("exit half") << 0LL << 0LL << false << 500000LL << 200000LL << noEnd << 600000LL << 0.5f;
        QTest::newRow("at end") << 0LL << 0LL << false << -1LL << 0LL << 700000LL << 700000LL << 0.0f;
        QTest::newRow("just before end") << 0LL << 0LL << false << -1LL << 0LL << 700000LL << 699999LL << 1.0f;
    }

    void envelopeShapes()
    {
        QFETCH(qint64, enterStart);
        QFETCH(qint64, enterLength);
        QFETCH(bool, throughBlack);
        QFETCH(qint64, exitStart);
        QFETCH(qint64, exitLength);
        QFETCH(qint64, end);
        QFETCH(qint64, at);
        QFETCH(float, weight);
        ProgramAudioMixer mixer;
        ProgramAudioMixer::Row &row = mixer.row(0);
        row.enterStartUs = enterStart;
        row.enterLengthUs = enterLength;
        row.fadeThroughBlack = throughBlack;
        row.exitStartUs = exitStart;
        row.exitLengthUs = exitLength;
        row.endUs = end;
        QVERIFY(std::abs(mixer.envelopeAt(0, at) - weight) < 1e-6f);
    }

    void envelopeWeightsTheMix()
    {
        ProgramAudioMixer mixer;
        mixer.row(0).enterLengthUs = 1000000; // linear fade in over the first second
        const auto in = constant(48000, 1.0f, 1.0f);
        mixer.push(0, in.data(), 48000, 0);
        float out[2];
        mixer.mix(12000, 1, 1.0f, false, out, nullptr); // 250 ms in
        QVERIFY(std::abs(out[0] - 0.25f) < 1e-4f);
    }

    void bothRowsInPhaseClip()
    {
        ProgramAudioMixer mixer;
        const auto up = constant(4, 1.0f, -1.0f);
        mixer.push(0, up.data(), 4, 0);
        mixer.push(1, up.data(), 4, 0);
        float out[8];
        mixer.mix(0, 4, 1.0f, false, out, nullptr);
        QCOMPARE(out[0], 1.0f);
        QCOMPARE(out[1], -1.0f);
        mixer.mix(0, 4, 0.25f, false, out, nullptr);
        QCOMPARE(out[0], 0.5f);
    }

    void silencedWritesZerosButCountsMissing()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(4, 0.5f, 0.5f);
        mixer.push(0, in.data(), 4, 0);
        float out[16];
        int missing = 0;
        mixer.mix(0, 8, 1.0f, true, out, &missing);
        QCOMPARE(missing, 4);
        for (float v : out)
            QCOMPARE(v, 0.0f);
    }

    void flushVoidsOneRowOrBoth()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(4, 0.5f, 0.5f);
        mixer.push(0, in.data(), 4, 0);
        mixer.push(1, in.data(), 4, 0);
        mixer.flush(1);
        float out[8];
        mixer.mix(0, 4, 1.0f, false, out, nullptr);
        QCOMPARE(out[0], 0.5f);
        mixer.flush(-1);
        int missing = 0;
        mixer.mix(0, 4, 1.0f, false, out, &missing);
        QCOMPARE(missing, 4);
    }

    void shiftTimelineMovesEveryBoundaryButAnOpenEnd()
    {
        ProgramAudioMixer mixer;
        ProgramAudioMixer::Row &row = mixer.row(0);
        row.enterStartUs = 10;
        row.exitStartUs = -1;
        mixer.shiftTimeline(0, 100);
        QCOMPARE(row.enterStartUs, 110);
        QCOMPARE(row.exitStartUs, -1);
        QCOMPARE(row.endUs, ProgramAudioMixer::noEnd);
        row.exitStartUs = 50;
        row.endUs = 70;
        mixer.shiftTimeline(0, 5);
        QCOMPARE(row.exitStartUs, 55);
        QCOMPARE(row.endUs, 75);
    }

    void badArgumentsAreIgnored()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(4, 0.5f, 0.5f);
        mixer.push(2, in.data(), 4, 0);
        mixer.push(0, nullptr, 4, 0);
        mixer.push(0, in.data(), 0, 0);
        float out[2] = {7.0f, 7.0f};
        int missing = 5;
        mixer.mix(0, 0, 1.0f, false, out, &missing);
        QCOMPARE(missing, 0);
        QCOMPARE(out[0], 7.0f);
        QVERIFY(mixer.mixPacket(0, 48001, 1.0f, false).data.isEmpty());
        const AudioPacket packet = mixer.mixPacket(48000, 480, 1.0f, false);
        QCOMPARE(packet.timestampUs, 1000000);
        QCOMPARE(packet.data.size(), 480 * 8);
    }

    // A GUI thread preempted while it holds the mixer must not stall the audio device: the
    // real-time pull returns at once with a silent block whose frames all count as missing, and
    // mixes normally again once the lock is free.
    void realTimeMixNeverWaitsForAWriter()
    {
        ProgramAudioMixer mixer;
        const auto in = constant(480, 0.25f, -0.5f);
        mixer.push(0, in.data(), 480, 4800);
        QSemaphore locked, release;
        std::atomic<bool> released{false};
        std::thread writer([&] {
            QMutexLocker lock(&mixer.mutex());
            locked.release();
            release.tryAcquire(1, 2000);
            released = true;
        });
        locked.acquire();

        std::vector<float> out(2 * 480, 9.0f);
        int missing = -1;
        bool mixed = true;
        bool writerHeldTheLock = false;
        std::thread device([&] {
            mixed = mixer.tryMix(4800, 480, 1.0f, false, out.data(), &missing);
            writerHeldTheLock = !released;
        });
        device.join();
        release.release();
        writer.join();

        QVERIFY2(writerHeldTheLock, "the real-time mix waited for the writer to let go");
        QVERIFY(!mixed);
        QCOMPARE(missing, 480);
        QCOMPARE(out[0], 0.0f);
        QCOMPARE(out[2 * 479 + 1], 0.0f);

        QVERIFY(mixer.tryMix(4800, 480, 1.0f, false, out.data(), &missing));
        QCOMPARE(missing, 0);
        QCOMPARE(out[0], 0.25f);
        QCOMPARE(out[2 * 479 + 1], -0.5f);
    }

    void planarStereoSplitsChannels()
    {
        QVERIFY(planarStereo(QByteArray()).isEmpty());
        const float interleaved[4] = {1.0f, 2.0f, 3.0f, 4.0f};
        const QByteArray planar = planarStereo(QByteArray(reinterpret_cast<const char *>(interleaved), 16));
        const float *p = reinterpret_cast<const float *>(planar.constData());
        QCOMPARE(p[0], 1.0f);
        QCOMPARE(p[1], 3.0f);
        QCOMPARE(p[2], 2.0f);
        QCOMPARE(p[3], 4.0f);
    }
};

QTEST_GUILESS_MAIN(TestProgramAudioMixer)
#include "tst_programaudiomixer.moc"
