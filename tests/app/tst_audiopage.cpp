// The Audio page on a real window: the deck strip's dBFS meter fed through the deck's own meter
// signal, the routing grid's pairs greyed by the running engine's channel count, and the
// low-latency section started and stopped on the test backend and on ALSA's null device.
#include "app/AppStyle.h"
#include "app/MainWindow.h"
#include "app/pages/AudioPanel.h"
#include "outputs/audio/LocalAudioEngine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QStyleFactory>
#include <QTimer>
#include <QtTest>

namespace {

int enabledPairs(QComboBox *combo)
{
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    int count = 0;
    for (int k = 0; k < combo->count(); ++k)
        count += model->item(k)->isEnabled() ? 1 : 0;
    return count;
}

} // namespace

class AudioPageTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { state = std::make_unique<QTemporaryDir>(); }

    void meterShowsPeaksInDbfs_data()
    {
        QTest::addColumn<float>("peak");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("silence") << 0.0f << 0 << QString::fromUtf8("\u2212\u221e dBFS");
        QTest::newRow("floor") << 0.00001f << 0 << QString::fromUtf8("\u2212\u221e dBFS");
        QTest::newRow("full scale") << 1.0f << 100 << "0.0 dBFS";
        QTest::newRow("half") << 0.5f << 50 << "-6.0 dBFS";
        QTest::newRow("over") << 1.5f << 100 << "3.5 dBFS";
    }

    void meterShowsPeaksInDbfs()
    {
        QFETCH(float, peak);
        QFETCH(int, value);
        QFETCH(QString, text);
        NativeChannel deck(false);
        QSettings settings(state->filePath("meter.ini"), QSettings::IniFormat);
        AudioPanel panel(&deck, &settings, "A", [](const QString &key) { return key; }, false);
        const QList<QProgressBar *> bars = panel.findChildren<QProgressBar *>();
        QCOMPARE(bars.size(), 2);
        // The meter ticks every 80 ms; the test ticks it by hand, so a busy machine cannot let two
        // ticks pass between two looks.
        auto *tick = panel.findChild<QTimer *>();
        QVERIFY(tick && tick->isActive());
        QCOMPARE(tick->interval(), 80);
        tick->stop();
        // The loudest block between two ticks counts; the bars then fall back at the next tick.
        emit deck.audioMeter(peak * 0.25f, 0.0f);
        emit deck.audioMeter(peak, peak);
        QVERIFY(QMetaObject::invokeMethod(tick, "timeout"));
        QCOMPARE(bars[0]->format(), text);
        QCOMPARE(bars[0]->value(), value);
        QCOMPARE(bars[1]->value(), value);
        QVERIFY(QMetaObject::invokeMethod(tick, "timeout"));
        QCOMPARE(bars[0]->format(), QString::fromUtf8("\u2212\u221e dBFS"));
        QCOMPARE(bars[0]->value(), 0);
    }

    void stripStoresAndRestoresItsChoices()
    {
        NativeChannel deck(false);
        QSettings settings(state->filePath("strip.ini"), QSettings::IniFormat);
        {
            AudioPanel panel(&deck, &settings, "B", [](const QString &key) { return key; }, false);
            QCOMPARE(panel.findChild<QSlider *>("audioVolumeB")->value(), 100);
            QVERIFY(panel.localBox()->isChecked());
            QCOMPARE(panel.findChild<QComboBox *>("audioDeviceB")->currentText(), QStringLiteral("System default"));
            panel.findChild<QSlider *>("audioVolumeB")->setValue(40);
            panel.findChild<QCheckBox *>("audioMuteB")->setChecked(true);
            QCOMPARE(deck.volume(), 0.4f);
            QVERIFY(deck.isMuted());
        }
        settings.setValue("audioB/device", QByteArray("gone-device"));
        NativeChannel second(false);
        AudioPanel again(&second, &settings, "B", [](const QString &key) { return key; }, false);
        QCOMPARE(second.volume(), 0.4f);
        QVERIFY(second.isMuted());
        auto *device = again.findChild<QComboBox *>("audioDeviceB");
        QCOMPARE(device->currentText(), QStringLiteral("Unavailable device"));
        QCOMPARE(device->currentIndex(), device->count() - 1);
        again.refreshDevices();
        QCOMPARE(settings.value("audioB/device").toByteArray(), QByteArray("gone-device"));

        // Sample content: the slider moves its label only.
        AudioPanel sample(&second, &settings, "B", [](const QString &key) { return key; }, true);
        sample.findChild<QSlider *>("audioVolumeB")->setValue(10);
        QCOMPARE(settings.value("audioB/volume").toInt(), 40);
        QCOMPARE(second.volume(), 0.4f);
    }

    // Pairs beyond the running device's channels are greyed; all come back after Stop.
    void pairsFollowTheEngineChannels_data()
    {
        QTest::addColumn<QString>("channels");
        QTest::addColumn<int>("usable");
        QTest::newRow("2 channels") << "2" << 1;
        QTest::newRow("8 channels") << "8" << 4;
    }

    void pairsFollowTheEngineChannels()
    {
        QFETCH(QString, channels);
        QFETCH(int, usable);
        MainWindow window(false, "en", state->path());
        window.addProgram(false);
        QComboBox *pairA = window.enginePair(0);
        QCOMPARE(pairA->objectName(), QStringLiteral("enginePairA"));
        QCOMPARE(pairA->count(), 32);
        QCOMPARE(pairA->itemText(31), QStringLiteral("Outputs 63–64"));
        QCOMPARE(enabledPairs(pairA), 32);
        QVERIFY(window.startLowLatencyOutput(LocalAudioEngine::TestDevice, channels, 0));
        QCOMPARE(enabledPairs(pairA), usable);
        QCOMPARE(enabledPairs(window.enginePair(1)), usable);
        QVERIFY(window.lowLatencyStatusText().startsWith("Running · "));
        window.findChild<QPushButton *>("engineStop")->click();
        QTRY_VERIFY(!window.localAudioEngine()->isRunning());
        QCOMPARE(enabledPairs(pairA), 32);
        QCOMPARE(window.lowLatencyStatusText(), QStringLiteral("Off. Programs play through their normal output (Audio routing below)."));
    }

    void storedPairsAreClamped()
    {
        {
            QSettings stored(state->filePath("preferences.ini"), QSettings::IniFormat);
            stored.setValue("localAudio/pair/A", 40);
            stored.setValue("localAudio/pair/B", -2);
        }
        MainWindow window(false, "en", state->path());
        window.addProgram(false);
        QCOMPARE(window.enginePair(0)->currentIndex(), 31);
        QCOMPARE(window.enginePair(1)->currentIndex(), 0);
        window.enginePair(1)->setCurrentIndex(3);
        QCOMPARE(window.preferences()->value("localAudio/pair/B").toInt(), 3);
    }

    // ALSA's null device on the shared backend, with the stored choices read back into the controls.
    void sectionStartsAndStopsAlsaNull()
    {
        {
            QSettings stored(state->filePath("preferences.ini"), QSettings::IniFormat);
            stored.setValue("localAudio/backend", 1);
            stored.setValue("localAudio/device", "null");
            stored.setValue("localAudio/offsetMs", 900);
        }
        MainWindow window(false, "en", state->path());
        auto *backend = window.findChild<QComboBox *>("engineBackend");
        QCOMPARE(backend->itemData(0).toInt(), 0);
        QCOMPARE(backend->itemText(0), QStringLiteral("ALSA exclusive"));
        QCOMPARE(backend->itemData(1).toInt(), 1);
        QCOMPARE(backend->itemText(1), QStringLiteral("ALSA shared low-latency"));
        QCOMPARE(backend->itemData(2).toInt(), 4);
        QCOMPARE(backend->currentIndex(), 1);
        QCOMPARE(window.findChild<QSpinBox *>("engineOffset")->value(), 500);
        QCOMPARE(window.localAudioEngine()->offsetUs.load(), 500000);
        // ALSA's hint list names the null device only where a configuration lists it; the Start
        // action is then given it directly, as the button gives the listed choice.
        auto *device = window.findChild<QComboBox *>("engineDevice");
        auto *start = window.findChild<QPushButton *>("engineStart");
        if (device->currentData().toString() == QStringLiteral("null")) {
            QVERIFY(start->isEnabled());
            start->click();
        } else {
            window.startLowLatencyOutput(LocalAudioEngine::SharedDevice, "null", 0);
        }
        QVERIFY2(window.localAudioEngine()->isRunning(), qPrintable(window.statusText()));
        QVERIFY(!start->isEnabled());
        QVERIFY(!backend->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window.lowLatencyStatusText().contains(" · device latency "), 3000);
        QVERIFY2(window.lowLatencyStatusText().startsWith("Running · "), qPrintable(window.lowLatencyStatusText()));
        QVERIFY(window.lowLatencyStatusText().contains(" ms · late samples "));
        window.findChild<QPushButton *>("engineStop")->click();
        QTRY_VERIFY(!window.localAudioEngine()->isRunning());
        QVERIFY(start->isEnabled());
        QVERIFY(backend->isEnabled());

        // AES67 shows its row and hides the buffer; the stored choice follows the combo.
        backend->setCurrentIndex(2);
        QVERIFY(window.findChild<QComboBox *>("engineBuffer")->parentWidget()->isHidden());
        QVERIFY(!window.findChild<QLineEdit *>("aes67Name")->parentWidget()->isHidden());
        QCOMPARE(window.preferences()->value("localAudio/backend").toInt(), 4);
    }

    void failedStartSaysWhy()
    {
        MainWindow window(false, "en", state->path());
        QVERIFY(!window.startLowLatencyOutput(LocalAudioEngine::ExclusiveDevice, "hw:99,0", 0));
        QVERIFY2(window.statusText().startsWith("Low-latency output could not start: "), qPrintable(window.statusText()));
        QVERIFY2(window.lowLatencyStatusText().startsWith("Low-latency output stopped: "), qPrintable(window.lowLatencyStatusText()));
    }

    void captures_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("en") << "en";
        QTest::newRow("pt-BR") << "pt-BR";
    }

    void captures()
    {
        QFETCH(QString, language);
        // The captures show the window as the program styles it.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        qApp->setStyleSheet(applicationStyleSheet());
        MainWindow window(false, language, state->path());
        window.addProgram(false);
        window.resize(1600, 1000);
        window.showPage(4);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.startLowLatencyOutput(LocalAudioEngine::TestDevice, "8", 0);
        const QString dir = qEnvironmentVariable("ZELVO_BUILD_DIR") + "/captures/pages";
        QDir().mkpath(dir);
        window.captureBoard(dir + "/audio-" + language + ".png");
        QVERIFY(QFile::exists(dir + "/audio-" + language + ".png"));
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(AudioPageTest)
#include "tst_audiopage.moc"
