#include "engine/NativeChannel.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

// The deck's choice of local output device against a real sound server: a PulseAudio sink of the
// test's own is selected, removed and brought back.
class TestDeckAudioDevice : public QObject
{
    Q_OBJECT

private:
    static QString pactl(const QStringList &arguments)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), arguments);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    static QString loadProbeSink()
    {
        return pactl({"load-module", "module-null-sink", "sink_name=zelvo_probe",
                      "sink_properties=device.description=ZelvoProbeSink"});
    }

    static QAudioDevice probeDevice()
    {
        for (const QAudioDevice &d : QMediaDevices::audioOutputs())
            if (d.id().contains("zelvo_probe"))
                return d;
        return {};
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("ZELVO_TEST_PULSE") != QLatin1String("1"))
            QSKIP("needs the private PulseAudio daemon of scripts/test-env.sh");
    }

    void vanishingDeviceMutesWithOneWarningAndComesBackQuietly()
    {
        QString module = loadProbeSink();
        QVERIFY(!module.isEmpty());
        NativeChannel deck(false);
        QTRY_VERIFY_WITH_TIMEOUT(!probeDevice().isNull(), 5000);
        const QByteArray id = probeDevice().id();
        QSignalSpy warnings(&deck, &NativeChannel::audioWarning);
        deck.setAudioDevice(id);
        QVERIFY(deck.deviceAvailable());
        QCOMPARE(warnings.count(), 0);

        pactl({"unload-module", module});
        QTRY_VERIFY_WITH_TIMEOUT(!deck.deviceAvailable(), 5000);
        QCOMPARE(warnings.count(), 1);
        QCOMPARE(warnings.first().first().toString(), QStringLiteral("Audio device unavailable; local output muted"));
        QVERIFY(deck.isMuted());

        module = loadProbeSink();
        QTRY_VERIFY_WITH_TIMEOUT(deck.deviceAvailable(), 5000);
        QCOMPARE(warnings.count(), 1);
        pactl({"unload-module", module});
    }
};

QTEST_MAIN(TestDeckAudioDevice)
#include "tst_deckaudiodevice.moc"
