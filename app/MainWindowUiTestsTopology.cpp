// User-interface self-test, fifth stretch: the guards against removing a live Program, Program
// identity across removals, the schema-4 show with its whole topology, diagnostics that grow with
// Programs and routes, and a missing medium that cannot be taken.
#include "app/MainWindow.h"
#include "app/UiTestRun.h"
#include "app/pages/DiagnosticsPanel.h"

#include "engine/ShowFile.h"
#include "outputs/display/OutputWindow.h"
#include "web/WebMonitorServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>

void MainWindow::uiTestTopology(UiTestRun &run)
{
    Show reduced;
    Cue other = UiTestRun::cueFor(QStringLiteral("other.mp4"));
    reduced.playlist = {other};
    const bool refused = !applyShowState(reduced, QStringLiteral("blocked.zelvoshow"));
    run.record(QStringLiteral("reduced_show_load_is_atomic_while_extra_programs_live"),
               refused && programCount == 3 && playlist.size() == 2 && uiTestPlaying(0));

    selectProgram(2, true);
    run.record(QStringLiteral("live_selected_program_cannot_be_removed"),
               selectedProgramIndex == 2 && uiTestPlaying(2) && !removeSelectedProgram() && programCount == 3
                   && uiTestPlaying(2));

    uiTestBlack(2);
    UiTestRun::pump(30);
    // Route 4 shows C in an open window: that alone must block the removal.
    run.record(QStringLiteral("open_route_blocks_removal_after_black"),
               routeWindow(3) && routeWindow(3)->isVisible() && !channel(2)->isPlaying() && !removeSelectedProgram()
                   && programCount == 3);

    if (OutputWindow *fourth = routeWindow(3))
        fourth->close();
    UiTestRun::pump(30);
    const bool started = networkBus(2)->start(1, QStringLiteral("Zelvo Dynamic Program QA"));
    run.record(QStringLiteral("digital_sender_blocks_program_removal"),
               started && networkBus(2)->sender(1).isRunning() && !removeSelectedProgram() && programCount == 3);
    networkBus(2)->stop(1);

    uiTestProgramAudio(run);
    uiTestIdentity(run);
}

void MainWindow::uiTestProgramAudio(UiTestRun &run)
{
    showPage(4);
    UiTestRun::pump(30);
    const QString key = programKey(2);
    auto *volume = findChild<QSlider *>(QStringLiteral("audioVolume") + key);
    auto *mute = findChild<QCheckBox *>(QStringLiteral("audioMute") + key);
    auto *local = findChild<QCheckBox *>(QStringLiteral("audioLocal") + key);
    if (volume)
        volume->setValue(37);
    if (mute)
        mute->setChecked(true);
    if (local)
        local->setChecked(false);
    NativeChannel *deckC = channel(2);
    run.record(QStringLiteral("third_program_audio_is_independent"),
               volume && mute && local && std::abs(deckC->volume() - 0.37f) < 0.001f && deckC->muted()
                   && !deckC->audioEnabled() && programADeck.volume() == 1.0f);
}

void MainWindow::uiTestIdentity(UiTestRun &run)
{
    run.programCId = programs[2].id;
    NativeChannel *deckC = channel(2);
    selectProgram(1, true);
    uiTestBlack(1);
    UiTestRun::pump(30);
    const bool removed = removeSelectedProgram();
    UiTestRun::pump(50);
    QTableWidget *inventory = uiTestInventory();
    run.record(QStringLiteral("removing_middle_program_preserves_c_identity_and_routes"),
               removed && tiles.size() == 2 && tiles[1].programId == run.programCId && inventory
                   && inventory->rowCount() == 2 && programCount == 2 && programs[1].id == run.programCId
                   && channel(1) == deckC && routeSource(3) && routeSource(3)->currentIndex() == 1
                   && std::abs(channel(1)->volume() - 0.37f) < 0.001f && uiTestPlaying(0));

    addProgram(false);
    copyFromProgramA();
    run.record(QStringLiteral("new_program_does_not_reuse_removed_identity"),
               programCount == 3 && programs[2].id > run.programCId && playlist.size() == 2);

    for (int route = 0; route < routeCount; ++route)
        if (OutputWindow *window = routeWindow(route))
            window->close();
    UiTestRun::pump(50);
    showPath = run.output(QStringLiteral("dynamic-"), QStringLiteral(".zelvoshow"));
    const bool saved = saveShow(false);
    Show parsed;
    QFile file(showPath);
    const bool read = file.open(QIODevice::ReadOnly)
                      && readShow(QJsonDocument::fromJson(file.readAll()).object(), parsed);
    const QList<ShowProgram> savedPrograms = parsed.effectivePrograms();
    run.record(QStringLiteral("schema4_file_preserves_independent_lists_and_stable_ids"),
               saved && read && savedPrograms.size() == 3 && !savedPrograms[0].playlist.isEmpty()
                   && savedPrograms[0].playlist[0].in_ms == 0 && savedPrograms[1].id == run.programCId
                   && !savedPrograms[1].playlist.isEmpty() && savedPrograms[1].playlist[0].in_ms == 400
                   && parsed.outputs.displays == 5);

    OutputConfig single;
    const bool reducedOk = applyOutputConfiguration(single, false);
    const bool restored = reducedOk && applyShowState(parsed, showPath);
    UiTestRun::pump(50);
    run.record(QStringLiteral("show_restores_dynamic_topology_without_starting_outputs"),
               restored && tiles.size() == 3 && inventory && inventory->rowCount() == 3 && programCount == 3
                   && routeCount == 5 && routeSource(3) && routeSource(3)->currentIndex() == 1 && uiTestPlaying(0));

    // The restored show has Programs and routes that could have been started; none may be.
    bool allClosed = webMonitor && !webMonitor->isRunning() && programCount == 3 && routeCount == 5;
    for (int route = 0; route < routeCount; ++route)
        allClosed = allClosed && !(routeWindow(route) && routeWindow(route)->isVisible());
    for (int i = 0; i < programCount; ++i)
        allClosed = allClosed && !networkBus(i)->sender(0).isRunning() && !networkBus(i)->sender(1).isRunning();
    run.record(QStringLiteral("restored_show_keeps_all_network_and_displays_closed"), allClosed);

    uiTestDiagnostics(run);
    uiTestInvalidMedia(run);
}

void MainWindow::uiTestDiagnostics(UiTestRun &run)
{
    showDiagnosticsTab();
    UiTestRun::pump(30);
    if (diagnostics)
        diagnostics->refresh();
    const QJsonObject snapshot = diagnosticsSnapshot();
    const QJsonArray channels = snapshot.value(QStringLiteral("channels")).toArray();
    run.record(QStringLiteral("diagnostics_expand_with_programs_and_routes"),
               diagnostics && diagnostics->engineTable()->columnCount() == 5
                   && diagnostics->networkTable()->rowCount() == 6 && channels.size() == 4
                   && snapshot.value(QStringLiteral("outputs")).toArray().size() == 5);

    bool unknownKept = !channels.isEmpty();
    for (const QJsonValue &entry : channels)
        unknownKept = unknownKept && entry.toObject().contains(QStringLiteral("decoder_adapter"))
                      && entry.toObject().value(QStringLiteral("decoder_adapter")).isNull()
                      && entry.toObject().contains(QStringLiteral("decode_time_ms"))
                      && entry.toObject().value(QStringLiteral("decode_time_ms")).isNull();
    run.record(QStringLiteral("dynamic_diagnostics_preserve_unknown_metrics"),
               unknownKept && uiTestSaveDiagnostics(run.output(QStringLiteral("engine-"), QStringLiteral(".json"))));
}

void MainWindow::uiTestInvalidMedia(UiTestRun &run)
{
    captureBoard(run.output(QStringLiteral("engine-"), QStringLiteral(".png")));
    showPage(0);
    selectProgram(1, true);
    const bool cued = uiTestCueAndWait(0);
    captureBoard(run.output(QStringLiteral("dynamic-"), QStringLiteral(".png")));
    const QString sourceA = programADeck.source();
    const int framesA = programADeck.frameCount();
    playlist.append(UiTestRun::cueFor(run.fixture(QStringLiteral("missing-dynamic.mp4"))));
    refreshPlaylistTable();
    const int last = int(playlist.size()) - 1;
    playlistTable->selectRow(last);
    cueSelected(last);
    UiTestRun::pump(100);
    tick();
    run.record(QStringLiteral("invalid_selected_media_blocks_take_and_preserves_a"),
               cued && !canTake() && !cutButton->isEnabled() && readiness.state() == CueReadiness::Error
                   && programADeck.source() == sourceA && programADeck.frameCount() > framesA);
}
