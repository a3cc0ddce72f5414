// The MAIN desk driven through the real window on generated clips: cue on the Preview, CUT and FADE
// to Program A read back from the deck's published frames, the take refusals with their status
// texts, Black and Loop, running order edits, and the preferences behind the desk.
#include "support/FrameCode.h"
#include "app/MainWindow.h"
#include "app/MultiviewGrid.h"
#include "app/PreferenceTable.h"
#include "app/widgets/DeckWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QDoubleSpinBox>
#include <QScrollArea>
#include <QSet>
#include <QLineEdit>
#include <QTextBrowser>
#include <QTimer>
#include <QApplication>
#include <QScreen>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString fixture(const QString &name)
{
    return QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(name);
}

// One published Program frame: when it arrived and the colour at its centre.
struct Published
{
    qint64 atMs;
    QColor centre;
    int code;
};

} // namespace

class DeskTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { state = std::make_unique<QTemporaryDir>(); }

    void cutAndFadeReachProgramA()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.resize(1400, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.addMedia({fixture(QStringLiteral("clip_360p25.mp4")), fixture(QStringLiteral("card_red.mp4")),
                         fixture(QStringLiteral("card_blue.mp4"))});
        QCOMPARE(window.workingPlaylist().size(), 3);
        NativeChannel *programA = window.channel(0);
        QElapsedTimer clock;
        clock.start();
        QList<Published> frames;
        connect(programA, &NativeChannel::frameReady, this, [&](const QVideoFrame &frame) {
            const QImage image = frame.isValid() ? frame.toImage() : QImage();
            frames.append({clock.elapsed(), image.isNull() ? QColor() : image.pixelColor(image.rect().center()),
                           frameCodeOf(image)});
        });

        // CUT: the clip plays on Program A from its first frames.
        cueRow(window, 0);
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cut")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(programA->source(), window.workingPlaylist()[0].source, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(codesSeen(frames) >= 10, 15000);
        QList<int> codes;
        for (const Published &frame : frames)
            if (frame.code >= 0)
                codes.append(frame.code);
        QVERIFY2(codes.first() < 15, qPrintable(QString::number(codes.first())));
        QVERIFY(std::is_sorted(codes.begin(), codes.end()));
        QVERIFY(codes.last() > codes.first());

        // FADE from red to blue over the box's 800 ms: frames with both colours span about that long.
        cueRow(window, 1);
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cut")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(isPure(programA->currentFrame(), Qt::red), 15000);
        auto *fadeBox = window.findChild<QPushButton *>(QStringLiteral("cut"))->parentWidget()->findChild<QSpinBox *>();
        fadeBox->setValue(800);
        cueRow(window, 2);
        frames.clear();
        QTest::mouseClick(findByText<QPushButton>(window, QStringLiteral("FADE")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty() && frames.last().centre.red() < 8, 15000);
        // The share of blue in each frame rises from 0 to 1 over the dissolve; the time it takes to
        // go from 10 % to 90 % is 80 % of the dissolve's length.
        qint64 lastLow = -1;
        qint64 firstHigh = -1;
        for (const Published &frame : frames) {
            if (!frame.centre.isValid())
                continue;
            const double share = frame.centre.blueF() / std::max(0.01f, frame.centre.redF() + frame.centre.blueF());
            if (share <= 0.1 && firstHigh < 0)
                lastLow = frame.atMs;
            if (share >= 0.9 && firstHigh < 0)
                firstHigh = frame.atMs;
        }
        QString trace;
        for (const Published &frame : frames)
            trace += QStringLiteral(" %1:%2,%3").arg(frame.atMs).arg(frame.centre.red()).arg(frame.centre.blue());
        QVERIFY2(lastLow >= 0 && firstHigh > lastLow, qPrintable(trace));
        const qint64 dissolveMs = qRound((firstHigh - lastLow) / 0.8);
        qInfo("dissolve of 800 ms measured as %lld ms", dissolveMs);
        QVERIFY2(dissolveMs >= 650 && dissolveMs <= 1050, qPrintable(QString::number(dissolveMs)));
        QCOMPARE(window.preferences()->value(QStringLiteral("manualFadeMs")).toInt(), 800);

        // Loop and Black act on the selected Program's deck.
        auto *loop = findByText<QCheckBox>(window, QStringLiteral("Loop"));
        QTest::mouseClick(loop, Qt::LeftButton, {}, QPoint(8, loop->height() / 2));
        QVERIFY(programA->looping());
        QTest::mouseClick(findByText<QPushButton>(window, QStringLiteral("Black")), Qt::LeftButton);
        QVERIFY(programA->source().isEmpty());
        QVERIFY(!programA->currentFrame().isValid());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("readinessError");
        QTest::newRow("EDIT page showing") << "edit" << "unchanged" << "";
        QTest::newRow("another row current") << "row" << "Cue media before taking it to Program." << "";
        QTest::newRow("file touched after verification")
            << "touch" << "Cue media before taking it to Program." << "Media changed; cue again";
        QTest::newRow("nothing cued") << "none" << "Cue media before taking it to Program." << "";
    }

    void refusals()
    {
        QFETCH(QString, condition);
        QFETCH(QString, status);
        QFETCH(QString, readinessError);
        QTemporaryDir media;
        const QString clip = media.filePath(QStringLiteral("touched.mp4"));
        QVERIFY(QFile::copy(fixture(QStringLiteral("clip_360p25.mp4")), clip));
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.addMedia({clip, fixture(QStringLiteral("card_red.mp4"))});
        if (condition != QLatin1String("none"))
            cueRow(window, 0);
        if (condition == QLatin1String("edit"))
            window.showPage(1);
        if (condition == QLatin1String("row"))
            window.runningOrder()->setCurrentCell(1, 1);
        if (condition == QLatin1String("touch")) {
            QFile file(clip);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
        }
        window.setStatusRaw(QStringLiteral("before"));
        QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(window.statusText(), status == QLatin1String("unchanged") ? QStringLiteral("before") : status);
        if (!readinessError.isEmpty()) {
            QCOMPARE(window.cueReadiness()->state(), int(CueReadiness::Error));
            QCOMPARE(window.cueReadiness()->error(), readinessError);
        }
        QTest::qWait(500);
        QVERIFY(window.channel(0)->source().isEmpty());
        QVERIFY(!window.channel(0)->isPreparing());
    }

    void programChangeWaitsForAnUnappliedDraft()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QVERIFY(window.addProgram(false));
        QVERIFY(window.selectProgram(0, true));
        auto *selector = window.findChild<QComboBox *>(QStringLiteral("programSelector"));
        window.setEditorState(QStringLiteral("Unapplied changes"));
        selector->setCurrentIndex(1);
        QCOMPARE(window.statusText(), QStringLiteral("Apply or reset edits before changing Program."));
        QCOMPARE(selector->currentIndex(), 0);
        QCOMPARE(window.selectedProgram(), 0);
        window.setEditorState(QStringLiteral("Cue applied"));
        selector->setCurrentIndex(1);
        QCOMPARE(window.selectedProgram(), 1);
    }

    void runningOrderEdits()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString a = fixture(QStringLiteral("card_red.mp4"));
        const QString b = fixture(QStringLiteral("card_blue.mp4"));
        window.addMedia({a, b});
        const QList<Cue> before = window.workingPlaylist();
        QTableWidget *table = window.runningOrder();

        // Without a current row, Duplicate and Remove leave the order alone.
        table->setCurrentCell(-1, -1);
        moreAction(window, QStringLiteral("Duplicate cue"))->trigger();
        moreAction(window, QStringLiteral("Remove cue"))->trigger();
        QCOMPARE(window.workingPlaylist().size(), 2);

        // A double-click cues the row and adds nothing, however often.
        cueRow(window, 0);
        cueRow(window, 0);
        QCOMPARE(window.workingPlaylist().size(), 2);
        QCOMPARE(window.cuedRow(), 0);

        // Move up on the first row does nothing; Move down moves it and drops the cue.
        QPushButton *up = iconButton(window, QStringLiteral("Move up"));
        QPushButton *down = iconButton(window, QStringLiteral("Move down"));
        QTest::mouseClick(up, Qt::LeftButton);
        QCOMPARE(window.workingPlaylist()[0].source, before[0].source);
        QCOMPARE(window.cuedRow(), 0);
        QTest::mouseClick(down, Qt::LeftButton);
        QCOMPARE(window.workingPlaylist()[1].source, before[0].source);
        QCOMPARE(table->currentRow(), 1);
        QCOMPARE(window.cuedRow(), -1);
        QTest::mouseClick(down, Qt::LeftButton); // already last
        QCOMPARE(window.workingPlaylist()[1].source, before[0].source);

        moreAction(window, QStringLiteral("Duplicate cue"))->trigger();
        QCOMPARE(window.workingPlaylist().size(), 3);
        QCOMPARE(window.workingPlaylist()[2].source, before[0].source);
        QCOMPARE(table->currentRow(), 2);

        cueRow(window, 2);
        moreAction(window, QStringLiteral("Remove cue"))->trigger();
        QCOMPARE(window.workingPlaylist().size(), 2);
        QCOMPARE(window.cuedRow(), -1);
        QCOMPARE(window.editorRow(), -1);
        QCOMPARE(table->currentRow(), -1);
    }

    void storedPreferencesAreClamped_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QVariant>("read");
        QTest::newRow("fade below") << "manualFadeMs" << "0" << QVariant(1);
        QTest::newRow("fade above") << "manualFadeMs" << "20000" << QVariant(10000);
        QTest::newRow("fade not a number") << "manualFadeMs" << "soon" << QVariant(300);
        QTest::newRow("next Program id") << "nextProgramId" << "1" << QVariant(2);
        QTest::newRow("Link role") << "link/role" << "7" << QVariant(2);
        QTest::newRow("route area") << "outputArea3" << "-4" << QVariant(0);
        QTest::newRow("audio pair") << "localAudio/pair/B" << "40" << QVariant(31);
        QTest::newRow("volume") << "audioA/volume" << "250" << QVariant(100);
        QTest::newRow("web quality") << "webMonitorQuality" << "9" << QVariant(3);
        QTest::newRow("frame rate off the list") << "projectFps" << "27" << QVariant(0.0);
        QTest::newRow("frame rate on the list") << "projectFps" << "29.97" << QVariant(29.97);
        QTest::newRow("language") << "language" << "fr" << QVariant(QStringLiteral("en"));
        QTest::newRow("scaler") << "outputScaler0" << "bicubic" << QVariant(QStringLiteral("native"));
        QTest::newRow("bool") << "link/sync" << "maybe" << QVariant(false);
    }

    void storedPreferencesAreClamped()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QVariant, read);
        QSettings settings(state->filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat);
        settings.setValue(key, stored);
        QCOMPARE(PreferenceTable::read(settings, key), read);
        settings.remove(key);
        QVERIFY(PreferenceTable::find(key));
        QCOMPARE(PreferenceTable::read(settings, key), PreferenceTable::find(key)->absent);
    }

    void fadeBoxShowsTheClampedValue()
    {
        {
            QSettings settings(state->filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat);
            settings.setValue(QStringLiteral("manualFadeMs"), 0);
        }
        MainWindow window(false, QStringLiteral("en"), state->path());
        auto *fadeBox = window.findChild<QPushButton *>(QStringLiteral("cut"))->parentWidget()->findChild<QSpinBox *>();
        QCOMPARE(fadeBox->value(), 1);
    }

    void sampleBoardLeavesPreferencesUntouched()
    {
        const QString path = state->filePath(QStringLiteral("preferences.ini"));
        {
            QSettings settings(path, QSettings::IniFormat);
            settings.setValue(QStringLiteral("manualFadeMs"), 700);
            settings.setValue(QStringLiteral("language"), QStringLiteral("en"));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        file.close();
        {
            MainWindow window(true, QStringLiteral("en"), state->path());
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            auto *fadeBox = window.findChild<QPushButton *>(QStringLiteral("cut"))->parentWidget()->findChild<QSpinBox *>();
            QCOMPARE(fadeBox->value(), 700);
            fadeBox->setValue(2500);
            window.writePreference(QStringLiteral("link/role"), 1);
            QVERIFY(window.addProgram(false));
            QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier);
            QCOMPARE(window.statusText(), QStringLiteral("Layout preview — sample content"));
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
    }

    void unwritablePreferencesWarnOnce()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        const QString path = window.preferences()->fileName();
        // A directory in the file's place cannot be replaced by the settings writer, even for root.
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
        auto *fadeBox = window.findChild<QPushButton *>(QStringLiteral("cut"))->parentWidget()->findChild<QSpinBox *>();
        fadeBox->setValue(450);
        QCOMPARE(window.statusText(), QStringLiteral("Preferences could not be saved."));
        window.setStatusRaw(QStringLiteral("later"));
        fadeBox->setValue(500);
        QCOMPARE(window.statusText(), QStringLiteral("later"));
        QVERIFY(QDir().rmdir(path));
    }

    void librarySearchIgnoresCase()
    {
        QTemporaryDir media;
        QStringList paths;
        for (const char *name : {"Opening.MOV.mp4", "closing_mov.mp4", "interval.mp4"}) {
            paths << media.filePath(QString::fromLatin1(name));
            QVERIFY(QFile::copy(fixture(QStringLiteral("card_red.mp4")), paths.last()));
        }
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.addMedia(paths);
        window.showPage(2);
        QLineEdit *search = nullptr;
        for (QLineEdit *edit : window.findChildren<QLineEdit *>())
            if (edit->placeholderText() == QStringLiteral("Search media"))
                search = edit;
        QVERIFY(search);
        QTableWidget *table = nullptr;
        for (QTableWidget *candidate : window.findChildren<QTableWidget *>())
            if (candidate->parentWidget() == search->parentWidget())
                table = candidate;
        QVERIFY(table);
        QTRY_COMPARE(table->rowCount(), 3);
        const auto shownNames = [table] {
            QStringList names;
            for (int row = 0; row < table->rowCount(); ++row)
                if (!table->isRowHidden(row))
                    names << table->item(row, 1)->text();
            return names;
        };
        QTest::keyClicks(search, QStringLiteral("MOV"));
        QCOMPARE(shownNames().size(), 2);
        QVERIFY(!shownNames().join(QLatin1Char(' ')).contains(QLatin1String("interval")));
        // A refill of the table keeps the filter.
        window.refreshPlaylistTable();
        QTRY_COMPARE(shownNames().size(), 2);
        search->clear();
        QCOMPARE(shownNames().size(), 3);

        // A double-click on a file the Program already holds adds no second cue, nor on the sample board.
        const int cues = window.workingPlaylist().size();
        table->setRowHidden(0, false);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(0, 1)).center());
        QCOMPARE(window.workingPlaylist().size(), cues);
        MainWindow board(true, QStringLiteral("en"), state->path());
        const int boardCues = board.workingPlaylist().size();
        for (QTableWidget *candidate : board.findChildren<QTableWidget *>())
            emit candidate->cellDoubleClicked(0, 1);
        QCOMPARE(board.workingPlaylist().size(), boardCues);
    }

    void f1OpensTheHelpOfTheLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("firstHeading");
        QTest::newRow("en") << "en" << "Quick start" << "Your first show";
        QTest::newRow("pt-BR") << "pt-BR" << "Guia rápido" << "Seu primeiro show";
    }

    void f1OpensTheHelpOfTheLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, title);
        QFETCH(QString, firstHeading);
        MainWindow window(false, language, state->path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.showPage(1);
        QString shownTitle;
        QString shownText;
        QTimer::singleShot(200, this, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            if (!dialog)
                return;
            shownTitle = dialog->windowTitle();
            if (auto *browser = dialog->findChild<QTextBrowser *>())
                shownText = browser->toPlainText();
            dialog->close();
        });
        QTest::keyClick(&window, Qt::Key_F1);
        QTRY_VERIFY(!shownTitle.isEmpty());
        QCOMPARE(shownTitle, title);
        QVERIFY2(shownText.startsWith(firstHeading), qPrintable(shownText.left(80)));
    }

    void multiviewGrid_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("tiles");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("tileHeight");
        QTest::newRow("two, narrow") << 431 << 300 << 2 << 1 << 146;
        QTest::newRow("two side by side") << 432 << 300 << 2 << 2 << 240;
        QTest::newRow("three columns") << 652 << 300 << 3 << 3 << 240;
        QTest::newRow("never four") << 2000 << 300 << 8 << 3 << 142;
        QTest::newRow("five in two rows") << 700 << 400 << 5 << 3 << 196;
        QTest::newRow("too low") << 700 << 100 << 5 << 3 << 124;
        QTest::newRow("one, tall") << 300 << 900 << 1 << 1 << 240;
    }

    void multiviewGrid()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, tiles);
        QFETCH(int, columns);
        QFETCH(int, tileHeight);
        const MultiviewGrid grid(width, height, tiles);
        QCOMPARE(grid.columns(), columns);
        QCOMPARE(grid.tileHeight(), tileHeight);
    }

    void multiviewTilesFollowTheGrid()
    {
        MainWindow window(true, QStringLiteral("en"), state->path());
        QVERIFY(window.addProgram(true));
        QVERIFY(window.addProgram(true));
        window.resize(1500, 950);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *area = window.findChild<QScrollArea *>(QStringLiteral("programMultiview"));
        QVERIFY(area);
        QTRY_VERIFY(area->viewport()->width() > 0);
        const QList<QFrame *> tiles = window.findChildren<QFrame *>(QStringLiteral("programTile"));
        QCOMPARE(tiles.size(), 3);
        const MultiviewGrid grid(area->viewport()->width(), area->viewport()->height(), 3);
        QTRY_COMPARE(tiles[0]->height(), grid.tileHeight());
        const int distinctRows = int(QSet<int>{tiles[0]->y(), tiles[1]->y(), tiles[2]->y()}.size());
        QCOMPARE(distinctRows, grid.rows());
    }

    void inspectorRounding_data()
    {
        QTest::addColumn<double>("in");
        QTest::addColumn<double>("out");
        QTest::addColumn<qint64>("inMs");
        QTest::addColumn<qint64>("outMs");
        QTest::newRow("milliseconds kept") << 1.234 << 3.0 << qint64(1234) << qint64(3000);
        QTest::newRow("negative Out ends at the end") << 0.0 << -0.5 << qint64(0) << qint64(-1);
        QTest::newRow("End of media") << 0.5 << -1.0 << qint64(500) << qint64(-1);
    }

    void inspectorRounding()
    {
        QFETCH(double, in);
        QFETCH(double, out);
        QFETCH(qint64, inMs);
        QFETCH(qint64, outMs);
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.addMedia({fixture(QStringLiteral("card_red.mp4"))});
        window.runningOrder()->setCurrentCell(0, 1);
        window.loadCueEditor(0);
        auto *inBox = window.findChild<QDoubleSpinBox *>(QStringLiteral("cueIn"));
        auto *outBox = window.findChild<QDoubleSpinBox *>(QStringLiteral("cueOut"));
        inBox->setValue(in);
        outBox->setValue(out);
        if (out <= -1)
            QCOMPARE(outBox->text(), QStringLiteral("End of media"));
        QVERIFY(window.applyEditedCue());
        QCOMPARE(window.workingPlaylist()[0].in_ms, inMs);
        QCOMPARE(window.workingPlaylist()[0].out_ms, outMs);
    }

    void editCueVerifiesTheRowOnThePreview()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.addMedia({fixture(QStringLiteral("card_red.mp4")), fixture(QStringLiteral("card_blue.mp4"))});
        window.runningOrder()->setCurrentCell(1, 1);
        QTest::mouseClick(findByText<QPushButton>(window, QStringLiteral("Edit cue"), false), Qt::LeftButton);
        QCOMPARE(window.pages()->currentIndex(), 1);
        QCOMPARE(window.editorRow(), 1);
        QCOMPARE(window.cuedRow(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(window.cueReadiness()->readyFor(window.workingPlaylist()[1]), 20000);
    }

    void editedBoxesAreADraftUntilResetOrApplied()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QVERIFY(window.addProgram(false));
        QVERIFY(window.selectProgram(0, true));
        window.addMedia({fixture(QStringLiteral("card_red.mp4"))});
        window.loadCueEditor(0);
        QCOMPARE(window.editorState(), QStringLiteral("Cue settings loaded"));
        auto *fadeIn = window.findChild<QDoubleSpinBox *>(QStringLiteral("cueIn"));
        fadeIn->setValue(0.5);
        QCOMPARE(window.editorState(), QStringLiteral("Unapplied changes"));
        auto *selector = window.findChild<QComboBox *>(QStringLiteral("programSelector"));
        selector->setCurrentIndex(1);
        QCOMPARE(window.selectedProgram(), 0);
        QCOMPARE(window.statusText(), QStringLiteral("Apply or reset edits before changing Program."));
        QTest::mouseClick(findByText<QPushButton>(window, QStringLiteral("Reset edits"), false), Qt::LeftButton);
        QCOMPARE(window.editorState(), QStringLiteral("Cue settings loaded"));
        QCOMPARE(fadeIn->value(), 0.0);
        QCOMPARE(window.workingPlaylist()[0].in_ms, qint64(0));
        selector->setCurrentIndex(1);
        QCOMPARE(window.selectedProgram(), 1);
    }

    // Program A's panel detaches into its own window and docks back from the note left in its place;
    // the window's geometry is kept for the next detach.
    void programPanelDetachesAndDocksFromItsNote()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.resize(1400, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QPushButton *detach = detachButton(window, 1);
        QVERIFY(detach);
        QTest::mouseClick(detach, Qt::LeftButton);
        QCOMPARE(window.deckWindowList().size(), 1);
        DeckWindow *deckWindow = window.deckWindowList().first();
        QVERIFY(QTest::qWaitForWindowExposed(deckWindow));
        auto *badge = deckWindow->findChild<QLabel *>(QStringLiteral("onAirBadge"));
        auto *stateLabel = deckWindow->findChild<QLabel *>(QStringLiteral("deckState"));
        QVERIFY(deckWindow->findChild<QFrame *>(QStringLiteral("deck")) && badge && stateLabel);
        QVERIFY(!badge->isVisible());
        QCOMPARE(stateLabel->text(), QStringLiteral("Empty"));
        QCOMPARE(deckWindow->findChild<QLabel *>(QStringLiteral("timecode"))->text(), QStringLiteral("00:00:00"));
        QVERIFY(deckWindow->windowTitle().endsWith(QStringLiteral(" — Zelvo Playout")));
        const QList<QStackedWidget *> programSlots = deckSlots(window, 1);
        QCOMPARE(programSlots.size(), 1);
        QCOMPARE(programSlots.first()->currentIndex(), 1);
        // Detaching again brings the same window forward.
        QTest::mouseClick(detach, Qt::LeftButton);
        QCOMPARE(window.deckWindowList(), QList<DeckWindow *>{deckWindow});

        QPointer<DeckWindow> guard(deckWindow);
        auto *note = programSlots.first()->findChild<QPushButton *>(QStringLiteral("dockNote"));
        QVERIFY(note && note->isVisible());
        QTest::mouseClick(note, Qt::LeftButton);
        QTRY_VERIFY(guard.isNull());
        QVERIFY(window.deckWindowList().isEmpty());
        QCOMPARE(programSlots.first()->currentIndex(), 0);
        QSettings settings(state->filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat);
        QVERIFY(!settings.value(QStringLiteral("deckWindows/program1/geometry")).toByteArray().isEmpty());
    }

    // The Preview is shown on MAIN and on EDIT: detaching it leaves the dock note on both, and its
    // window's own "Dock deck" returns the picture to both.
    void previewDetachesFromMainAndEditTogether()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.resize(1400, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QList<QStackedWidget *> previewSlots = deckSlots(window, -1);
        QCOMPARE(previewSlots.size(), 2);
        QTest::mouseClick(detachButton(window, -1), Qt::LeftButton);
        QCOMPARE(window.deckWindowList().size(), 1);
        for (QStackedWidget *slot : previewSlots)
            QCOMPARE(slot->currentIndex(), 1);
        QPointer<DeckWindow> deckWindow = window.deckWindowList().first();
        QVERIFY(QTest::qWaitForWindowExposed(deckWindow));
        QVERIFY(!deckWindow->findChild<QLabel *>(QStringLiteral("onAirBadge"))->isVisible());
        QPushButton *dock = nullptr;
        for (QPushButton *button : deckWindow->findChildren<QPushButton *>())
            if (button->property("tipKey").toString() == QStringLiteral("Dock deck"))
                dock = button;
        QVERIFY(dock);
        QTest::mouseClick(dock, Qt::LeftButton);
        QTRY_VERIFY(deckWindow.isNull());
        for (QStackedWidget *slot : previewSlots)
            QCOMPARE(slot->currentIndex(), 0);
    }

    // One listen button checks every other and hides the MAIN Preview's "Muted" badge; the EDIT
    // Preview's own state keeps reading "Muted".
    void listenButtonsAgree()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        window.resize(1400, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QList<QPushButton *> listen = window.findChildren<QPushButton *>(QStringLiteral("previewListen"));
        QCOMPARE(listen.size(), 2);
        QLabel *badge = nullptr;
        for (QLabel *label : window.findChildren<QLabel *>(QStringLiteral("deckState")))
            if (label->property("preview").toBool())
                badge = label;
        QVERIFY(badge && badge->isVisible());
        QPushButton *shown = listen.first()->isVisible() ? listen.first() : listen.last();
        QTest::mouseClick(shown, Qt::LeftButton);
        QVERIFY(window.isListeningToPreview());
        for (QPushButton *button : listen)
            QVERIFY(button->isChecked());
        QVERIFY(!badge->isVisible());
        QVERIFY(findByText<QLabel>(window, QStringLiteral("Muted"), false));
        QTest::mouseClick(shown, Qt::LeftButton);
        QVERIFY(!window.isListeningToPreview());
        for (QPushButton *button : listen)
            QVERIFY(!button->isChecked());
        QVERIFY(badge->isVisible());
    }

private:
    static QPushButton *detachButton(MainWindow &window, int deckKey)
    {
        for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("iconButton")))
            if (button->property("tipKey").toString() == QStringLiteral("Detach deck")
                && button->property("deckKey").toInt() == deckKey && button->isVisible())
                return button;
        return nullptr;
    }

    static QList<QStackedWidget *> deckSlots(MainWindow &window, int deckKey)
    {
        QList<QStackedWidget *> found;
        for (QStackedWidget *slot : window.findChildren<QStackedWidget *>(QStringLiteral("deckSlot")))
            if (slot->property("deckKey").toInt() == deckKey)
                found << slot;
        return found;
    }

    std::unique_ptr<QTemporaryDir> state;

    // Double-clicks the row, as an operator cues it, and waits until the Preview has proven it.
    static void cueRow(MainWindow &window, int row)
    {
        QTableWidget *table = window.runningOrder();
        const QPoint at = table->visualRect(table->model()->index(row, 1)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(table->currentRow(), row);
        QTRY_VERIFY_WITH_TIMEOUT(window.cueReadiness()->readyFor(window.workingPlaylist()[row]), 20000);
    }

    static int codesSeen(const QList<Published> &frames)
    {
        return int(std::count_if(frames.begin(), frames.end(), [](const Published &f) { return f.code >= 0; }));
    }

    static bool isBlue(const QColor &c) { return c.isValid() && c.blue() > 180 && c.red() < 40; }

    static bool isPure(const QVideoFrame &frame, Qt::GlobalColor colour)
    {
        if (!frame.isValid())
            return false;
        const QImage image = frame.toImage();
        const QColor c = image.pixelColor(image.rect().center());
        return colour == Qt::red ? c.red() > 180 && c.blue() < 40 : isBlue(c);
    }

    template <typename T> static T *findByText(MainWindow &window, const QString &text, bool visible = true)
    {
        for (T *widget : window.findChildren<T *>())
            if (widget->text() == text && (widget->isVisible() || !visible))
                return widget;
        return nullptr;
    }

    static QPushButton *iconButton(MainWindow &window, const QString &tip)
    {
        for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("iconButton")))
            if (button->property("tipKey").toString() == tip && button->isVisible())
                return button;
        return nullptr;
    }

    static QAction *moreAction(MainWindow &window, const QString &key)
    {
        for (QMenu *menu : window.findChildren<QMenu *>())
            for (QAction *action : menu->actions())
                if (action->property("textKey").toString() == key)
                    return action;
        return nullptr;
    }
};

QTEST_MAIN(DeskTest)
#include "tst_desk.moc"
