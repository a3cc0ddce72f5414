// User-interface self-test, fourth stretch: removing Programs while others play, the audio going
// back to the decks, independent playlists, the three-Program layout, and five display routes with
// mirrored sources.
#include "app/MainWindow.h"
#include "app/UiTestRun.h"
#include "app/widgets/DeckWindow.h"

#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/display/OutputWindow.h"

#include <QAudioOutput>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QPushButton>
#include <QTableWidget>

namespace {
const Cue &activeCue(NativeChannel *deck)
{
    return deck->slot(deck->activeSlot()).cue;
}

bool slotsBothMuted(NativeChannel *deck)
{
    const QAudioOutput *first = deck->slot(0).audioOutput;
    const QAudioOutput *second = deck->slot(1).audioOutput;
    return first && second && first->isMuted() && second->isMuted();
}
}

QPushButton *MainWindow::uiTestRouteButton(bool add) const
{
    return uiTestButton(add ? QStringLiteral("+ Add display output") : QStringLiteral("Remove last display output"),
                        outputsTabs ? outputsTabs->widget(0) : nullptr);
}

int MainWindow::uiTestEngineRoutes() const
{
    return localAudio ? int(localAudio->state().value(QStringLiteral("routes")).toArray().size()) : -1;
}

void MainWindow::uiTestRemoval(UiTestRun &run)
{
    if (QPushButton *remove = uiTestRouteButton(false))
        remove->click();
    selectProgram(4, true);
    const bool removedE = removeSelectedProgram();
    selectProgram(3, true);
    const bool removedD = removeSelectedProgram();
    selectProgram(2, true);
    UiTestRun::pump(50);
    run.record(QStringLiteral("multiview_shrinks_without_stopping_surviving_programs"),
               removedE && removedD && programCount == 3 && tiles.size() == 3 && uiTestPlaying(0) && uiTestPlaying(1));

    // Only meaningful when E's deck really was detached before E went.
    run.record(QStringLiteral("removing_program_closes_its_detached_deck"),
               run.fifthDeckDetached && deckWindowList().isEmpty());

    run.record(QStringLiteral("program_add_remove_updates_engine_routes"),
               run.engineRoutesWithFive == 5 && run.fifthExternalWithFive && uiTestEngineRoutes() == 3);

    // The engine must have owned the decks until now, or there is nothing to give back.
    bool returned = localAudio && localAudio->isRunning();
    if (localAudio)
        localAudio->stop();
    UiTestRun::pump(30);
    for (int i = 0; i < programCount; ++i)
        returned = returned && !channel(i)->externalOutput() && !slotsBothMuted(channel(i));
    run.record(QStringLiteral("stopping_low_latency_output_returns_programs_to_qt"),
               returned && uiTestPlaying(0) && uiTestPlaying(1));

    uiTestPlaylists(run);

    for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")})
        for (const QSize &size : {QSize(1600, 1000), QSize(1280, 800)}) {
            showPage(0);
            selectProgram(2, false);
            languageCombo->setCurrentIndex(language == QStringLiteral("pt-BR") ? 1 : 0);
            resize(size);
            UiTestRun::pump(80);
            QWidget *central = centralWidget();
            run.record(QStringLiteral("three_program_layout_%1_%2").arg(language).arg(size.width()),
                       this->size() == size && UiTestRun::inside(programSelector, central)
                           && UiTestRun::inside(cutButton, central) && UiTestRun::inside(fadeButton, central)
                           && tiles.size() == 3 && tiles[2].select && UiTestRun::inside(tiles[2].select, central)
                           && UiTestRun::inside(uiTestButton(QStringLiteral("Copy A playlist")), central)
                           && uiTestTableHighEnough());
        }

    uiTestRoutes(run);
}

void MainWindow::uiTestPlaylists(UiTestRun &run)
{
    run.record(QStringLiteral("copy_a_creates_independent_playlist"),
               selectedProgramIndex == 2 && copyFromProgramA() && playlist.size() == 2
                   && programs[0].playlist.size() == 2 && programs[1].playlist.size() == 1);

    const QJsonObject first = playlist.isEmpty() ? QJsonObject() : jsonFromCue(playlist[0]);
    run.record(QStringLiteral("copy_refuses_to_overwrite_existing_items"),
               !copyFromProgramA() && !first.isEmpty() && jsonFromCue(playlist[0]) == first && playlist.size() == 2);

    const bool cued = uiTestCueAndWait(0);
    showPage(1);
    inField->setValue(0.4);
    outField->setValue(2.2);
    const bool applied = applyEditedCue();
    const bool cuedAgain = UiTestRun::waitUntil([this] { return canTake(); }, 10000);
    showPage(0);
    loopBox->setChecked(true);
    fadeButton->click();
    NativeChannel *deckC = channel(2);
    const bool onAir = UiTestRun::waitUntil([deckC] { return deckC->frameCount() > 3; }, 10000);
    run.record(QStringLiteral("third_playlist_trim_does_not_edit_a_or_b"),
               cued && applied && cuedAgain && onAir && activeCue(deckC).in_ms == 400
                   && programs[0].playlist.value(0).in_ms == 0 && programs[1].playlist.value(0).in_ms == 0);

    run.record(QStringLiteral("three_programs_play_independently"),
               uiTestPlaying(0) && uiTestPlaying(1) && uiTestPlaying(2) && channel(0)->source() == run.clipA
                   && channel(1)->source() == run.clipB && channel(2)->source() == run.clipA);

    sequentialButton->click();
    const bool sequenceC = controller(2)->autoAdvance && !controller(1)->autoAdvance;
    selectProgram(1, false);
    const bool manualShownForB = manualButton->isChecked();
    selectProgram(2, false);
    const bool sequentialShownForC = sequentialButton->isChecked();
    manualButton->click();
    loopBox->setChecked(true);
    run.record(QStringLiteral("modes_follow_selected_program"),
               sequenceC && manualShownForB && sequentialShownForC && !controller(2)->autoAdvance);

    const int framesA = programADeck.frameCount();
    showPage(1);
    playlistTable->selectRow(0);
    loadCueEditor(0);
    inField->setValue(0.6);
    run.record(QStringLiteral("unapplied_draft_blocks_program_switch"),
               !selectProgram(0, false) && selectedProgramIndex == 2 && qFuzzyCompare(inField->value(), 0.6));

    loadCueEditor(0);
    selectProgram(0, false);
    UiTestRun::pump(100);
    run.record(QStringLiteral("switching_lists_invalidates_preview_without_stopping_programs"),
               !canTake() && selectedCueRow == -1 && playlist.size() == 2 && programADeck.frameCount() > framesA
                   && uiTestPlaying(1) && uiTestPlaying(2));
}

void MainWindow::uiTestRoutes(UiTestRun &run)
{
    resize(1600, 1000);
    uiTestSelectLanguage(QStringLiteral("en"));
    OutputConfig config = currentOutputConfig();
    config.displays = 5;
    config.displayPrograms = {0, 0, 1, 2, 0};
    const bool applied = applyOutputConfiguration(config, true);
    showPage(3);
    UiTestRun::pump(50);
    run.record(QStringLiteral("five_routes_support_mirrored_and_independent_sources"),
               applied && routeCount == 5 && routes.size() == 5 && routeSource(1) && routeSource(1)->currentIndex() == 0
                   && routeSource(3) && routeSource(3)->currentIndex() == 2 && programCount == 3);

    const quint64 generation = programADeck.requestGeneration();
    for (int route : {0, 1, 3})
        openDisplayOutput(route);
    const bool frames = UiTestRun::waitUntil(
        [this] {
            for (int route : {0, 1, 3})
                if (!routeWindow(route) || routeWindow(route)->publishedToWindow() <= 2)
                    return false;
            return true;
        },
        10000);
    run.record(QStringLiteral("mirrors_share_a_and_fifth_route_does_not_allocate_decoder"),
               frames && programCount == 3 && programRecords.size() == 2
                   && programADeck.requestGeneration() == generation && routeOpenedIndex(0) == 0
                   && routeOpenedIndex(1) == 0 && routeOpenedIndex(3) == 2);

    openDisplayOutput(4);
    UiTestRun::pump(30);
    QPushButton *remove = uiTestRouteButton(false);
    if (remove)
        remove->click();
    run.record(QStringLiteral("visible_display_cannot_be_removed"), remove && routeWindow(4) && routeCount == 5);

    if (OutputWindow *fifth = routeWindow(4))
        fifth->close();
    UiTestRun::pump(30);
    if (remove)
        remove->click();
    const int afterRemove = routeCount;
    if (QPushButton *add = uiTestRouteButton(true))
        add->click();
    UiTestRun::pump(30);
    run.record(QStringLiteral("closed_last_route_removes_and_new_route_defaults_to_a"),
               afterRemove == 4 && routeCount == 5 && routeSource(4) && routeSource(4)->currentIndex() == 0);
}
