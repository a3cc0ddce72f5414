// The operator window as a whole: sample content, the status refresh, deck windows, language
// switching over every widget, and a clean teardown with windows still open.
#include "UntranslatedTexts.h"
#include "app/MainWindow.h"
#include "app/widgets/DeckWindow.h"
#include "app/widgets/MediaDelegate.h"
#include "outputs/display/OutputWindow.h"
#include "link/LinkSyncedTake.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QMessageBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        state = std::make_unique<QTemporaryDir>();
    }

    void clockText_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << qint64(-5) << QStringLiteral("00:00:00");
        QTest::newRow("hour minute second") << qint64(3661000) << QStringLiteral("01:01:01");
        QTest::newRow("hundred hours") << qint64(360000000) << QStringLiteral("100:00:00");
        QTest::newRow("below a second") << qint64(999) << QStringLiteral("00:00:00");
    }

    void clockText()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(MainWindow::clockText(ms), text);
    }

    void sizeText_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QJsonValue>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("below a GB") << "en" << QJsonValue(999600000.0) << QStringLiteral("999.6 MB");
        QTest::newRow("one GB") << "en" << QJsonValue(1000000000.0) << QStringLiteral("1.00 GB");
        QTest::newRow("GB en") << "en" << QJsonValue(1500000000.0) << QStringLiteral("1.50 GB");
        QTest::newRow("MB pt-BR") << "pt-BR" << QJsonValue(2345678.0) << QStringLiteral("2,3 MB");
        QTest::newRow("no group separator") << "en" << QJsonValue(5000000000000.0) << QStringLiteral("5000.00 GB");
        QTest::newRow("zero") << "en" << QJsonValue(0.0) << QStringLiteral("0 MB");
        QTest::newRow("negative") << "en" << QJsonValue(-1.0) << QStringLiteral("—");
        QTest::newRow("string") << "en" << QJsonValue(QStringLiteral("12")) << QStringLiteral("—");
    }

    void sizeText()
    {
        QFETCH(QString, language);
        QFETCH(QJsonValue, bytes);
        QFETCH(QString, text);
        MainWindow window(true, language, state->path());
        QCOMPARE(window.mediaSizeText(bytes), text);
    }

    void sampleContent()
    {
        MainWindow window(true, QString(), state->path());
        QCOMPARE(window.mediaLibrary().size(), 5);
        QCOMPARE(window.workingPlaylist().size(), 5);
        const Cue cue = window.workingPlaylist().first();
        QCOMPARE(cue.out_ms, 150000);
        QCOMPARE(cue.transition, 1);
        QCOMPARE(cue.transition_ms, 600);
        QCOMPARE(cue.enter_ms, 400);
        QCOMPARE(cue.exit_ms, 600);
        QCOMPARE(window.mediaFolders(), (QStringList{QStringLiteral("Show media"), QStringLiteral("Sponsor assets")}));
        QCOMPARE(window.editorRow(), 2);
        QCOMPARE(window.editorState(), QStringLiteral("Cue settings loaded"));
        QVERIFY(!window.hasAutosaveTimer());
        QVERIFY(window.findChild<QLabel *>(QString(), Qt::FindChildrenRecursively));
        bool designPreview = false;
        for (QLabel *label : window.findChildren<QLabel *>())
            designPreview = designPreview || label->text() == QStringLiteral("DESIGN PREVIEW");
        QVERIFY(designPreview);
        // The running order marks row 1 on air and row 2 cued; the Preview says sample READY.
        window.tick();
        QTableWidget *order = window.runningOrder();
        QCOMPARE(order->item(1, 1)->data(MediaDelegate::statusRole).toString(), QStringLiteral("PROGRAM"));
        QCOMPARE(order->item(2, 1)->data(MediaDelegate::statusRole).toString(), QStringLiteral("CUED"));
        QLabel *previewState = nullptr;
        for (QLabel *label : window.findChildren<QLabel *>(QStringLiteral("deckState")))
            if (label->text() == QStringLiteral("Sample READY"))
                previewState = label;
        QVERIFY(previewState);
        QCOMPARE(previewState->property("health").toString(), QStringLiteral("idle"));
        // Nothing is written in sample content, and no output window opens.
        window.addMedia({QStringLiteral("/etc/hostname")});
        QCOMPARE(window.mediaLibrary().size(), 5);
        window.openDisplayOutput(0);
        QCOMPARE(window.statusText(), QStringLiteral("Layout preview — sample content"));
        QVERIFY(!window.routeWindow(0));
        window.findChildren<QComboBox *>().first()->setCurrentIndex(1);
        QVERIFY(!QFile::exists(state->filePath(QStringLiteral("preferences.ini"))));
    }

    void programTallyFollowsProgramA()
    {
        MainWindow window(false, QString(), state->path());
        window.tick();
        QFrame *programFrame = nullptr;
        for (QFrame *frame : window.findChildren<QFrame *>(QStringLiteral("deck")))
            if (frame->property("channel").toString() == QStringLiteral("program"))
                programFrame = frame;
        QVERIFY(programFrame);
        QCOMPARE(programFrame->property("onAir").toBool(), false);
        const QString clip = fixture(QStringLiteral("clip_360p25.mp4"));
        NativeChannel *programA = window.channel(0);
        programA->load(Cue::forPath(clip), false);
        QTRY_VERIFY_WITH_TIMEOUT(!programA->source().isEmpty() && !programA->isPreparing(), 15000);
        window.tick();
        QCOMPARE(programFrame->property("onAir").toBool(), true);
        programA->clear();
        window.tick();
        QCOMPARE(programFrame->property("onAir").toBool(), false);
    }

    void languageSwitchReachesEveryWidget()
    {
        MainWindow window(true, QStringLiteral("pt-BR"), state->path());
        QVERIFY(window.addProgram(true));
        window.retranslate();
        const QJsonObject en = languageTable(QStringLiteral("en"));
        const QJsonObject pt = languageTable(QStringLiteral("pt-BR"));
        QVERIFY(!en.isEmpty());
        QCOMPARE(untranslatedTexts(&window, en, pt), QStringList());
        // And back: every rail button and the running-order title read English again.
        auto *combo = window.findChildren<QComboBox *>().first();
        combo->setCurrentIndex(0);
        QCOMPARE(window.languageCode(), QStringLiteral("en"));
        QStringList rail;
        for (QAbstractButton *button : window.railGroup()->buttons())
            rail << button->text();
        QCOMPARE(rail, (QStringList{QStringLiteral("MAIN"), QStringLiteral("EDIT"), QStringLiteral("Library"),
                                    QStringLiteral("Outputs"), QStringLiteral("Audio"), QStringLiteral("Settings")}));
        bool orderTitle = false;
        for (QLabel *label : window.findChildren<QLabel *>(QStringLiteral("eyebrow")))
            orderTitle = orderTitle || label->text() == QStringLiteral("RUNNING ORDER · Program B");
        QVERIFY(orderTitle);
    }

    void programWordingWithOneProgram()
    {
        MainWindow window(false, QStringLiteral("pt-BR"), state->path());
        QCOMPARE(window.uiText(QStringLiteral("Program A")), QStringLiteral("Programa"));
        QCOMPARE(window.uiText(QStringLiteral("Programs")), window.uiText(QStringLiteral("Programs")));
        QVERIFY(window.addProgram(false));
        QCOMPARE(window.uiText(QStringLiteral("Program A")), QStringLiteral("Programa A"));
        QCOMPARE(window.uiText(QStringLiteral("Program Q")), QStringLiteral("Programa Q"));
        QCOMPARE(window.uiText(QStringLiteral("no such key")), QStringLiteral("no such key"));

        MainWindow german(false, QStringLiteral("de"), QTemporaryDir().path());
        QCOMPARE(german.languageCode(), QStringLiteral("de"));
        QCOMPARE(german.uiText(QStringLiteral("Save show")), QStringLiteral("Save show"));
    }

    void railAndPages()
    {
        MainWindow window(false, QString(), state->path());
        QCOMPARE(window.pages()->count(), 6);
        QCOMPARE(window.railGroup()->checkedId(), 0);
        window.showDiagnosticsTab();
        QCOMPARE(window.pages()->currentIndex(), 5);
        QCOMPARE(window.railGroup()->checkedId(), 5);
        window.railGroup()->button(3)->click();
        QCOMPARE(window.pages()->currentIndex(), 3);
    }

    void deckWindowGeometry()
    {
        {
            MainWindow window(false, QString(), state->path());
            window.show();
            window.detachDeck(-1);
            QCOMPARE(window.deckWindowList().size(), 1);
            DeckWindow *deckWindow = window.deckWindowList().first();
            // Detaching again brings the same window forward.
            window.detachDeck(-1);
            QCOMPARE(window.deckWindowList().size(), 1);
            const QRect available = window.screen()->availableGeometry();
            QCOMPARE(deckWindow->size(), QSize(std::min(available.width() - 40, 960), std::min(available.height() - 40, 600)));
            deckWindow->setGeometry(QRect(available.topLeft() + QPoint(30, 40), QSize(500, 300)));
            deckWindow->close();
            QVERIFY(window.deckWindowList().isEmpty());
            QVERIFY(window.preferences()->contains(QStringLiteral("deckWindows/preview/geometry")));
            window.detachDeck(-1);
            QCOMPARE(window.deckWindowList().first()->size(), QSize(500, 300));
            // Program ids name the keys, whatever the Program's position.
            QVERIFY(window.addProgram(false));
            window.detachDeck(2);
            window.closeProgramOutputs(2);
            QVERIFY(window.preferences()->contains(QStringLiteral("deckWindows/program2/geometry")));
            window.detachDeck(77);
            QCOMPARE(window.deckWindowList().size(), 1);
        }
        // A full-screen window does not overwrite the stored geometry.
        MainWindow window(false, QString(), state->path());
        const QByteArray stored = window.preferences()->value(QStringLiteral("deckWindows/preview/geometry")).toByteArray();
        window.detachDeck(-1);
        DeckWindow *deckWindow = window.deckWindowList().first();
        deckWindow->showFullScreen();
        deckWindow->close();
        QCOMPARE(window.preferences()->value(QStringLiteral("deckWindows/preview/geometry")).toByteArray(), stored);
    }

    void sampleDeckWindowsUseTheDefaultPlace()
    {
        MainWindow window(true, QString(), state->path());
        window.detachDeck(-1);
        DeckWindow *deckWindow = window.deckWindowList().first();
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(deckWindow->geometry().center(), available.center());
        deckWindow->close();
        QVERIFY(!QFile::exists(state->filePath(QStringLiteral("preferences.ini"))));
    }

    void quitWithWindowsOpenIsClean()
    {
        auto window = std::make_unique<MainWindow>(false, QString(), state->path());
        QVERIFY(window->addProgram(false));
        window->show();
        window->detachDeck(-1);
        window->detachDeck(2);
        window->openDisplayOutput(0);
        QPointer<OutputWindow> output = window->routeWindow(0);
        QVERIFY(output);
        QPointer<DeckWindow> deckWindow = window->deckWindowList().first();
        // Destroyed without a close: every window that shows a deck goes before the decks do.
        window.reset();
        QVERIFY(output.isNull());
        QVERIFY(deckWindow.isNull());
    }

    void closeAsksOnlyWithUnsavedChanges()
    {
        MainWindow window(false, QString(), state->path());
        window.show();
        window.detachDeck(-1);
        window.openDisplayOutput(0);
        QPointer<OutputWindow> output = window.routeWindow(0);
        QVERIFY(output && output->isVisible());
        window.setModified(true);
        QTimer::singleShot(200, [] {
            for (QWidget *top : QApplication::topLevelWidgets())
                if (auto *box = qobject_cast<QMessageBox *>(top))
                    box->button(QMessageBox::No)->click();
        });
        QVERIFY(!window.close());
        QVERIFY(output && output->isVisible());
        QCOMPARE(window.deckWindowList().size(), 1);
        window.setModified(false);
        QVERIFY(window.close());
        QTRY_VERIFY(output.isNull());
        QVERIFY(window.deckWindowList().isEmpty());
    }

    void libraryTableRows()
    {
        MainWindow window(false, QString(), state->path());
        QScopedPointer<QTableWidget> table(window.makePlaylistTable());
        QStringList paths;
        for (int i = 0; i < 100; ++i)
            paths << QStringLiteral("/nowhere/clip%1.mp4").arg(i);
        paths << QStringLiteral("/etc/hostname");
        window.refreshLibraryTable(table.data(), paths);
        QCOMPARE(table->rowCount(), 101);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("01"));
        QCOMPARE(table->item(99, 0)->text(), QStringLiteral("100"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("MP4"));
        QCOMPARE(table->item(0, 3)->text(), QStringLiteral("Offline"));
        QCOMPARE(table->item(0, 3)->foreground().color(), QColor(QStringLiteral("#ff9478")));
        QCOMPARE(table->item(100, 2)->text(), QString());
        QCOMPARE(table->item(100, 3)->text(), QStringLiteral("Available"));
        QCOMPARE(table->item(100, 4)->text(), QStringLiteral("/etc"));
        table->selectRow(80);
        window.refreshLibraryTable(table.data(), paths.mid(0, 3));
        QCOMPARE(table->currentRow(), -1);
    }

    void markInKeepsMilliseconds()
    {
        MainWindow window(false, QString(), state->path());
        const QString clip = fixture(QStringLiteral("clip_360p25.mp4"));
        window.addMedia({clip});
        window.runningOrder()->selectRow(0);
        window.cueSelected(0);
        NativeChannel *preview = window.previewChannel();
        QTRY_VERIFY_WITH_TIMEOUT(preview->source() == QFileInfo(clip).canonicalFilePath() && !preview->isPreparing(), 15000);
        preview->seek(1234);
        QTRY_VERIFY_WITH_TIMEOUT(preview->positionMs() > 1000, 5000);
        const qint64 at = preview->positionMs();
        QVERIFY(at % 1000 != 0);
        window.markTrim(true);
        auto *in = window.findChild<QDoubleSpinBox *>(QStringLiteral("cueIn"));
        QVERIFY(in);
        QCOMPARE(in->value(), double(at) / 1000.0);
        // Another file in the Preview refuses the mark.
        preview->clear();
        QVERIFY(!window.mayMarkTrim());
        QCOMPARE(window.statusText(), QStringLiteral("Cue media before marking In or Out."));
    }

    void lateSynchronizedTakeStartsWhereItWouldHaveBeen_data()
    {
        QTest::addColumn<qint64>("latenessUs");
        QTest::addColumn<bool>("sought");
        QTest::addColumn<bool>("preparedFirst");
        QTest::newRow("5 ms late") << qint64(5000) << false << false;
        QTest::newRow("2 s late") << qint64(2000000) << true << false;
        // The take message itself came late to a deck that was ready: it still joins the others.
        QTest::newRow("2 s late, deck ready") << qint64(2000000) << true << true;
        QTest::newRow("8.999 ms late, deck ready") << qint64(8999) << false << true;
    }

    void lateSynchronizedTakeStartsWhereItWouldHaveBeen()
    {
        QFETCH(qint64, latenessUs);
        QFETCH(bool, sought);
        QFETCH(bool, preparedFirst);
        MainWindow window(false, QString(), state->path());
        const qint64 nowUs = 50000000;
        window.setLinkClockForTesting([nowUs] { return nowUs; });
        NativeChannel *deck = window.channel(0);
        deck->prepare(Cue::forPath(fixture(QStringLiteral("clip_360p25.mp4"))));
        QVERIFY(!deck->isPrepared());
        if (preparedFirst)
            QTRY_VERIFY_WITH_TIMEOUT(deck->isPrepared(), 15000);
        // Armed as the window arms a synchronized take: on the Program's deck, on the window's
        // Link clock, its moment already past so it switches once the preparation is ready.
        LinkSyncedTake *armed = LinkSyncedTake::schedule(&window, deck, nowUs - latenessUs,
                                                         [&window] { return window.linkClockUs(); });
        bool taken = false;
        qint64 reportedUs = -1;
        connect(armed, &LinkSyncedTake::finished, this, [&](bool ok, qint64 late) { taken = ok, reportedUs = late; });
        QTRY_VERIFY_WITH_TIMEOUT(!deck->source().isEmpty(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(deck->isPlaying(), 15000);
        QVERIFY(taken);
        QCOMPARE(reportedUs, latenessUs);
        if (sought)
            QTRY_VERIFY_WITH_TIMEOUT(deck->positionMs() >= 1900, 700); // playing alone would need 1.9 s
        else
            QVERIFY(deck->positionMs() < 1000);
        deck->clear();
    }

    // The update guard counts a Program that is loading a cue it will put on air by itself, from
    // the moment CUT is pressed; a cue merely prepared on the deck, which waits for a take, does not.
    void updateGuardCountsAProgramLoadingForAir()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.resize(1400, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.addMedia({fixture(QStringLiteral("clip_360p25.mp4"))});
        QTableWidget *order = window.runningOrder();
        const QPoint at = order->visualRect(order->model()->index(0, 1)).center();
        QTest::mouseClick(order->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(order->viewport(), Qt::LeftButton, {}, at);
        QTRY_VERIFY_WITH_TIMEOUT(window.cueReadiness()->readyFor(window.workingPlaylist()[0]), 20000);
        QVERIFY(!window.anyProgramPlaying());

        NativeChannel *deck = window.channel(0);
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cut")), Qt::LeftButton);
        QVERIFY(deck->isPreparing() && deck->takeWhenReady() && !deck->isPlaying());
        QVERIFY(window.anyProgramPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(deck->isPlaying(), 15000);
        QVERIFY(window.anyProgramPlaying());

        deck->clear();
        QVERIFY(!window.anyProgramPlaying());
        deck->prepare(window.workingPlaylist()[0]);
        QVERIFY(deck->isPreparing() && !deck->takeWhenReady());
        QVERIFY(!window.anyProgramPlaying());
        deck->clear();
    }

    void multiviewShowsEveryProgram()
    {
        MainWindow window(true, QString(), state->path());
        QVERIFY(window.addProgram(true));
        QVERIFY(window.addProgram(true));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(50);
        const QList<QFrame *> tiles = window.findChildren<QFrame *>(QStringLiteral("programTile"));
        QCOMPARE(tiles.size(), 3);
        for (QFrame *tile : tiles) {
            QVERIFY(tile->isVisible());
            QVERIFY(tile->width() > 100 && tile->height() > 100);
        }
        // A language change keeps the laid-out tiles and renames them.
        window.findChildren<QComboBox *>().first()->setCurrentIndex(1);
        QCOMPARE(window.findChildren<QFrame *>(QStringLiteral("programTile")), tiles);
        QCOMPARE(tiles[1]->findChild<QPushButton *>(QStringLiteral("programTileSelect"))->text(), QStringLiteral("Programa B"));
        // Removing a Program rebuilds them, laid out at once.
        QVERIFY(window.applyOutputConfiguration(window.currentOutputConfig(), false));
        OutputConfig two = window.currentOutputConfig();
        two.programs = 2;
        QVERIFY(window.applyOutputConfiguration(two, false));
        const QList<QFrame *> rebuilt = window.findChildren<QFrame *>(QStringLiteral("programTile"));
        QCOMPARE(rebuilt.size(), 2);
        for (QFrame *tile : rebuilt)
            QVERIFY(tile->isVisible() && tile->width() > 100);
    }

private:
    static QString fixture(const QString &name)
    {
        const QString path = qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name;
        if (!QFile::exists(path))
            qWarning("Fixture missing: %s", qPrintable(path));
        return path;
    }

    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
