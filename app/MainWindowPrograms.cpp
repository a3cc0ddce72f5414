#include "app/MainWindow.h"

#include "outputs/audio/LocalAudioEngine.h"
#include "web/WebMonitorServer.h"
#include "outputs/display/OutputWindow.h"

#include <QComboBox>
#include <QFileInfo>
#include <QSettings>
#include "app/widgets/ElidedLabel.h"
#include <QSignalBlocker>
#include <QTableWidget>

ShowProgram MainWindow::defaultProgram(int id)
{
    ShowProgram program;
    program.id = id;
    program.name = QStringLiteral("Program %1")
                       .arg(id >= 1 && id <= 26 ? QString(QChar(char16_t(64 + id))) : QString::number(id));
    return program;
}

NativeChannel *MainWindow::channel(int index)
{
    if (index == 0)
        return &programADeck;
    if (index < 1 || index > int(programRecords.size())) {
        qWarning("No Program at index %d", index);
        return nullptr;
    }
    return &programRecords[size_t(index - 1)]->channel;
}

PlaylistController *MainWindow::controller(int index)
{
    if (index == 0)
        return &programAPlaylist;
    if (index < 1 || index > int(programRecords.size())) {
        qWarning("No Program at index %d", index);
        return nullptr;
    }
    return &programRecords[size_t(index - 1)]->playlist;
}

NetworkBus *MainWindow::networkBus(int index)
{
    if (index == 0)
        return &programANetwork;
    if (index < 1 || index > int(programRecords.size()))
        return nullptr;
    return &programRecords[size_t(index - 1)]->network;
}

int MainWindow::programIndexOfId(int programId) const
{
    for (int i = 0; i < programs.size(); ++i)
        if (programs[i].id == programId)
            return i;
    return -1;
}

NativeChannel *MainWindow::deck(int programId)
{
    if (programId == -1)
        return &previewDeck;
    const int index = programIndexOfId(programId);
    return index < 0 ? nullptr : channel(index);
}

NativeChannel *MainWindow::selectedProgramChannel()
{
    NativeChannel *selected = channel(selectedProgramIndex);
    return selected ? selected : &programADeck;
}

PlaylistController *MainWindow::selectedPlaylist()
{
    PlaylistController *selected = controller(selectedProgramIndex);
    return selected ? selected : &programAPlaylist;
}

QString MainWindow::programKey(int index) const
{
    if (index < 0 || index >= programs.size())
        return QString();
    const int id = programs[index].id;
    if (id == 1)
        return QStringLiteral("A");
    if (id == 2)
        return QStringLiteral("B");
    return QStringLiteral("Program") + QString::number(id);
}

QString MainWindow::programName(int index) const
{
    if (index < 0 || index >= programs.size())
        return uiText(QStringLiteral("Not available"));
    return texts.programName(programs[index].name);
}

QString MainWindow::operatorProgramsText(const QJsonArray &ids, const std::function<QString(int)> &nameOf)
{
    QStringList names;
    for (const QJsonValue &id : ids)
        names << nameOf(id.toInt());
    return names.join(QStringLiteral(", "));
}

bool MainWindow::channelBusy(int index)
{
    NativeChannel *deck = channel(index);
    NetworkBus *bus = networkBus(index);
    if (!deck || !bus)
        return false;
    if (!deck->source().isEmpty() || deck->isPreparing() || deck->outgoingSlot() >= 0)
        return true;
    if (bus->sender(0).isRunning() || bus->sender(1).isRunning())
        return true;
    for (int route = 0; route < routeWindows.size(); ++route) {
        const QPointer<OutputWindow> &window = routeWindows[route];
        if (window && window->isVisible() && route < routeOpenedProgram.size() && routeOpenedProgram[route] == index)
            return true;
    }
    const bool scanning = scanWatcher.isRunning() || scanRunningForTesting;
    return scanning && programs[index].id == scanProgramId;
}

QList<Cue> &MainWindow::storeSelectedPlaylist()
{
    if (selectedProgramIndex < 0 || selectedProgramIndex >= programs.size())
        selectedProgramIndex = 0;
    programs[selectedProgramIndex].playlist = playlist;
    programs[selectedProgramIndex].playlist.detach();
    return programs[selectedProgramIndex].playlist;
}

void MainWindow::addMedia(const QStringList &paths, int programIndex)
{
    if (sampleContent)
        return;
    if (programIndex == -2)
        programIndex = selectedProgramIndex;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QString canonical = info.canonicalFilePath();
        if (canonical.isEmpty() || !QFileInfo(canonical).isFile())
            continue;
        // Paths are compared exactly: on this system Clip.mp4 and clip.mp4 are two files.
        if (!library.contains(canonical))
            library << canonical;
        if (programIndex >= 0 && programIndex < programCount) {
            QList<Cue> &target = programIndex == selectedProgramIndex ? playlist : programs[programIndex].playlist;
            const bool present = std::any_of(target.cbegin(), target.cend(),
                                             [&](const Cue &cue) { return cue.source == canonical; });
            if (!present)
                target << Cue::forPath(canonical);
        }
        modified = true;
    }
    refreshPlaylistTable();
}

bool MainWindow::addProgram(bool copyProgramAPlaylist)
{
    if (programCount >= 64 || nextProgramId > 1000000) {
        setStatus(QStringLiteral("Program allocation limit reached"));
        return false;
    }
    if (editorStatus == QStringLiteral("Unapplied changes")) {
        setStatus(QStringLiteral("Apply or reset edits before changing Program."));
        return false;
    }
    storeSelectedPlaylist();
    const int id = nextProgramId;
    nextProgramId = id + 1;
    writePreference(QStringLiteral("nextProgramId"), nextProgramId);
    ShowProgram program = defaultProgram(id);
    if (copyProgramAPlaylist)
        program.playlist = programs[0].playlist;
    appendProgram(program);
    for (const RouteWidgets &route : std::as_const(routes)) {
        if (!route.source)
            continue;
        const QSignalBlocker blocker(route.source);
        route.source->addItem(programName(programCount - 1));
    }
    selectProgram(programCount - 1, true);
    if (!sampleContent)
        modified = true;
    return true;
}

void MainWindow::appendProgram(const ShowProgram &program)
{
    programRecords.push_back(std::make_unique<ProgramRecord>(program.id));
    programs.append(program);
    programCount = int(programs.size());
    nextProgramId = std::max(nextProgramId, program.id + 1);
    connectProgramChannel(programCount - 1);
    appendProgramPanels(programCount - 1);
    // A Program added while the low-latency engine runs must sound there, not on its own device.
    applyLocalAudioRoutes(-1);
}

bool MainWindow::addRoute(int programIndex)
{
    if (programIndex < 0 || programIndex >= programCount)
        return false;
    OutputConfig config = currentOutputConfig();
    if (config.displays >= 128)
        return false;
    config.displays += 1;
    config.displayPrograms.append(programIndex);
    return applyOutputConfiguration(config, true);
}

OutputConfig MainWindow::currentOutputConfig() const
{
    OutputConfig config;
    config.programs = programCount;
    config.displays = routeCount;
    config.displayPrograms.clear();
    for (int i = 0; i < routeCount; ++i) {
        const QComboBox *source = i < routes.size() ? routes[i].source.data() : nullptr;
        config.displayPrograms.append(source ? std::max(0, source->currentIndex()) : 0);
    }
    return config;
}

void MainWindow::switchToProgramA()
{
    storeSelectedPlaylist();
    selectedProgramIndex = 0;
    playlist = programs[0].playlist;
    editedCueRow = -1;
    selectedCueRow = -1;
    editorStatus = QStringLiteral("Select a cue to edit.");
    rebuildMeterStrip();
    readiness.clear();
    previewDeck.clear();
    refreshPlaylistTable();
    refreshOrderControls();
    refreshProgramInventory();
    retranslate();
    if (playlistTable && !playlist.isEmpty())
        playlistTable->selectRow(0);
}

bool MainWindow::applyOutputConfiguration(const OutputConfig &config, bool markModified)
{
    if (!validateOutputConfiguration(config))
        return false;
    while (programCount < config.programs) {
        const int id = nextProgramId++;
        appendProgram(defaultProgram(id));
    }
    while (programCount > config.programs) {
        if (selectedProgramIndex == programCount - 1 && selectedProgramIndex != 0)
            switchToProgramA();
        destroyProgram(programCount - 1);
    }
    while (routes.size() < config.displays)
        appendRoutePanel();
    while (routes.size() > config.displays)
        removeLastRoute();
    routeCount = config.displays;
    for (int i = 0; i < routes.size(); ++i) {
        QComboBox *source = routes[i].source;
        if (!source)
            continue;
        const QSignalBlocker blocker(source);
        source->clear();
        for (int p = 0; p < programCount; ++p)
            source->addItem(programName(p));
        source->setCurrentIndex(config.displayPrograms[i]);
    }
    refreshProgramInventory();
    refreshDisplayChoices();
    if (markModified && !sampleContent)
        modified = true;
    retranslate();
    return true;
}

void MainWindow::destroyProgram(int index)
{
    if (index <= 0 || index >= programCount)
        return;
    applyLocalAudioRoutes(index);
    const int id = programs[index].id;
    closeProgramOutputs(id);
    if (webMonitor)
        webMonitor->closeProgram(id);
    for (const RouteWidgets &route : std::as_const(routes)) {
        if (!route.source)
            continue;
        const QSignalBlocker blocker(route.source);
        const int current = route.source->currentIndex();
        route.source->removeItem(index);
        if (current == index)
            route.source->setCurrentIndex(0);
        else if (current > index)
            route.source->setCurrentIndex(current - 1);
    }
    for (int route = 0; route < routeOpenedProgram.size(); ++route) {
        if (routeOpenedProgram[route] == index) {
            if (route < routeWindows.size() && routeWindows[route])
                delete routeWindows[route].data();
            routeOpenedProgram[route] = -1;
        } else if (routeOpenedProgram[route] > index) {
            routeOpenedProgram[route] -= 1;
        }
    }
    clearProgramTiles();
    if (index < digitalPanels.size())
        delete digitalPanels.takeAt(index).data();
    if (index < audioPanels.size())
        delete audioPanels.takeAt(index).data();
    ProgramRecord *record = programRecords[size_t(index - 1)].get();
    record->channel.blockSignals(true);
    record->network.blockSignals(true);
    record->playlist.blockSignals(true);
    programRecords.erase(programRecords.begin() + (index - 1));
    programs.removeAt(index);
    programCount = int(programs.size());
    if (selectedProgramIndex >= programCount)
        selectedProgramIndex = 0;
}

bool MainWindow::removeSelectedProgram()
{
    if (selectedProgramIndex == 0) {
        setStatus(QStringLiteral("The main Program cannot be removed."));
        return false;
    }
    if (editorStatus == QStringLiteral("Unapplied changes")) {
        setStatus(QStringLiteral("Apply or reset edits before changing Program."));
        return false;
    }
    const int removed = selectedProgramIndex;
    if (channelBusy(removed)) {
        setStatus(QStringLiteral("Black the Program and close its display and digital outputs before removing it."));
        return false;
    }
    OutputConfig config = currentOutputConfig();
    for (int &shown : config.displayPrograms) {
        if (shown == removed)
            shown = 0;
        else if (shown > removed)
            shown -= 1;
    }
    config.programs -= 1;
    selectProgram(0, true);
    destroyProgram(removed);
    return applyOutputConfiguration(config, true);
}

bool MainWindow::selectProgram(int index, bool force)
{
    if (index < 0 || index >= programCount)
        return false;
    if (index == selectedProgramIndex)
        return true;
    if (!force && editorStatus == QStringLiteral("Unapplied changes")) {
        if (programSelector) {
            const QSignalBlocker blocker(programSelector);
            programSelector->setCurrentIndex(selectedProgramIndex);
        }
        setStatus(QStringLiteral("Apply or reset edits before changing Program."));
        return false;
    }
    storeSelectedPlaylist();
    selectedProgramIndex = index;
    playlist = programs[index].playlist;
    editedCueRow = -1;
    selectedCueRow = -1;
    editorStatus = QStringLiteral("Select a cue to edit.");
    rebuildMeterStrip();
    readiness.clear();
    previewDeck.clear();
    refreshPlaylistTable();
    refreshOrderControls();
    refreshProgramInventory();
    retranslate();
    if (playlistTable && !playlist.isEmpty())
        playlistTable->selectRow(0);
    return true;
}

bool MainWindow::applyShowState(const Show &show, const QString &path)
{
    if (scanWatcher.isRunning() || scanRunningForTesting) {
        setStatus(QStringLiteral("Wait for the folder scan before opening another show."));
        return false;
    }
    const QList<ShowProgram> incoming = show.effectivePrograms();
    const OutputConfig &layout = show.outputs;
    if (layout.programs < 1 || layout.programs > 64 || layout.displays < 1 || layout.displays > 128
        || layout.displayPrograms.size() != layout.displays || incoming.size() != layout.programs
        || incoming.isEmpty() || incoming.first().id != 1)
        return false;
    for (int shown : layout.displayPrograms)
        if (shown < 0 || shown >= layout.programs)
            return false;
    if (!validateOutputConfiguration(layout))
        return false;
    bool idsDiffer = false;
    for (int i = 0; i < std::min(programCount, int(incoming.size())); ++i)
        idsDiffer = idsDiffer || programs[i].id != incoming[i].id;
    if (idsDiffer) {
        for (int i = 1; i < programCount; ++i) {
            if (channelBusy(i)) {
                setStatus(QStringLiteral("Black the Program and close its display and digital outputs before removing it."));
                return false;
            }
        }
    }
    if (selectedProgramIndex != 0)
        switchToProgramA();
    if (idsDiffer)
        while (programCount > 1)
            destroyProgram(programCount - 1);
    while (programCount > incoming.size())
        destroyProgram(programCount - 1);
    while (programCount < incoming.size())
        appendProgram(incoming[programCount]);
    programs = incoming;
    for (const ShowProgram &program : incoming)
        nextProgramId = std::max(nextProgramId, program.id + 1);
    writePreference(QStringLiteral("nextProgramId"), nextProgramId);
    library = show.library;
    libraryFolders = show.folders;
    playlist = programs[0].playlist;
    selectedProgramIndex = 0;
    editedCueRow = -1;
    selectedCueRow = -1;
    editorStatus = QStringLiteral("Select a cue to edit.");
    readiness.clear();
    previewDeck.clear();
    rebuildMeterStrip();
    applyOutputConfiguration(layout, false);
    showPath = path;
    modified = false;
    refreshPlaylistTable();
    tick();
    if (heading)
        heading->setText(QFileInfo(path).completeBaseName());
    return true;
}

Show MainWindow::currentShow()
{
    storeSelectedPlaylist();
    Show show;
    show.library = library;
    show.folders = libraryFolders;
    show.playlist = programs[0].playlist;
    show.outputs = currentOutputConfig();
    show.programs = programs;
    return show;
}

QStringList MainWindow::allMediaPaths()
{
    storeSelectedPlaylist();
    QStringList paths = library;
    for (const ShowProgram &program : std::as_const(programs))
        for (const Cue &cue : program.playlist)
            paths << cue.source;
    paths.removeDuplicates();
    paths.removeAll(QString());
    return paths;
}

void MainWindow::cueSelected(int row)
{
    if (row < 0 || row >= playlist.size())
        return;
    loadCueEditor(row);
    selectedCueRow = row;
    if (!sampleContent)
        readiness.prepare(playlist[row]);
    tick();
}

QList<LocalAudioRoute> MainWindow::localAudioPairs(int excludedIndex) const
{
    QList<LocalAudioRoute> result;
    auto *self = const_cast<MainWindow *>(this);
    for (int i = 0; i < programCount; ++i) {
        if (i == excludedIndex)
            continue;
        const int pair = std::clamp(settings->value(QStringLiteral("localAudio/pair/") + programKey(i), 0).toInt(), 0, 31);
        result.append({self->channel(i), 2 * pair});
    }
    return result;
}

void MainWindow::applyLocalAudioRoutes(int skipIndex)
{
    if (!localAudio)
        return;
    const bool running = localAudio->isRunning();
    localAudio->setRoutes(running ? localAudioPairs(skipIndex) : QList<LocalAudioRoute>());
    for (int i = 0; i < programCount; ++i) {
        NativeChannel *deck = channel(i);
        if (i != skipIndex && deck && deck->externalOutput() != running)
            deck->setExternalOutput(running);
    }
}

void MainWindow::setFolderScanTargetForTesting(int programId, bool running)
{
    scanProgramId = programId;
    scanRunningForTesting = running;
}
