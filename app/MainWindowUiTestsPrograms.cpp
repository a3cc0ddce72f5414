// User-interface self-test, third stretch: media on air, Programs added on demand, the low-latency
// engine, the five-Program multiview and inventory, tile controls and detached deck windows.
#include "app/ChannelMonitor.h"
#include "app/MainWindow.h"
#include "app/UiTestRun.h"
#include "app/widgets/DeckWindow.h"

#include "outputs/audio/LocalAudioEngine.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QVideoSink>
#include <QAudioOutput>
#include <QRegularExpression>

namespace {
int composedFrames(NativeChannel *deck)
{
    return deck->diagnostics().value(QStringLiteral("cpu_composed_frames")).toInt();
}

const Cue &activeCue(NativeChannel *deck)
{
    return deck->slot(deck->activeSlot()).cue;
}

bool showsFrame(const QWidget *window)
{
    const auto *monitor = window ? window->findChild<ChannelMonitor *>() : nullptr;
    return monitor && monitor->videoSink() && monitor->videoSink()->videoFrame().isValid();
}
}

QWidget *MainWindow::uiTestTile(int index) const
{
    return index >= 0 && index < tiles.size() ? tiles[index].frame.data() : nullptr;
}

DeckWindow *MainWindow::uiTestDeckWindow(int deckKey) const
{
    for (const DeckWindowEntry &entry : deckWindows)
        if (entry.deckId == deckKey && entry.window)
            return entry.window.data();
    return nullptr;
}

bool MainWindow::uiTestCueAndWait(int row)
{
    playlistTable->selectRow(row);
    cueSelected(row);
    return UiTestRun::waitUntil([this] { return canTake(); }, 10000);
}

void MainWindow::uiTestPrograms(UiTestRun &run)
{
    addMedia({run.clipA, run.clipB}, -2);
    playlistTable->selectRow(0);
    const QJsonObject first = playlist.isEmpty() ? QJsonObject() : jsonFromCue(playlist[0]);
    QMenu *more = uiTestMoreMenu();
    if (more && more->actions().size() == 2)
        more->actions()[0]->trigger();
    run.record(QStringLiteral("more_menu_duplicates_selected_cue"),
               more && playlist.size() == 3 && jsonFromCue(playlist[1]) == first && !first.isEmpty());

    playlistTable->selectRow(1);
    if (more && more->actions().size() == 2)
        more->actions()[1]->trigger();
    run.record(QStringLiteral("more_menu_removes_only_selected_cue"),
               more && playlist.size() == 2 && jsonFromCue(playlist[0]) == first);

    const bool cued = uiTestCueAndWait(0);
    loopBox->setChecked(true);
    cutButton->click();
    const bool onAir = UiTestRun::waitUntil([this] { return programADeck.frameCount() > 3; }, 10000);
    tick();
    run.record(QStringLiteral("main_cut_uses_verified_source"),
               cued && onAir && activeCue(&programADeck).enter_ms == 0 && composedFrames(&programADeck) == 0
                   && deckWidgets[0].state && deckWidgets[0].state->text() == uiText(QStringLiteral("READY")));

    const int framesA = programADeck.frameCount();
    if (auto *add = findChild<QPushButton *>(QStringLiteral("addProgram")))
        add->click();
    UiTestRun::pump(100);
    run.record(QStringLiteral("add_program_keeps_a_running_and_starts_empty_list"),
               programCount == 2 && selectedProgramIndex == 1 && playlist.isEmpty() && programADeck.isPlaying()
                   && programADeck.frameCount() > framesA);

    addMedia({run.clipB}, -2);
    run.record(QStringLiteral("global_library_media_can_enter_another_playlist"),
               library.size() == 2 && playlist.size() == 1 && programs[0].playlist.size() == 2);

    const bool cuedB = uiTestCueAndWait(0);
    loopBox->setChecked(true);
    fadeButton->click();
    NativeChannel *deckB = programCount > 1 ? channel(1) : nullptr;
    const bool onAirB = deckB && UiTestRun::waitUntil([deckB] { return deckB->frameCount() > 3; }, 10000);
    run.record(QStringLiteral("second_program_plays_own_list_with_manual_fade"),
               cuedB && onAirB && deckB->source() == run.clipB && composedFrames(deckB) >= 1
                   && activeCue(deckB).transition_ms == 300 && programADeck.isPlaying());

    if (auto *add = findChild<QPushButton *>(QStringLiteral("addProgram")))
        add->click();
    UiTestRun::pump(50);
    run.record(QStringLiteral("third_program_is_allocated_on_demand"),
               programCount == 3 && programRecords.size() == 2 && selectedProgramIndex == 2 && playlist.isEmpty()
                   && routeSource(0) && routeSource(0)->count() == 3);

    uiTestLowLatency(run);

    addProgram(false);
    addProgram(false);
    UiTestRun::pump(80);
    run.engineRoutesWithFive = localAudio ? int(localAudio->state().value(QStringLiteral("routes")).toArray().size()) : -1;
    run.fifthExternalWithFive = programCount == 5 && channel(4)->externalOutput();
    QTableWidget *inventory = uiTestInventory();
    const QTableWidgetItem *cell = inventory && inventory->rowCount() == 5 ? inventory->item(4, 2) : nullptr;
    run.record(QStringLiteral("five_program_inventory_with_one_route"),
               programCount == 5 && routeCount == 1 && inventory && inventory->rowCount() == 5 && routeSource(0)
                   && routeSource(0)->count() == 5 && cell && cell->text() == uiText(QStringLiteral("No display route")));

    for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")})
        for (const QSize &size : {QSize(1600, 1000), QSize(1280, 800)}) {
            uiTestSelectLanguage(language);
            resize(size);
            UiTestRun::pump(100);
            uiTestFiveTiles(run, QStringLiteral("five_tile_geometry_%1_%2").arg(language).arg(size.width()));
            showDisplaysTab();
            UiTestRun::pump(80);
            uiTestOutputSpacing(run, QStringLiteral("output_spacing_and_alignment_%1_%2").arg(language).arg(size.width()));
            showPage(0);
        }

    uiTestDecks(run);
}

QTableWidget *MainWindow::uiTestInventory() const
{
    return findChild<QTableWidget *>(QStringLiteral("programInventory"));
}

void MainWindow::uiTestLowLatency(UiTestRun &run)
{
    const bool started = startLowLatencyOutput(3, QStringLiteral("8"), 128);
    const auto pairs = findChildren<QComboBox *>(QRegularExpression(QStringLiteral("^enginePair")));
    bool owned = started && pairs.size() == 3;
    for (int i = 0; owned && i < programCount; ++i) {
        NativeChannel *deck = channel(i);
        owned = deck->externalOutput() && deck->slot(0).audioOutput && deck->slot(0).audioOutput->isMuted()
                && deck->slot(1).audioOutput && deck->slot(1).audioOutput->isMuted();
    }
    QComboBox *pairB = enginePair(1);
    if (pairB)
        pairB->setCurrentIndex(1);
    UiTestRun::pump(20);
    const QJsonArray routes = localAudio ? localAudio->state().value(QStringLiteral("routes")).toArray() : QJsonArray();
    const QString running = uiText(QStringLiteral("Running · %1 · device latency %2 ms · sync delay %3 ms · late samples %4"))
                                .section(QLatin1Char(' '), 0, 0);
    run.record(QStringLiteral("low_latency_output_owns_all_programs_with_pairs"),
               owned && pairB && routes.size() == 3
                   && routes[1].toObject().value(QStringLiteral("first_channel")).toInt() == 3
                   && settings->value(QStringLiteral("localAudio/pair/B")).toInt() == 1 && engineStatusLabel
                   && engineStatusLabel->text().startsWith(running));
    if (pairB)
        pairB->setCurrentIndex(0);
}

void MainWindow::uiTestFiveTiles(UiTestRun &run, const QString &name)
{
    bool tilesOk = tiles.size() == 5 && multiview;
    for (int i = 0; tilesOk && i < tiles.size(); ++i)
        tilesOk = tiles[i].select && tiles[i].select->isVisible() && UiTestRun::inside(tiles[i].frame, multiview->viewport());
    const int gap = sequentialButton->mapTo(this, QPoint(0, 0)).x()
                    - (manualButton->mapTo(this, QPoint(0, 0)).x() + manualButton->width());
    QSpinBox *fade = uiTestFadeBox();
    const bool fadeAligned = fade
                             && std::abs(fade->mapTo(this, QPoint(0, 0)).y() - fadeButton->mapTo(this, QPoint(0, 0)).y()) <= 2;
    run.record(name, tilesOk && gap > 7 && fadeAligned && UiTestRun::inside(processUsageLabel, centralWidget())
                         && uiTestTableHighEnough());
}

void MainWindow::uiTestOutputSpacing(UiTestRun &run, const QString &name)
{
    QWidget *page = outputsTabs ? outputsTabs->widget(0) : nullptr;
    const RouteWidgets *first = routes.isEmpty() ? nullptr : &routes[0];
    bool ok = page && first && first->row && first->display;
    if (ok) {
        const QList<QPushButton *> buttons = first->row->findChildren<QPushButton *>();
        const int top = first->display->mapTo(this, QPoint(0, 0)).y();
        ok = buttons.size() == 2;
        for (QPushButton *b : buttons)
            ok = ok && std::abs(b->mapTo(this, QPoint(0, 0)).y() - top) <= 2;
        const int inset = first->row->mapTo(page, QPoint(0, 0)).x();
        ok = ok && inset > 17 && page->width() >= first->row->width() + 36;
    }
    QTableWidget *inventory = uiTestInventory();
    run.record(name, ok && inventory && inventory->rowCount() == 5
                         && outputsTabs->tabText(1) == uiText(QStringLiteral("NDI / OMT")));
}

void MainWindow::uiTestDecks(UiTestRun &run)
{
    resize(1600, 1000);
    uiTestSelectLanguage(QStringLiteral("en"));
    UiTestRun::pump(80);
    captureBoard(run.output(QStringLiteral("five-"), QStringLiteral(".png")));
    showPage(3);
    UiTestRun::pump(50);
    captureBoard(run.output(QStringLiteral("outputs-five-"), QStringLiteral(".png")));
    showPage(0);
    UiTestRun::pump(50);
    if (!tiles.isEmpty() && tiles[0].select)
        tiles[0].select->click();
    UiTestRun::pump(30);
    const bool selectedA = selectedProgramIndex == 0 && playlist.size() == 2 && uiTestPlaying(0) && uiTestPlaying(1);
    QPushButton *last = nullptr;
    if (QWidget *tileE = uiTestTile(4)) {
        const QList<QPushButton *> buttons = tileE->findChildren<QPushButton *>();
        last = buttons.isEmpty() ? nullptr : buttons.last();
    }
    if (last)
        last->click();
    UiTestRun::pump(50);
    run.record(QStringLiteral("tile_controls_target_their_program_without_stopping_selected_a"),
               selectedA && last && selectedProgramIndex == 0 && uiTestPlaying(0) && uiTestPlaying(1));

    uiTestDeckWindows(run);
}

void MainWindow::uiTestDeckWindows(UiTestRun &run)
{
    const int idB = programCount > 1 ? programs[1].id : -100;
    NativeChannel *deckB = programCount > 1 ? channel(1) : nullptr;
    const quint64 generation = deckB ? deckB->requestGeneration() : 0;
    QPushButton *detach = UiTestRun::tipButton(uiTestTile(1), QStringLiteral("Detach deck"), idB);
    if (detach)
        detach->click();
    UiTestRun::pump(150);
    QPointer<DeckWindow> window = uiTestDeckWindow(idB);
    const bool framed = window && UiTestRun::waitUntil([&window] { return showsFrame(window); }, 10000);
    run.record(QStringLiteral("detached_deck_opens_window_sharing_program_frames"),
               detach && window && window->isVisible() && window->isWindow() && framed && tiles.size() > 1
                   && tiles[1].slot && tiles[1].slot->currentIndex() == 1 && deckB->requestGeneration() == generation
                   && programRecords.size() == 4 && window->windowTitle().startsWith(programName(1)));

    if (window) {
        window->resize(960, 600);
        UiTestRun::pump(80);
        window->grab().save(run.output(QStringLiteral("deck-window-"), QStringLiteral(".png")));
    }
    captureBoard(run.output(QStringLiteral("deck-docked-"), QStringLiteral(".png")));
    if (detach)
        detach->click();
    UiTestRun::pump(50);
    int entries = 0;
    for (const DeckWindowEntry &entry : std::as_const(deckWindows))
        entries += entry.deckId == idB && entry.window ? 1 : 0;
    run.record(QStringLiteral("detaching_twice_reuses_the_same_window"),
               window && entries == 1 && uiTestDeckWindow(idB) == window.data());

    tick();
    QWidget *deckChild = window ? window->findChild<QWidget *>(QStringLiteral("deck")) : nullptr;
    QWidget *badge = window ? window->findChild<QWidget *>(QStringLiteral("onAirBadge")) : nullptr;
    auto onAir = [this](int index) { return uiTestTile(index) && uiTestTile(index)->property("onAir").toBool(); };
    auto offAir = [this](int index) { return uiTestTile(index) && !uiTestTile(index)->property("onAir").toBool(); };
    run.record(QStringLiteral("tally_marks_only_programs_with_media_on_air"),
               deckChild && deckChild->property("onAir").toBool() && badge && badge->isVisible() && onAir(0)
                   && onAir(1) && offAir(2) && offAir(4));

    QPushButton *play = window ? UiTestRun::tipButton(window, QStringLiteral("Play / pause"), QVariant()) : nullptr;
    bool paused = false;
    bool resumed = false;
    if (play && deckB) {
        play->click();
        paused = UiTestRun::waitUntil([deckB] { return !deckB->isPlaying(); }, 3000);
        play->click();
        resumed = UiTestRun::waitUntil([deckB] { return deckB->isPlaying(); }, 3000);
    }
    run.record(QStringLiteral("deck_window_controls_drive_its_program_only"),
               play && paused && resumed && uiTestPlaying(0) && deckB->source() == run.clipB);

    const bool wasOpen = window != nullptr;
    if (window)
        window->close();
    UiTestRun::pump(80);
    run.record(QStringLiteral("closing_deck_window_docks_it_without_stopping"),
               wasOpen && !uiTestDeckWindow(idB) && tiles.size() > 1 && tiles[1].slot && tiles[1].slot->currentIndex() == 0
                   && uiTestPlaying(0) && uiTestPlaying(1));

    QPushButton *previewDetach = UiTestRun::tipButton(pageStack->widget(0), QStringLiteral("Detach deck"), -1);
    if (previewDetach)
        previewDetach->click();
    UiTestRun::pump(80);
    DeckWindow *preview = uiTestDeckWindow(-1);
    QWidget *previewBadge = preview ? preview->findChild<QWidget *>(QStringLiteral("onAirBadge")) : nullptr;
    // Every deck window carries the badge; the Preview's must exist and stay hidden.
    const bool previewShown = preview && preview->isVisible() && previewBadge && !previewBadge->isVisible();
    uiTestCloseDeckWindow(-1);
    UiTestRun::pump(50);
    run.record(QStringLiteral("preview_deck_detaches_without_tally_and_docks"),
               previewDetach && previewShown && !uiTestDeckWindow(-1));

    const int idE = programCount == 5 ? programs[4].id : -100;
    QPushButton *detachE = UiTestRun::tipButton(uiTestTile(4), QStringLiteral("Detach deck"), idE);
    if (detachE)
        detachE->click();
    UiTestRun::pump(80);
    run.fifthDeckDetached = detachE && uiTestDeckWindow(idE);
    run.record(QStringLiteral("empty_program_deck_can_be_detached"), run.fifthDeckDetached);

    QTableWidget *inventory = uiTestInventory();
    auto *addRouteButton = inventory && inventory->rowCount() == 5
                               ? qobject_cast<QPushButton *>(inventory->cellWidget(4, 3))
                               : nullptr;
    if (addRouteButton == nullptr && inventory && inventory->rowCount() == 5 && inventory->cellWidget(4, 3))
        addRouteButton = inventory->cellWidget(4, 3)->findChild<QPushButton *>();
    if (addRouteButton)
        addRouteButton->click();
    UiTestRun::pump(50);
    run.record(QStringLiteral("inventory_adds_route_for_correct_program_without_opening_it"),
               addRouteButton && routeCount == 2 && routeSource(1) && routeSource(1)->currentIndex() == 4
                   && !routeWindow(1));
}

void MainWindow::uiTestCloseDeckWindow(int deckKey)
{
    if (DeckWindow *window = uiTestDeckWindow(deckKey))
        window->close();
}
