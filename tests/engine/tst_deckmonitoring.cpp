#include "engine/NativeChannel.h"
#include "platform/media/MediaPlayer.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <vector>

// Local monitoring of looping Program decks under a show's worth of transport, against the private
// PulseAudio daemon of scripts/test-env.sh: seeks, pauses and loop restarts must neither reopen the
// monitoring stream nor crash, and the sound must still reach the sink afterwards. Each deck plays a
// colour card with a tone of its own, so the recording tells which decks are heard.
class TestDeckMonitoring : public QObject
{
    Q_OBJECT

private:
    struct Deck
    {
        const char *file;
        double toneHz;
    };
    // A clean monitor stream measures each card's tone at about 0.09; gaps or glitches in more than
    // half of the 100 ms windows bring the median below this.
    static constexpr double heardLevel = 0.04;
    static constexpr Deck decks[4] = {
        {"card_red.mp4", 500}, {"card_green.mp4", 1000}, {"card_blue.mp4", 2000}, {"card_white.mp4", 3000}};

    static QString fixture(const QString &name)
    {
        return qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name;
    }

    // Records the null sink's monitor for the given time: mono 16-bit samples at 48 kHz.
    static QVector<float> record(int ms, const QString &sink = QStringLiteral("zelvo_null"))
    {
        QProcess parec;
        parec.start(QStringLiteral("parec"), {"--device=" + sink + ".monitor", "--format=s16le", "--rate=48000",
                                             "--channels=1", "--latency-msec=20"});
        if (!parec.waitForStarted(5000))
            return {};
        QTest::qWait(ms);
        parec.terminate();
        parec.waitForFinished(5000);
        const QByteArray raw = parec.readAllStandardOutput();
        QVector<float> samples(raw.size() / 2);
        const auto *in = reinterpret_cast<const qint16 *>(raw.constData());
        for (qsizetype i = 0; i < samples.size(); ++i)
            samples[i] = in[i] / 32768.0f;
        return samples;
    }

    // Amplitude of one frequency in a stretch of samples (Goertzel).
    static double goertzel(const float *samples, qsizetype count, double hz)
    {
        const double w = 2 * M_PI * hz / 48000.0;
        const double c = 2 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (qsizetype i = 0; i < count; ++i) {
            const double s0 = samples[i] + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
        return count ? 2 * std::sqrt(std::max(power, 0.0)) / count : 0;
    }

    // The tone's amplitude as the median over 100 ms windows. One sum over the whole recording
    // would be cancelled in part by a jump of the tone's phase, as where a looping clip starts again.
    static double toneLevel(const QVector<float> &samples, double hz)
    {
        constexpr qsizetype window = 4800;
        std::vector<double> levels;
        for (qsizetype from = 0; from + window <= samples.size(); from += window)
            levels.push_back(goertzel(samples.constData() + from, window, hz));
        if (levels.empty())
            return 0;
        std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
        return levels[levels.size() / 2];
    }

    static QString pactl(const QStringList &arguments)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), arguments);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    static QAudioDevice deviceNamed(const QByteArray &id)
    {
        for (const QAudioDevice &d : QMediaDevices::audioOutputs())
            if (d.id() == id)
                return d;
        return {};
    }

    static quint64 opensOf(const NativeChannel &deck)
    {
        return deck.slot(0).player->monitorStreamOpens() + deck.slot(1).player->monitorStreamOpens();
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("ZELVO_TEST_PULSE") != QLatin1String("1"))
            QSKIP("needs the private PulseAudio daemon of scripts/test-env.sh");
        for (const Deck &d : decks)
            QVERIFY2(QFile::exists(fixture(d.file)), "run tests/make-fixtures.sh and set ZELVO_FIXTURES");
    }

    void seeksPausesAndLoopsKeepMonitoringAlive()
    {
        std::vector<std::unique_ptr<NativeChannel>> channels;
        for (const Deck &d : decks) {
            auto deck = std::make_unique<NativeChannel>(false);
            Cue cue = Cue::forPath(fixture(d.file));
            cue.out_ms = 600;  // a loop restart every 0.6 s of play
            deck->setLooping(true);
            QSignalSpy started(deck.get(), &NativeChannel::started);
            deck->load(cue, true);
            QVERIFY(started.wait(10000) || started.count() > 0);
            channels.push_back(std::move(deck));
        }
        for (auto &deck : channels)
            QTRY_VERIFY_WITH_TIMEOUT(deck->slot(deck->activeSlot()).player->monitorStreamOpen(), 5000);

        // Seek, pause and resume each deck in turn while the others play on and loop.
        int cycles = 0;
        int loopRestarts = 0;
        std::vector<qint64> lastPosition(channels.size(), 0);
        for (int step = 0; step < 480; ++step) {
            NativeChannel &deck = *channels[step % channels.size()];
            switch (step / int(channels.size()) % 3) {
            case 0: deck.seek(step * 37 % 550); ++cycles; break;
            case 1: deck.togglePlayback(); ++cycles; break;  // pause
            case 2: deck.togglePlayback(); break;            // resume
            }
            QTest::qWait(20);
            for (size_t i = 0; i < channels.size(); ++i) {
                const qint64 position = channels[i]->positionMs();
                if (position + 300 < lastPosition[i] && i != step % channels.size())
                    ++loopRestarts;
                lastPosition[i] = position;
            }
        }
        QVERIFY2(cycles >= 300, qPrintable(QString::number(cycles)));
        QVERIFY2(loopRestarts >= 10, qPrintable(QString::number(loopRestarts)));

        for (auto &deck : channels) {
            if (!deck->isPlaying())
                deck->togglePlayback();
            QVERIFY(deck->isPlaying());
            // One stream per deck for the whole run: transport never reopens the device.
            QVERIFY2(opensOf(*deck) <= 2, qPrintable(QStringLiteral("%1 + %2 opens, active %3")
                                                          .arg(deck->slot(0).player->monitorStreamOpens())
                                                          .arg(deck->slot(1).player->monitorStreamOpens())
                                                          .arg(deck->activeSlot())));
        }

        // The monitored sound of every deck still reaches the sink after the last cycle.
        QTest::qWait(300);
        const QVector<float> heard = record(1500);
        QVERIFY2(heard.size() > 48000, qPrintable(QString::number(heard.size())));
        const double noise = toneLevel(heard, 7250);
        for (const Deck &d : decks) {
            const double level = toneLevel(heard, d.toneHz);
            QVERIFY2(level > heardLevel && level > 10 * noise,
                     qPrintable(QStringLiteral("%1 Hz: %2 (noise %3)").arg(d.toneHz).arg(level).arg(noise)));
        }
    }

    void mutingClosesTheStreamAndADeviceChangeMovesIt()
    {
        NativeChannel deck(false);
        Cue cue = Cue::forPath(fixture(decks[0].file));
        deck.setLooping(true);
        QSignalSpy started(&deck, &NativeChannel::started);
        deck.load(cue, true);
        QVERIFY(started.wait(10000) || started.count() > 0);
        const MediaPlayer *player = deck.slot(deck.activeSlot()).player;
        QTRY_VERIFY_WITH_TIMEOUT(player->monitorStreamOpen(), 5000);
        const quint64 opens = player->monitorStreamOpens();

        deck.setMuted(true);
        QTRY_VERIFY_WITH_TIMEOUT(!player->monitorStreamOpen(), 5000);
        deck.setMuted(false);
        QTRY_VERIFY_WITH_TIMEOUT(player->monitorStreamOpen(), 5000);
        QCOMPARE(player->monitorStreamOpens(), opens + 1);

        // Another sink chosen by its id: the stream moves there, and its sound with it.
        const QString module = pactl({"load-module", "module-null-sink", "sink_name=zelvo_monitor_probe",
                                      "sink_properties=device.description=ZelvoMonitorProbe"});
        QVERIFY(!module.isEmpty());
        QAudioDevice probe;
        QTRY_VERIFY_WITH_TIMEOUT(!(probe = deviceNamed("zelvo_monitor_probe")).isNull(), 5000);
        deck.setAudioDevice(probe.id());
        QVERIFY(deck.deviceAvailable());
        QTRY_COMPARE_WITH_TIMEOUT(player->monitorStreamOpens(), opens + 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(player->monitorStreamOpen(), 5000);
        QTest::qWait(300);
        // The monitor source of a sink that was just made may deliver nothing to its first reader.
        QVector<float> heard;
        for (int attempt = 0; attempt < 3 && heard.size() < 24000; ++attempt)
            heard = record(1500, QStringLiteral("zelvo_monitor_probe"));
        pactl({"unload-module", module});
        QVERIFY2(toneLevel(heard, decks[0].toneHz) > heardLevel,
                 qPrintable(QStringLiteral("%1 samples, level %2").arg(heard.size()).arg(toneLevel(heard, decks[0].toneHz))));
    }
};

QTEST_MAIN(TestDeckMonitoring)
#include "tst_deckmonitoring.moc"
