// The Program list of the operator window: ids, keys, limits, layouts, shows replacing Programs,
// removal, local-audio pairs and media intake, on a real window with real decks.
#include "app/MainWindow.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/display/OutputWindow.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::unique_ptr<MainWindow> makeWindow(const QString &stateDir, const QString &language = QStringLiteral("en"))
{
    return std::make_unique<MainWindow>(false, language, stateDir);
}

QList<int> ids(const MainWindow &window)
{
    QList<int> result;
    for (const ShowProgram &program : window.programList())
        result << program.id;
    return result;
}

OutputConfig layout(int programs, QList<int> displays)
{
    OutputConfig config;
    config.programs = programs;
    config.displays = int(displays.size());
    config.displayPrograms = displays;
    return config;
}

} // namespace

class ProgramModelTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        state = std::make_unique<QTemporaryDir>();
    }

    void startsWithProgramA()
    {
        auto window = makeWindow(state->path());
        QCOMPARE(window->programTotal(), 1);
        QCOMPARE(ids(*window), QList<int>{1});
        QCOMPARE(window->programList().first().name, QStringLiteral("Program A"));
        QCOMPARE(window->windowTitle(), QStringLiteral("Zelvo Playout — v0.1.0 (build 0001)"));
        QCOMPARE(window->size(), QSize(1600, 1000));
        QCOMPARE(window->minimumSize(), QSize(1280, 800));
        QCOMPARE(window->routeTotal(), 1);
        QCOMPARE(window->programPanelCount(), 1);
        QVERIFY(window->hasAutosaveTimer());
    }

    void storedNextIdIsClamped_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("zero") << 0 << 2;
        QTest::newRow("negative") << -7 << 2;
        QTest::newRow("inside") << 40 << 40;
        QTest::newRow("past the last id") << 5000000 << 1000001;
    }

    void storedNextIdIsClamped()
    {
        QFETCH(int, stored);
        QFETCH(int, expected);
        {
            QSettings settings(state->path() + QStringLiteral("/preferences.ini"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("nextProgramId"), stored);
        }
        auto window = makeWindow(state->path());
        QCOMPARE(window->nextId(), expected);
    }

    void idsKeysAndNames()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->addProgram(false));
        QVERIFY(window->addProgram(false));
        QCOMPARE(ids(*window), (QList<int>{1, 2, 3}));
        QCOMPARE(window->programKey(0), QStringLiteral("A"));
        QCOMPARE(window->programKey(1), QStringLiteral("B"));
        QCOMPARE(window->programKey(2), QStringLiteral("Program3"));
        QCOMPARE(window->programName(2), QStringLiteral("Program C"));
        QCOMPARE(window->programName(7), QStringLiteral("Not available"));
        QCOMPARE(window->selectedProgram(), 2);
        QCOMPARE(MainWindow::defaultProgram(26).name, QStringLiteral("Program Z"));
        QCOMPARE(MainWindow::defaultProgram(27).name, QStringLiteral("Program 27"));
        QCOMPARE(window->programPanelCount(), 3);
        // The next run continues after the ids handed out.
        QCOMPARE(window->preferences()->value(QStringLiteral("nextProgramId")).toInt(), 4);
        // Every route lists every Program.
        QCOMPARE(window->routeSource(0)->count(), 3);
    }

    void lastIdsAndTheSixtyFourLimit()
    {
        {
            QSettings settings(state->path() + QStringLiteral("/preferences.ini"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("nextProgramId"), 1000000);
        }
        auto window = makeWindow(state->path());
        QVERIFY(window->addProgram(false));
        QCOMPARE(window->programList().last().id, 1000000);
        QCOMPARE(window->programKey(1), QStringLiteral("Program1000000"));
        QVERIFY(!window->addProgram(false));
        QCOMPARE(window->statusText(), QStringLiteral("Program allocation limit reached"));
        QCOMPARE(window->programTotal(), 2);

        auto fresh = makeWindow(QTemporaryDir().path());
        for (int i = 1; i < 64; ++i)
            QVERIFY(fresh->addProgram(false));
        QCOMPARE(fresh->programTotal(), 64);
        QVERIFY(!fresh->addProgram(false));
        QCOMPARE(fresh->statusText(), QStringLiteral("Program allocation limit reached"));
        QCOMPARE(fresh->programTotal(), 64);
    }

    void unappliedEditsBlockANewProgram()
    {
        auto window = makeWindow(state->path());
        window->setEditorState(QStringLiteral("Unapplied changes"));
        QVERIFY(!window->addProgram(false));
        QCOMPARE(window->statusText(), QStringLiteral("Apply or reset edits before changing Program."));
        QCOMPARE(window->programTotal(), 1);
    }

    void layoutsAreCheckedBeforeAnyChange_data()
    {
        QTest::addColumn<int>("programs");
        QTest::addColumn<QList<int>>("displays");
        QTest::newRow("65 Programs") << 65 << QList<int>{0};
        QTest::newRow("no Program") << 0 << QList<int>{0};
        QTest::newRow("no route") << 1 << QList<int>{};
        QTest::newRow("route past the Programs") << 2 << QList<int>{0, 2};
        QTest::newRow("negative route") << 2 << QList<int>{-1};
        QList<int> many(129, 0);
        QTest::newRow("129 routes") << 1 << many;
    }

    void layoutsAreCheckedBeforeAnyChange()
    {
        QFETCH(int, programs);
        QFETCH(QList<int>, displays);
        auto window = makeWindow(state->path());
        QVERIFY(!window->applyOutputConfiguration(layout(programs, displays), true));
        QCOMPARE(window->statusText(), QStringLiteral("Invalid output configuration"));
        QCOMPARE(window->programTotal(), 1);
        QCOMPARE(window->routeTotal(), 1);
        QVERIFY(!window->isModified());
        // A route list whose length differs from the route count is refused the same way.
        OutputConfig wrongLength = layout(1, {0, 0});
        wrongLength.displays = 3;
        QVERIFY(!window->applyOutputConfiguration(wrongLength, true));
    }

    void layoutGrowsAndShrinks()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->applyOutputConfiguration(layout(3, {0, 1, 2, 1}), true));
        QCOMPARE(ids(*window), (QList<int>{1, 2, 3}));
        QCOMPARE(window->programList()[2].name, QStringLiteral("Program C"));
        QCOMPARE(window->routeTotal(), 4);
        QCOMPARE(window->currentOutputConfig(), layout(3, {0, 1, 2, 1}));
        QVERIFY(window->isModified());
        QCOMPARE(window->programPanelCount(), 3);
        // Growing by layout does not store the next id; adding a Program does.
        QVERIFY(!window->preferences()->contains(QStringLiteral("nextProgramId")));

        QVERIFY(window->selectProgram(2, true));
        QVERIFY(window->applyOutputConfiguration(layout(1, {0}), false));
        QCOMPARE(window->selectedProgram(), 0);
        QCOMPARE(ids(*window), QList<int>{1});
        QCOMPARE(window->routeTotal(), 1);
        QCOMPARE(window->programPanelCount(), 1);
        // Ids are never handed out twice in one run.
        QVERIFY(window->addProgram(false));
        QCOMPARE(window->programList().last().id, 4);
    }

    void oneHundredTwentyEightRoutes()
    {
        auto window = makeWindow(state->path());
        QList<int> routes(128, 0);
        QVERIFY(window->applyOutputConfiguration(layout(1, routes), false));
        QCOMPARE(window->routeTotal(), 128);
        QVERIFY(!window->addRoute(0));
        QCOMPARE(window->routeTotal(), 128);
        QVERIFY(!window->addRoute(1));
    }

    void busyProgramIsNotRemoved()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->applyOutputConfiguration(layout(3, {0}), false));
        // A folder scan feeding Program C keeps it busy.
        window->setFolderScanTargetForTesting(3, true);
        QVERIFY(!window->applyOutputConfiguration(layout(2, {0}), false));
        QCOMPARE(window->statusText(),
                 QStringLiteral("Black the Program and close its display and digital outputs before removing it."));
        QCOMPARE(window->programTotal(), 3);
        window->setFolderScanTargetForTesting(1, false);
        QVERIFY(window->applyOutputConfiguration(layout(2, {0}), false));
    }

    void removalRemapsRoutes()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->applyOutputConfiguration(layout(4, {3, 1, 2, 0}), false));
        QVERIFY(window->selectProgram(1, true));
        QVERIFY(window->removeSelectedProgram());
        QCOMPARE(ids(*window), (QList<int>{1, 3, 4}));
        QCOMPARE(window->selectedProgram(), 0);
        // Program D moved from index 3 to 2; the route that showed Program B falls back to A.
        QCOMPARE(window->currentOutputConfig(), layout(3, {2, 0, 1, 0}));
        QCOMPARE(window->routeSource(0)->currentText(), QStringLiteral("Program D"));
        QCOMPARE(window->programPanelCount(), 3);

        // A hidden output window of the removed Program goes with it.
        window->routeSource(0)->setCurrentIndex(1);
        window->openDisplayOutput(0);
        QPointer<OutputWindow> output = window->routeWindow(0);
        QVERIFY(output);
        output->hide();
        QVERIFY(window->selectProgram(1, true));
        QVERIFY(window->removeSelectedProgram());
        QVERIFY(output.isNull());
        QCOMPARE(window->routeOpenedIndex(0), -1);
        QCOMPARE(window->routeSource(0)->currentIndex(), 0);

        QVERIFY(window->selectProgram(0, true));
        QVERIFY(!window->removeSelectedProgram());
        QCOMPARE(window->statusText(), QStringLiteral("The main Program cannot be removed."));
    }

    void showWithOtherIdsReplacesPrograms()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->applyOutputConfiguration(layout(2, {0}), false));
        NativeChannel *kept = window->channel(0);
        NativeChannel *replaced = window->channel(1);
        QPointer<NativeChannel> guard(replaced);

        Show show;
        show.outputs = layout(2, {1, 0});
        show.programs = {ShowProgram{1, QStringLiteral("Main"), {}}, ShowProgram{5, QStringLiteral("Lobby"), {}}};
        show.library = {QStringLiteral("/media/a.mp4")};

        // While Program 2 shows on a display the open is refused and nothing changes.
        window->routeSource(0)->setCurrentIndex(1);
        window->openDisplayOutput(0);
        QVERIFY(window->routeWindow(0));
        QVERIFY(!window->applyShowState(show, QStringLiteral("/shows/night.zelvoshow")));
        QCOMPARE(window->statusText(),
                 QStringLiteral("Black the Program and close its display and digital outputs before removing it."));
        QCOMPARE(ids(*window), (QList<int>{1, 2}));
        window->routeWindow(0)->close();
        QTRY_VERIFY(!window->routeWindow(0));

        QVERIFY(window->applyShowState(show, QStringLiteral("/shows/night.zelvoshow")));
        QCOMPARE(ids(*window), (QList<int>{1, 5}));
        QVERIFY(guard.isNull());
        QCOMPARE(window->channel(0), kept);
        QCOMPARE(window->programName(1), QStringLiteral("Lobby"));
        QCOMPARE(window->currentOutputConfig(), layout(2, {1, 0}));
        QCOMPARE(window->mediaLibrary(), QStringList{QStringLiteral("/media/a.mp4")});
        QCOMPARE(window->nextId(), 6);
        QVERIFY(!window->isModified());
        QCOMPARE(window->currentShowPath(), QStringLiteral("/shows/night.zelvoshow"));

        // Matching ids keep their engines.
        NativeChannel *lobby = window->channel(1);
        show.programs[1].name = QStringLiteral("Foyer");
        QVERIFY(window->applyShowState(show, QStringLiteral("/shows/night.zelvoshow")));
        QCOMPARE(window->channel(1), lobby);
        QCOMPARE(window->programName(1), QStringLiteral("Foyer"));
    }

    void badShowLayoutChangesNothing()
    {
        auto window = makeWindow(state->path());
        Show show;
        show.outputs = layout(2, {0});
        show.programs = {ShowProgram{2, QStringLiteral("B first"), {}}, ShowProgram{1, QStringLiteral("A"), {}}};
        QVERIFY(!window->applyShowState(show, QString()));
        QCOMPARE(ids(*window), QList<int>{1});
    }

    void lookupsOutsideTheListGiveNull()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->addProgram(false));
        QVERIFY(window->channel(0));
        QVERIFY(window->channel(1));
        QTest::ignoreMessage(QtWarningMsg, "No Program at index 2");
        QCOMPARE(window->channel(2), nullptr);
        QTest::ignoreMessage(QtWarningMsg, "No Program at index -1");
        QCOMPARE(window->controller(-1), nullptr);
        QCOMPARE(window->deck(-1), window->previewChannel());
        QCOMPARE(window->deck(2), window->channel(1));
        QCOMPARE(window->deck(99), nullptr);
        QCOMPARE(window->channelForProgramId(99), nullptr);
        QCOMPARE(window->programNameForId(99), QStringLiteral("Not available"));
        // A route pointing past the Programs refuses to open instead of reaching a missing deck.
        window->routeSource(0)->setCurrentIndex(-1);
        window->openDisplayOutput(0);
        QCOMPARE(window->statusText(), QStringLiteral("Add this output before opening it."));
        window->openDisplayOutput(5);
        QCOMPARE(window->statusText(), QStringLiteral("Add this output before opening it."));
    }

    void localAudioPairs()
    {
        auto window = makeWindow(state->path());
        QVERIFY(window->applyOutputConfiguration(layout(3, {0}), false));
        QVERIFY(window->addProgram(false)); // id 4
        QSettings *settings = window->preferences();
        settings->setValue(QStringLiteral("localAudio/pair/A"), 3);
        settings->setValue(QStringLiteral("localAudio/pair/B"), -3);
        settings->setValue(QStringLiteral("localAudio/pair/Program3"), 40);
        settings->setValue(QStringLiteral("localAudio/pair/Program4"), QStringLiteral("x"));
        const QList<LocalAudioRoute> routes = window->localAudioPairs(-1);
        QCOMPARE(routes.size(), 4);
        QCOMPARE(routes[0].firstChannel, 6);
        QCOMPARE(routes[1].firstChannel, 0);
        QCOMPARE(routes[2].firstChannel, 62);
        QCOMPARE(routes[3].firstChannel, 0);
        QCOMPARE(routes[2].deck.data(), window->channel(2));
        const QList<LocalAudioRoute> without = window->localAudioPairs(1);
        QCOMPARE(without.size(), 3);
        QCOMPARE(without[1].deck.data(), window->channel(2));
    }

    void programAddedWhileTheEngineRunsSoundsThere()
    {
        auto window = makeWindow(state->path());
        auto engine = std::make_unique<LocalAudioEngine>();
        QVERIFY(engine->start(LocalAudioEngine::TestDevice, QString(), 256));
        window->setLocalAudioEngine(std::move(engine));
        window->applyLocalAudioRoutes(-1);
        QVERIFY(window->channel(0)->externalOutput());
        QVERIFY(window->addProgram(false));
        QVERIFY(window->channel(1)->externalOutput());
        window->localAudioEngine()->stop();
        window->applyLocalAudioRoutes(-1);
        QVERIFY(!window->channel(1)->externalOutput());
    }

    void mediaPathsAreCaseSensitive()
    {
        QTemporaryDir media;
        const QString upper = media.filePath(QStringLiteral("Clip.mp4"));
        const QString lower = media.filePath(QStringLiteral("clip.mp4"));
        for (const QString &path : {upper, lower}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        auto window = makeWindow(state->path());
        window->addMedia({upper, lower, upper, media.filePath(QStringLiteral("missing.mp4")), media.path()});
        QCOMPARE(window->mediaLibrary(), (QStringList{upper, lower}));
        QCOMPARE(window->workingPlaylist().size(), 2);
        QCOMPARE(window->workingPlaylist()[1].source, lower);
        QVERIFY(window->isModified());
        // Library only.
        window->addMedia({upper}, -1);
        QCOMPARE(window->workingPlaylist().size(), 2);
    }

    void operatorNamesAreNotTranslated()
    {
        auto window = makeWindow(state->path(), QStringLiteral("pt-BR"));
        QVERIFY(window->addProgram(false));
        Show show = window->currentShow();
        show.programs[1].name = QStringLiteral("Program notes");
        show.programs.append(ShowProgram{27, QStringLiteral("Program 27"), {}});
        show.outputs = layout(3, {0});
        QVERIFY(window->applyShowState(show, QString()));
        QCOMPARE(window->programName(0), QStringLiteral("Programa A"));
        QCOMPARE(window->programName(1), QStringLiteral("Program notes"));
        QCOMPARE(window->programName(2), QStringLiteral("Programa 27"));
        QCOMPARE(window->routeSource(0)->itemText(1), QStringLiteral("Program notes"));
    }

    void allMediaPathsAndCopyOfProgramA()
    {
        auto window = makeWindow(state->path());
        Show show;
        show.outputs = layout(2, {0});
        show.library = {QStringLiteral("/m/a.mp4"), QStringLiteral("/m/b.mp4")};
        show.programs = {ShowProgram{1, QStringLiteral("Program A"), {Cue::forPath(QStringLiteral("/m/b.mp4")),
                                                                      Cue::forPath(QStringLiteral("/m/B.mp4"))}},
                         ShowProgram{2, QStringLiteral("Program B"), {Cue::forPath(QStringLiteral("/m/c.mp4"))}}};
        QVERIFY(window->applyShowState(show, QString()));
        QCOMPARE(window->allMediaPaths(), (QStringList{QStringLiteral("/m/a.mp4"), QStringLiteral("/m/b.mp4"),
                                                       QStringLiteral("/m/B.mp4"), QStringLiteral("/m/c.mp4")}));
        QCOMPARE(window->missingMedia().size(), 4);

        QVERIFY(window->selectProgram(1, false));
        QVERIFY(!window->copyFromProgramA());
        QCOMPARE(window->statusText(), QStringLiteral("Copy A into an empty playlist. Existing items were preserved."));
        QCOMPARE(window->workingPlaylist().size(), 1);
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(ProgramModelTest)
#include "tst_programmodel.moc"
