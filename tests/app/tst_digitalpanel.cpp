// The NDI/OMT card on a real Program bus: with the stand-in runtimes beside the test (ZELVO_STANDIN_APP
// set) both senders start and the status lines count connections; without them a start is refused
// with the loader's own text and the button springs back.
#include "app/pages/DigitalPanel.h"
#include "engine/NativeChannel.h"
#include "outputs/network/NetworkBus.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class DigitalPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString app = qEnvironmentVariable("ZELVO_STANDIN_APP");
        withRuntimes = !app.isEmpty();
        if (withRuntimes) {
            QVERIFY2(QFile::exists(app + "/libndi.so.6"), "stand-in runtimes not built");
            qputenv("ZELVO_NDI_RUNTIME", (app + "/libndi.so.6").toUtf8());
            qputenv("ZELVO_OMT_RUNTIME", (app + "/libomt.so").toUtf8());
        } else {
            qputenv("ZELVO_NDI_RUNTIME", QByteArray(state.filePath("missing/libndi.so.6").toUtf8()));
            qputenv("ZELVO_OMT_RUNTIME", QByteArray(state.filePath("missing/libomt.so").toUtf8()));
            qputenv("NDI_RUNTIME_DIR_V6", state.filePath("missing").toUtf8());
            qputenv("NDI_RUNTIME_DIR_V5", state.filePath("missing").toUtf8());
        }
    }

    void firstStartDefaults()
    {
        NativeChannel deck(false);
        NetworkBus bus(&deck);
        QSettings settings(state.filePath("defaults.ini"), QSettings::IniFormat);
        DigitalPanel panel(&bus, &settings, "B", [](const QString &key) { return key; }, false);
        QCOMPARE(panel.nameField()->text(), QStringLiteral("Zelvo Playout Program B"));
        QVERIFY(panel.audioBox()->isChecked());
        QCOMPARE(panel.protocolButton(0)->text(), QStringLiteral("Start NDI"));
        QCOMPARE(panel.protocolButton(1)->text(), QStringLiteral("Start OMT"));
        QCOMPARE(panel.statusText(), QStringLiteral("NDI: Stopped\nOMT: Stopped"));

        // A typed name is stored when editing finishes; include audio is stored when toggled.
        panel.nameField()->setText("Stage left");
        emit panel.nameField()->editingFinished();
        panel.audioBox()->setChecked(false);
        QCOMPARE(settings.value("networkB/name").toString(), QStringLiteral("Stage left"));
        QCOMPARE(settings.value("networkB/audio").toBool(), false);
    }

    void sampleContentStartsNothing()
    {
        NativeChannel deck(false);
        NetworkBus bus(&deck);
        QSettings settings(state.filePath("sample.ini"), QSettings::IniFormat);
        DigitalPanel panel(&bus, &settings, "A", [](const QString &key) { return key; }, true);
        panel.protocolButton(0)->click();
        QVERIFY(!panel.protocolButton(0)->isChecked());
        QVERIFY(!bus.sender(0).isRunning());
        panel.nameField()->setText("typed");
        emit panel.nameField()->editingFinished();
        QVERIFY(!settings.contains("networkA/name"));
    }

    void startAndStopBothProtocols()
    {
        NativeChannel deck(false);
        NetworkBus bus(&deck);
        QSettings settings(state.filePath("run.ini"), QSettings::IniFormat);
        DigitalPanel panel(&bus, &settings, "A", [](const QString &key) { return key; }, false);
        panel.nameField()->setText("Typed but not finished");
        panel.protocolButton(0)->click();
        if (!withRuntimes) {
            // Refused: the button is back up, the loader's reason is the status line, nothing runs.
            QVERIFY(!panel.protocolButton(0)->isChecked());
            QVERIFY(!bus.sender(0).isRunning());
            QVERIFY2(panel.statusText().startsWith("NDI: NDI runtime not found"), qPrintable(panel.statusText()));
            QVERIFY(panel.nameField()->isEnabled());
            return;
        }
        panel.protocolButton(1)->click();
        QVERIFY(panel.protocolButton(0)->isChecked());
        QVERIFY(bus.sender(0).isRunning());
        QVERIFY(bus.sender(1).isRunning());
        QCOMPARE(panel.protocolButton(0)->text(), QStringLiteral("Stop NDI"));
        QCOMPARE(panel.protocolButton(1)->text(), QStringLiteral("Stop OMT"));
        QVERIFY(!panel.nameField()->isEnabled());
        const QStringList lines = panel.statusText().split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0].startsWith("NDI: Sending · connections "), qPrintable(lines[0]));
        QVERIFY2(lines[1].contains("Typed but not finished"), qPrintable(lines[1]));
        QVERIFY2(lines[2].startsWith("OMT: Sending · connections "), qPrintable(lines[2]));
        QVERIFY2(!lines[3].isEmpty(), "OMT reports its own source address");

        panel.protocolButton(0)->click();
        QVERIFY(!bus.sender(0).isRunning());
        QVERIFY(bus.sender(1).isRunning());
        QVERIFY(panel.statusText().startsWith("NDI: Stopped\nOMT: Sending"));
        QVERIFY(!panel.nameField()->isEnabled());
        panel.protocolButton(1)->click();
        QVERIFY(panel.nameField()->isEnabled());
        QCOMPARE(panel.statusText(), QStringLiteral("NDI: Stopped\nOMT: Stopped"));
    }

private:
    QTemporaryDir state;
    bool withRuntimes = false;
};

QTEST_MAIN(DigitalPanelTest)
#include "tst_digitalpanel.moc"
