// The Settings page and the footer on a real window: the footer's figures in both languages, the
// diagnostics snapshot's counts with unmeasured metrics kept as null, the diagnostics panel's
// export and its idle timer while hidden, the update panel's commands per state, and the project
// frame rate preference.
#include "app/AppStyle.h"
#include "app/MainWindow.h"
#include "app/pages/DiagnosticsPanel.h"
#include "app/pages/UpdatePanel.h"
#include "outputs/ProjectFps.h"
#include "tests/update/FeedSigner.h"
#include "update/UpdateController.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QStyleFactory>
#include <QtTest>

#include <unistd.h>

class SettingsPageTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { state = std::make_unique<QTemporaryDir>(); }

    void footerFigures_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en") << "en" << "CPU 12.5%   RAM 1.23 GB   GPU 40.0% / 524.3 MB   FPS 0   Composition —";
        QTest::newRow("pt-BR") << "pt-BR" << "CPU 12.5%   RAM 1,23 GB   GPU 40.0% / 524,3 MB   FPS 0   Composição —";
    }

    void footerFigures()
    {
        QFETCH(QString, language);
        QFETCH(QString, expected);
        MainWindow window(false, language, state->path());
        window.setUsageSampleForTesting({{"cpu_percent", 12.5},
                                         {"working_set_bytes", 1234000000.0},
                                         {"gpu_percent", 40.0},
                                         {"gpu_memory_bytes", 524300000.0},
                                         {"gpu_memory_local_bytes", 500000000.0},
                                         {"gpu_memory_nonlocal_bytes", 24300000.0},
                                         {"sampled_unix_ms", double(QDateTime::currentMSecsSinceEpoch())}});
        window.refreshResourceText();
        QString text = window.resourceLabel()->text();
        if (language == "pt-BR")
            QVERIFY2(text.startsWith("CPU 12.5%   RAM 1,23 GB   GPU 40.0% / 524,3 MB   FPS 0   "), qPrintable(text));
        else
            QCOMPARE(text, expected);
        QVERIFY(window.resourceLabel()->toolTip().endsWith("v0.1.0 (build 0001)"));
        QVERIFY(window.resourceLabel()->accessibleName().endsWith("\n" + text));

        // A sample older than 3500 ms blanks every process figure; FPS still comes from the deck.
        window.setUsageSampleForTesting({{"cpu_percent", 12.5},
                                         {"working_set_bytes", 1234000000.0},
                                         {"sampled_unix_ms", double(QDateTime::currentMSecsSinceEpoch() - 3600)}});
        window.refreshResourceText();
        QVERIFY2(window.resourceLabel()->text().startsWith("CPU —   RAM —   GPU — / —   FPS 0   "),
                 qPrintable(window.resourceLabel()->text()));
    }

    // The window's own sampler reaches the footer within a few seconds of start.
    void footerShowsTheRealSample()
    {
        MainWindow window(false, "en", state->path());
        QTRY_VERIFY_WITH_TIMEOUT(window.resourceLabel()->text().contains(" MB") || window.resourceLabel()->text().contains(" GB"),
                                 5000);
        const QJsonObject usage = window.processUsageJson();
        QCOMPARE(usage.value("stale").toBool(), false);
        QCOMPARE(usage.value("pid").toInt(), int(getpid()));
    }

    void diagnosticsCounts_data()
    {
        QTest::addColumn<int>("programs");
        QTest::addColumn<int>("routes");
        QTest::newRow("1 Program, 1 route") << 1 << 1;
        QTest::newRow("3 Programs, 5 routes") << 3 << 5;
    }

    void diagnosticsCounts()
    {
        QFETCH(int, programs);
        QFETCH(int, routes);
        MainWindow window(false, "en", state->path());
        while (window.programTotal() < programs)
            window.addProgram(false);
        while (window.routeTotal() < routes)
            window.addRoute(window.routeTotal() % programs);
        const QJsonObject snapshot = window.diagnosticsSnapshot();
        QCOMPARE(snapshot.size(), 18);
        QCOMPARE(snapshot.value("schema").toInt(), 2);
        const QJsonArray channels = snapshot.value("channels").toArray();
        QCOMPARE(channels.size(), programs + 1);
        QCOMPARE(snapshot.value("network").toArray().size(), 2 * programs);
        QCOMPARE(snapshot.value("outputs").toArray().size(), routes);
        QCOMPARE(channels.first().toObject().value("id").toString(), QStringLiteral("preview"));
        QCOMPARE(channels[1].toObject().value("id").toString(), QStringLiteral("1"));
        QCOMPARE(channels[1].toObject().value("name").toString(), programs == 1 ? QStringLiteral("Program") : QStringLiteral("Program A"));
        for (const QJsonValue &deck : channels)
            for (const char *key : {"decoder_adapter", "decode_time_ms", "decoder_dropped_frames", "decoder_packet_queue"}) {
                QVERIFY2(deck.toObject().contains(key), key);
                QVERIFY2(deck.toObject().value(key).isNull(), key);
            }
        const QJsonObject route = snapshot.value("outputs").toArray().last().toObject();
        QCOMPARE(route.size(), 9);
        QCOMPARE(route.value("route").toInt(), routes);
        QCOMPARE(route.value("open").toBool(), false);
        QCOMPARE(route.value("width").toInt(), 0);
        QCOMPARE(snapshot.value("network").toArray().last().toObject().value("protocol").toString(), QStringLiteral("OMT"));
        QVERIFY(snapshot.value("process_usage").toObject().contains("stale"));
        QCOMPARE(snapshot.value("output_configuration").toObject().value("displays").toArray().size(), routes);

        // The panel shows the same counts.
        window.diagnosticsPanel()->refresh();
        QCOMPARE(window.diagnosticsPanel()->engineTable()->columnCount(), programs + 2);
        QCOMPARE(window.diagnosticsPanel()->networkTable()->rowCount(), 2 * programs);
        QCOMPARE(window.diagnosticsPanel()->engineTable()->item(12, 1)->text(), QStringLiteral("Not available"));
        QCOMPARE(window.diagnosticsPanel()->engineTable()->item(0, 1)->text(), QStringLiteral("No media loaded"));
        QCOMPARE(window.diagnosticsPanel()->engineTable()->item(14, 1)->text(), QStringLiteral("—"));
    }

    void exportIntoUnwritableFolderLeavesNothing()
    {
        MainWindow window(false, "en", state->path());
        DiagnosticsPanel *panel = window.diagnosticsPanel();
        const QString good = state->filePath("report.json");
        QVERIFY(panel->saveReport(good));
        QCOMPARE(panel->statusText(), QStringLiteral("Diagnostics saved"));
        QFile saved(good);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        QCOMPARE(QJsonDocument::fromJson(bytes).object().value("schema").toInt(), 2);
        QVERIFY(bytes.contains("\n    \""));

        // A folder nobody may write to; where folder permissions do not bind (root), the proc
        // file system's process folder, which takes no new files from anyone.
        QString locked = state->filePath("locked");
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        const bool permissionsBind = !QFileInfo(locked).isWritable() || access(qPrintable(locked), W_OK) != 0;
        if (!permissionsBind)
            locked = QStringLiteral("/proc/self");
        const QStringList before = QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        QVERIFY(!panel->saveReport(locked + "/report.json"));
        QCOMPARE(panel->statusText(), QStringLiteral("Could not save diagnostics"));
        QVERIFY(!QFile::exists(locked + "/report.json"));
        QCOMPARE(QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
        QFile::setPermissions(state->filePath("locked"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        // A failed save never touches a report already at the path: here the path is a folder.
        const QString folderPath = state->filePath("taken.json");
        QVERIFY(QDir().mkpath(folderPath + "/inside"));
        QVERIFY(!panel->saveReport(folderPath));
        QVERIFY(QFileInfo(folderPath + "/inside").isDir());
        QVERIFY(panel->saveReport(good));
        QCOMPARE(panel->statusText(), QStringLiteral("Diagnostics saved"));
    }

    void hiddenPanelTakesNoSnapshots()
    {
        MainWindow window(false, "en", state->path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.showPage(0);
        DiagnosticsPanel *panel = window.diagnosticsPanel();
        const int before = panel->snapshotsTaken();
        QTest::qWait(1300);
        QCOMPARE(panel->snapshotsTaken(), before);
        window.showDiagnosticsTab();
        QTRY_VERIFY(panel->isVisible());
        const int shown = panel->snapshotsTaken();
        QTRY_VERIFY_WITH_TIMEOUT(panel->snapshotsTaken() >= shown + 2, 2500);
        window.showPage(0);
        const int hidden = panel->snapshotsTaken();
        QTest::qWait(1100);
        QCOMPARE(panel->snapshotsTaken(), hidden);
    }

    void updatePanelCommandsPerState()
    {
        FeedSigner signer;
        signer.install();
        MainWindow window(false, "en", state->path());
        UpdatePanel *panel = window.updatePanel();
        QVERIFY(panel->checkButton()->isEnabled());
        QVERIFY(!panel->downloadButton()->isEnabled());
        QVERIFY(panel->cancelButton()->isHidden());
        QVERIFY(panel->progressBar()->isHidden());
        QCOMPARE(panel->stateText(), QStringLiteral("Check for updates"));

        // A release that is not newer: "current", nothing to download.
        UpdateController &control = *window.updateControllerForTesting();
        QVERIFY2(control.applyManifest(signer.document(FeedSigner::payload("v0.1.0 (build 0001)", QString(64, 'a'), 100))),
                 qPrintable(control.errorText()));
        QCOMPARE(control.currentText(), QStringLiteral("current"));
        QVERIFY(!panel->downloadButton()->isEnabled());
        // A failed check afterwards leaves that manifest held: still no download is offered.
        control.applyManifest("not a manifest");
        QCOMPARE(control.currentText(), QStringLiteral("error"));
        QVERIFY(!panel->downloadButton()->isEnabled());
        QVERIFY(panel->checkButton()->isEnabled());

        QVERIFY(control.applyManifest(signer.document(FeedSigner::payload("v0.2.0 (build 0002)", QString(64, 'a'), 100))));
        QCOMPARE(panel->stateText(), QStringLiteral("Update available · v0.2.0 (build 0002)"));
        QVERIFY(panel->downloadButton()->isEnabled());
        QCOMPARE(panel->notesText(), QStringLiteral("• Faster start."));
        QVERIFY(!panel->installButton()->isEnabled());
    }

    void projectFrameRatePreference_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("index");
        QTest::addColumn<double>("shared");
        QTest::newRow("29.97 as typed") << QVariant(29.97) << 4 << 30000.0 / 1001;
        QTest::newRow("29.9 matches nothing") << QVariant(29.9) << 0 << 0.0;
        QTest::newRow("absent") << QVariant() << 0 << 0.0;
        QTest::newRow("50") << QVariant(50) << 6 << 50.0;
    }

    void projectFrameRatePreference()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, index);
        QFETCH(double, shared);
        if (stored.isValid())
            QSettings(state->filePath("preferences.ini"), QSettings::IniFormat).setValue("projectFps", stored);
        projectFps = 12.0;
        MainWindow window(false, "en", state->path());
        auto *combo = window.findChild<QComboBox *>("projectFps");
        QCOMPARE(combo->count(), 9);
        QCOMPARE(combo->currentIndex(), index);
        QCOMPARE(projectFps.load(), shared);
        combo->setCurrentIndex(8);
        QCOMPARE(projectFps.load(), 60.0);
        QCOMPARE(window.preferences()->value("projectFps").toDouble(), 60.0);
        projectFps = 0.0;
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
        window.resize(1600, 1000);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString dir = qEnvironmentVariable("ZELVO_BUILD_DIR") + "/captures/pages";
        QDir().mkpath(dir);
        window.showPage(5);
        window.captureBoard(dir + "/settings-" + language + ".png");
        window.showDiagnosticsTab();
        window.diagnosticsPanel()->refresh();
        window.captureBoard(dir + "/settings-diagnostics-" + language + ".png");
        window.showSettingsTab(2);
        window.captureBoard(dir + "/settings-updates-" + language + ".png");
        QVERIFY(QFile::exists(dir + "/settings-updates-" + language + ".png"));
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(SettingsPageTest)
#include "tst_settingspage.moc"
