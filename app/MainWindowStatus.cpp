#include "app/MainWindow.h"
#include "app/MultiviewGrid.h"

#include "app/AppInfo.h"

#include "app/widgets/DeckWindow.h"
#include "app/widgets/DeskMonitor.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/LineIcons.h"
#include "app/widgets/MediaDelegate.h"
#include "app/widgets/StereoMeter.h"
#include "outputs/display/OutputWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayoutItem>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QColor transportColor(QStringLiteral("#afc2d5"));

void setTextIfChanged(QLabel *label, const QString &text)
{
    if (label && label->text() != text)
        label->setText(text);
}

// Play shows while the deck stands, pause while it plays; the icon is drawn only when that changes,
// not at every refresh.
void setPlayIcon(QPushButton *button, bool playing)
{
    if (!button || button->property("playing") == QVariant(playing))
        return;
    button->setProperty("playing", playing);
    button->setIcon(lineIcon(playing ? 1 : 0, transportColor));
}

void setHealth(QLabel *label, const QString &health)
{
    if (!label || label->property("health").toString() == health)
        return;
    label->setProperty("health", health);
    label->style()->unpolish(label);
    label->style()->polish(label);
}

} // namespace

QString MainWindow::clockText(qint64 ms)
{
    ms = std::max<qint64>(0, ms);
    return QStringLiteral("%1:%2:%3")
        .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg((ms / 60000) % 60, 2, 10, QLatin1Char('0'))
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'));
}

QString MainWindow::deckMediaTitle(NativeChannel *deck) const
{
    if (sampleContent)
        return QStringLiteral("02 - Opening film.mov");
    if (!deck)
        return uiText(QStringLiteral("No media loaded"));
    if (deck->isPreparing() && deck->takeWhenReady())
        return uiText(QStringLiteral("Preparing media…"));
    if (deck->source().isEmpty())
        return uiText(QStringLiteral("No media loaded"));
    return QFileInfo(deck->source()).fileName();
}

void MainWindow::tick()
{
    if (!playlistTable || routes.isEmpty() || !routes.first().source)
        return;
    refreshScalingInfo();
    refreshProgramTiles();
    rebuildRouteTable();
    const bool takeAllowed = sampleContent || canTake();
    if (cutButton)
        cutButton->setEnabled(takeAllowed);
    if (fadeButton)
        fadeButton->setEnabled(takeAllowed);

    if (editPreviewTitle) {
        editPreviewTitle->setText(sampleContent                    ? QStringLiteral("03 - Speaker intro.mkv")
                                  : previewDeck.source().isEmpty() ? uiText(QStringLiteral("No media loaded"))
                                                                   : QFileInfo(previewDeck.source()).fileName());
        const qint64 position = std::max<qint64>(0, previewDeck.positionMs());
        setTextIfChanged(editPreviewTime, clockText(position) + QStringLiteral(".%1").arg(position % 1000, 3, 10, QLatin1Char('0')));
    }
    NativeChannel *selected = selectedProgramChannel();
    if (deckWidgets[0].title)
        deckWidgets[0].title->setText(sampleContent ? QStringLiteral("03 - Speaker intro.mkv") : deckMediaTitle(&previewDeck));
    if (deckWidgets[1].title)
        deckWidgets[1].title->setText(deckMediaTitle(&programADeck));
    setTextIfChanged(deckWidgets[0].time, clockText(previewDeck.positionMs()));
    setTextIfChanged(deckWidgets[1].time, sampleContent ? QStringLiteral("00:01:24") : remainingText(&programADeck));
    if (deckWidgets[2].title) {
        deckWidgets[2].title->setText(sampleContent ? QStringLiteral("04 - Sponsor loop.avi") : deckMediaTitle(selected));
        setTextIfChanged(deckWidgets[2].time, sampleContent ? QStringLiteral("00:00:18") : remainingText(selected));
    }
    if (previewSlider && !previewSlider->isSliderDown() && previewDeck.durationMs() > 0)
        previewSlider->setValue(int(double(previewDeck.positionMs()) * 1000.0 / double(previewDeck.durationMs())));
    refreshStatus();
    refreshDeckWindows();
}

void MainWindow::refreshStatus()
{
    if (!manualButton || !playlistTable)
        return;
    for (int d = 0; d < 3; ++d) {
        if (ElidedLabel *title = deckWidgets[d].title) {
            title->setToolTip(title->text());
            title->setAccessibleName(title->text());
        }
    }
    PlaylistController *order = selectedPlaylist();
    manualButton->setChecked(!order->autoAdvance);
    if (sequentialButton)
        sequentialButton->setChecked(order->autoAdvance);

    bool onAir = sampleContent;
    if (!sampleContent) {
        NativeChannel *programA = deck(1);
        onAir = programA && !programA->source().isEmpty();
    }
    setFlagProperty(deckWidgets[1].frame, "onAir", onAir);
    setFlagProperty(deckWidgets[1].state, "onAir", onAir);

    NativeChannel *decks[3] = {&previewDeck, &programADeck, selectedProgramChannel()};
    const int sampleProgress[3] = {0, 560, 120};
    for (int d = 0; d < 3; ++d) {
        NativeChannel *current = decks[d];
        if (d > 0 && deckWidgets[d].state)
            setTextIfChanged(deckWidgets[d].state, uiText(deckStateWord(current)));
        if (QPushButton *play = deckWidgets[d].playButton)
            setPlayIcon(play, !sampleContent && current->isPlaying());
        if (QProgressBar *bar = deckWidgets[d].progress) {
            int value = sampleProgress[d];
            if (!sampleContent) {
                const qint64 duration = current->durationMs();
                value = duration < 1 ? 0 : int(std::clamp<qint64>(current->positionMs() * 1000 / duration, 0, 1000));
            }
            bar->setValue(value);
        }
    }

    const int currentRow = playlistTable->currentRow();
    QString word = QStringLiteral("Not cued");
    if (sampleContent) {
        word = QStringLiteral("Sample READY");
    } else if (selectedCueRow >= 0 && selectedCueRow == currentRow && selectedCueRow < playlist.size()) {
        if (readiness.readyFor(playlist[selectedCueRow]))
            word = QStringLiteral("READY");
        else if (readiness.state() == CueReadiness::Preparing)
            word = QStringLiteral("Preparing");
        else if (readiness.state() == CueReadiness::Error)
            word = QStringLiteral("Error");
    }
    if (QLabel *state = deckWidgets[0].state) {
        setTextIfChanged(state, uiText(word));
        state->setToolTip(word == QStringLiteral("Error")
                              ? uiText(readiness.error())
                              : uiText(QStringLiteral("READY verifies the source and applied trim in the Preview. Program prepares on TAKE.")));
        setHealth(state, word == QStringLiteral("READY")       ? QStringLiteral("ready")
                         : word == QStringLiteral("Error")     ? QStringLiteral("error")
                         : word == QStringLiteral("Preparing") ? QStringLiteral("pending")
                                                               : QStringLiteral("idle"));
    }

    if (displaysTile) {
        QStringList lines;
        int open = 0;
        for (int r = 0; r < routes.size(); ++r) {
            const OutputWindow *window = r < routeWindows.size() ? routeWindows[r].data() : nullptr;
            const bool isOpen = window && window->isVisible();
            open += isOpen ? 1 : 0;
            const int shown = isOpen ? routeOpenedProgram.value(r, -1) : (routes[r].source ? routes[r].source->currentIndex() : -1);
            lines << QStringLiteral("%1 → %2 · %3").arg(r + 1).arg(programName(shown),
                                                                  uiText(isOpen ? QStringLiteral("Open") : QStringLiteral("Closed")));
        }
        displaysTile->setText(uiText(QStringLiteral("Displays")) + QStringLiteral("  %1 / %2 ").arg(open).arg(routes.size())
                              + uiText(QStringLiteral("Open")));
        displaysTile->setToolTip(lines.join(QLatin1Char('\n')));
    }
    QPushButton *networkTiles[2] = {ndiTile, omtTile};
    for (int protocol = 0; protocol < 2; ++protocol) {
        if (!networkTiles[protocol])
            continue;
        QStringList lines;
        int sending = 0;
        for (int i = 0; i < programCount; ++i) {
            NetworkBus *bus = networkBus(i);
            if (!bus)
                continue;
            const NetworkBus::Sender &sender = bus->sender(protocol);
            const bool running = sender.isRunning();
            sending += running ? 1 : 0;
            const QString state = running                   ? QStringLiteral("Sending")
                                  : sender.error().isEmpty() ? QStringLiteral("Stopped")
                                                             : QStringLiteral("Error");
            lines << programName(i) + QStringLiteral(": ") + uiText(state);
        }
        networkTiles[protocol]->setText(QStringLiteral("%1  %2 / %3 ")
                                            .arg(protocol == 0 ? QStringLiteral("NDI") : QStringLiteral("OMT"))
                                            .arg(sending)
                                            .arg(programCount)
                                            + uiText(QStringLiteral("Sending")));
        networkTiles[protocol]->setToolTip(lines.join(QLatin1Char('\n')));
    }

    NativeChannel *selected = selectedProgramChannel();
    const bool selectedLive = !selected->source().isEmpty() && selected->activeSlot() >= 0;
    const Cue activeCue = selectedLive ? selected->slot(selected->activeSlot()).cue : Cue();
    for (int row = 0; row < playlist.size() && row < playlistTable->rowCount(); ++row) {
        QTableWidgetItem *item = playlistTable->item(row, 1);
        if (!item)
            continue;
        bool rowOnAir = sampleContent ? row == 1 : false;
        if (!sampleContent && selectedLive) {
            const Cue &cue = playlist[row];
            rowOnAir = cue.source == activeCue.source && cue.in_ms == activeCue.in_ms && cue.out_ms == activeCue.out_ms;
        }
        QString status;
        if (rowOnAir)
            status = programName(selectedProgramIndex).toUpper();
        else if (row == (sampleContent ? 2 : currentRow))
            status = uiText(QStringLiteral("CUED"));
        if (item->data(MediaDelegate::statusRole).toString() != status)
            item->setData(MediaDelegate::statusRole, status);
    }
}

QJsonObject MainWindow::processUsageJson() const
{
    return ProcessUsage::withStaleness(latestUsage, QDateTime::currentMSecsSinceEpoch());
}

// The footer's figures: this process's cost from the latest sample, then the selected Program's
// published frames and last blend time. Percentages keep a decimal point in every language.
void MainWindow::refreshResourceText()
{
    if (!processUsageLabel)
        return;
    const QJsonObject sample = processUsageJson();
    const auto percent = [](const QJsonValue &value) {
        return value.isDouble() ? QString::number(value.toDouble(), 'f', 1) + QLatin1Char('%') : QStringLiteral("—");
    };
    NativeChannel *deck = selectedProgramIndex >= 0 && selectedProgramIndex < programCount ? channel(selectedProgramIndex) : nullptr;
    const QJsonObject diag = deck ? deck->diagnostics() : QJsonObject();
    const QJsonValue blend = diag.value(QStringLiteral("cpu_composition_last_ms"));
    const QString fps = sampleContent || !deck ? QStringLiteral("—")
                                               : QString::number(diag.value(QStringLiteral("video_frames_last_second")).toInt());
    const QString composition = sampleContent || !blend.isDouble() ? QStringLiteral("—")
                                                                   : QString::number(blend.toDouble(), 'f', 1) + QStringLiteral(" ms");
    const QString text = QStringLiteral("CPU %1   RAM %2   GPU %3 / %4   FPS %5   %6 %7")
                             .arg(percent(sample.value(QStringLiteral("cpu_percent"))),
                                  mediaSizeText(sample.value(QStringLiteral("working_set_bytes"))),
                                  percent(sample.value(QStringLiteral("gpu_percent"))),
                                  mediaSizeText(sample.value(QStringLiteral("gpu_memory_bytes"))), fps,
                                  uiText(QStringLiteral("Composition")), composition);
    const QString programText = selectedProgramIndex >= 0 && selectedProgramIndex < programCount
        ? programName(selectedProgramIndex)
        : uiText(QStringLiteral("Not available"));
    const QStringList tip{
        uiText(QStringLiteral("CPU and RAM measure this app. GPU shows activity (%) and application memory (MB/GB) separately. "
                              "Memory units are decimal: 1 MB = 1000000 bytes; 1 GB = 1000000000 bytes.")),
        uiText(QStringLiteral("GPU memory is this process's usage as the graphics driver reports it (DRM), not total VRAM "
                              "capacity. Missing or partial readings show a dash.")),
        uiText(QStringLiteral("Local GPU memory")) + QStringLiteral(": ")
            + mediaSizeText(sample.value(QStringLiteral("gpu_memory_local_bytes"))) + QStringLiteral(" · ")
            + uiText(QStringLiteral("Non-local GPU memory")) + QStringLiteral(": ")
            + mediaSizeText(sample.value(QStringLiteral("gpu_memory_nonlocal_bytes"))),
        programText + QStringLiteral(" · ")
            + uiText(QStringLiteral("FPS counts published video frames in the last second. Composition is the last CPU frame "
                                    "blend time for a transition, not total rendering latency or the configured fade duration.")),
        AppInfo::version};
    const QString tooltip = tip.join(QLatin1Char('\n'));
    if (processUsageLabel->text() != text)
        processUsageLabel->setText(text);
    processUsageLabel->setToolTip(tooltip);
    processUsageLabel->setAccessibleName(tooltip + QLatin1Char('\n') + text);
}

void MainWindow::refreshProgramInventory()
{
    if (programCountLabel)
        programCountLabel->setText(uiText(programCount == 1 ? QStringLiteral("%1 Program") : QStringLiteral("%1 Programs"))
                                       .arg(programCount)
                                   + QStringLiteral(" · ")
                                   + uiText(routeCount == 1 ? QStringLiteral("%1 display route")
                                                            : QStringLiteral("%1 display routes"))
                                         .arg(routeCount));
    if (routeCountLabel)
        routeCountLabel->setText(uiText(routeCount == 1 ? QStringLiteral("%1 display route") : QStringLiteral("%1 display routes"))
                                     .arg(routeCount));
    if (removeProgramButton)
        removeProgramButton->setEnabled(selectedProgramIndex > 0);
    if (addDisplayButton)
        addDisplayButton->setEnabled(routeCount < 128);
    if (removeDisplayButton)
        removeDisplayButton->setEnabled(routeCount > 1);
    // The MAIN desk's own Program buttons follow the same counts.
    if (auto *deskAdd = findChild<QPushButton *>(QStringLiteral("addProgram")))
        deskAdd->setEnabled(programCount < 64);
    if (pageStack && pageStack->count() > 0)
        for (QPushButton *copy : pageStack->widget(0)->findChildren<QPushButton *>())
            if (copy->text() == uiText(QStringLiteral("Copy A playlist")))
                copy->setEnabled(selectedProgramIndex > 0);
    if (programSelector) {
        const QSignalBlocker blocker(programSelector);
        programSelector->clear();
        for (int i = 0; i < programCount; ++i)
            programSelector->addItem(programName(i));
        programSelector->setCurrentIndex(selectedProgramIndex);
    }
    // Tiles are rebuilt when the Programs changed; names and states follow in place otherwise, so a
    // language change (or a capture right after it) never shows tiles that are not laid out yet.
    bool sameTiles = tiles.size() == programCount;
    for (int i = 0; sameTiles && i < programCount; ++i)
        sameTiles = tiles[i].programId == programs[i].id && tiles[i].frame;
    if (!sameTiles)
        clearProgramTiles();
    refreshProgramTiles();
    rebuildRouteTable();
    refreshAudioRouting();
}

// One tile per Program in the multiview once there is more than one Program; with one Program the
// MAIN page shows Program A's deck panel instead.
void MainWindow::refreshProgramTiles()
{
    if (!programArea || !tileLayout)
        return;
    const bool multi = programCount > 1;
    if (programArea->currentIndex() != (multi ? 1 : 0)) {
        programArea->setCurrentIndex(multi ? 1 : 0);
        // The multiview takes the larger share of the monitor row; the running order gives way a little.
        programArea->setMinimumHeight(multi ? 256 : 0);
        if (monitorRow) {
            monitorRow->setStretch(0, multi ? 30 : 37);
            monitorRow->setStretch(1, multi ? 70 : 37);
        }
        if (playlistTable)
            playlistTable->setMinimumHeight(multi ? 120 : 150);
    }
    if (!multi) {
        if (!tiles.isEmpty())
            clearProgramTiles();
        return;
    }
    if (tiles.size() != programCount) {
        clearProgramTiles();
        for (int i = 0; i < programCount; ++i)
            programTile(i);
        relayoutMultiview();
        // Placed at once, also when the window is already on screen.
        tileLayout->activate();
        for (const ProgramTile &tile : std::as_const(tiles))
            if (tile.frame && multiview->isVisible())
                tile.frame->show();
        refreshDetachedTiles();
    }
    for (int i = 0; i < tiles.size() && i < programCount; ++i) {
        const ProgramTile &tile = tiles[i];
        NativeChannel *tileDeck = channel(i);
        const bool onAir = sampleContent ? programs[i].id == 1 : tileDeck && !tileDeck->source().isEmpty();
        setFlagProperty(tile.frame, "selected", i == selectedProgramIndex);
        setFlagProperty(tile.frame, "onAir", onAir);
        setFlagProperty(tile.state, "onAir", onAir);
        if (tile.select) {
            tile.select->setChecked(i == selectedProgramIndex);
            if (tile.select->text() != programName(i))
                tile.select->setText(programName(i));
            const QString accessible = uiText(QStringLiteral("Select Program")) + QStringLiteral(" · ") + programName(i);
            if (tile.select->accessibleName() != accessible)
                tile.select->setAccessibleName(accessible);
        }
        if (!tileDeck)
            continue;
        setTextIfChanged(tile.state, uiText(deckStateWord(tileDeck)));
        if (tile.media) {
            static const char *const samples[] = {"02 - Opening film.mov", "04 - Sponsor loop.avi", "03 - Speaker intro.mkv"};
            const QString media = sampleContent ? QString::fromLatin1(samples[i % 3]) : deckMediaTitle(tileDeck);
            if (tile.media->text() != media) {
                tile.media->setText(media);
                tile.media->setToolTip(media);
            }
        }
        setTextIfChanged(tile.time, sampleContent ? QStringLiteral("00:01:24") : remainingText(tileDeck));
        setPlayIcon(tile.play, !sampleContent && tileDeck->isPlaying());
    }
}

// One Program's tile of the multiview: select button, detach button and state, its deck's picture,
// media name, remaining time and its own transport.
void MainWindow::programTile(int index)
{
    ProgramTile tile;
    tile.programId = programs[index].id;
    const int id = tile.programId;
    tile.frame = new QFrame(multiview->widget());
    tile.frame->setObjectName(QStringLiteral("programTile"));
    tile.frame->setProperty("programId", id);
    auto *layout = new QVBoxLayout(tile.frame);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(4);

    auto *header = new QHBoxLayout;
    header->setSpacing(4);
    tile.select = new QPushButton(programName(index), tile.frame);
    tile.select->setObjectName(QStringLiteral("programTileSelect"));
    tile.select->setCheckable(true);
    tile.select->setMinimumSize(0, 22);
    tile.select->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    tile.select->setProperty("tipKey", QStringLiteral("Select Program"));
    tile.select->setAccessibleName(uiText(QStringLiteral("Select Program")) + QStringLiteral(" · ") + programName(index));
    connect(tile.select, &QPushButton::clicked, this, [this, id] {
        selectProgram(programIndexOfId(id), false);
        refreshProgramTiles();
    });
    header->addWidget(tile.select, 1);
    header->addWidget(makeDetachButton(id));
    tile.state = new QLabel(tile.frame);
    tile.state->setObjectName(QStringLiteral("deckState"));
    header->addWidget(tile.state);
    layout->addLayout(header);

    DeskMonitor *monitor = monitorWidget(channel(index), index % 3);
    monitor->setMinimumSize(0, 40);
    tile.slot = makeDeckSlot(id, monitor);
    layout->addWidget(tile.slot, 1);
    tile.media = new ElidedLabel(tile.frame);
    tile.media->setObjectName(QStringLiteral("muted"));
    layout->addWidget(tile.media);

    auto *footer = new QHBoxLayout;
    footer->setSpacing(5);
    tile.time = new QLabel(tile.frame);
    tile.time->setObjectName(QStringLiteral("tileTime"));
    footer->addWidget(tile.time, 1);
    tile.play = makeIconButton(QStringLiteral("Play / pause"), 0);
    setPlayIcon(tile.play, false);
    QPushButton *black = makeIconButton(QStringLiteral("Black this Program"), 2);
    for (QPushButton *control : {tile.play.data(), black}) {
        control->setFixedSize(28, 24);
        footer->addWidget(control);
    }
    connect(tile.play, &QPushButton::clicked, this, [this, id] {
        if (NativeChannel *tileDeck = sampleContent ? nullptr : deck(id))
            tileDeck->togglePlayback();
        tick();
    });
    connect(black, &QPushButton::clicked, this, [this, id] { blackProgram(id); });
    layout->addLayout(footer);
    tiles.append(tile);
}

// The state word a deck shows on tiles and deck windows, untranslated.
QString MainWindow::deckStateWord(NativeChannel *shown) const
{
    if (sampleContent)
        return QStringLiteral("Sample");
    if (shown->isPreparing() && shown->takeWhenReady())
        return QStringLiteral("Preparing");
    if (shown->source().isEmpty())
        return QStringLiteral("Empty");
    return shown->isPlaying() ? QStringLiteral("Playing") : QStringLiteral("Paused");
}

// Time left to the deck's effective Out, never negative.
QString MainWindow::remainingText(NativeChannel *shown)
{
    const qint64 left = shown->outPointMs() - shown->positionMs();
    return clockText(left < 1 ? 0 : left);
}

void MainWindow::relayoutMultiview()
{
    if (!tileLayout || tiles.isEmpty())
        return;
    const QSize viewport = multiview ? multiview->viewport()->size() : QSize(800, 480);
    const MultiviewGrid grid(viewport.width(), viewport.height(), int(tiles.size()));
    for (int i = 0; i < tiles.size(); ++i) {
        if (!tiles[i].frame)
            continue;
        // The grid decides the widths; a tile's content may not push a third column past the viewport.
        tiles[i].frame->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        tiles[i].frame->setFixedHeight(grid.tileHeight());
        tileLayout->addWidget(tiles[i].frame, i / grid.columns(), i % grid.columns());
    }
    tileLayout->setAlignment(Qt::AlignTop);
}

void MainWindow::clearProgramTiles()
{
    tiles.clear();
    if (!tileLayout)
        return;
    while (QLayoutItem *item = tileLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void MainWindow::refreshDetachedTiles()
{
    deckSlots.removeIf([](const DeckSlot &entry) { return entry.slot.isNull(); });
    for (const DeckSlot &entry : std::as_const(deckSlots)) {
        const bool detached = std::any_of(deckWindows.cbegin(), deckWindows.cend(), [&](const DeckWindowEntry &window) {
            return window.deckId == entry.deckKey && window.window;
        });
        if (entry.slot->currentIndex() != (detached ? 1 : 0))
            entry.slot->setCurrentIndex(detached ? 1 : 0);
    }
}

void MainWindow::refreshDeckWindows()
{
    refreshDetachedTiles();
    deckWindows.removeIf([](const DeckWindowEntry &entry) { return entry.window.isNull(); });
    for (const DeckWindowEntry &entry : std::as_const(deckWindows))
        refreshDeckWindow(entry);
}

void MainWindow::refreshDeckWindow(const DeckWindowEntry &entry)
{
    NativeChannel *shown = deck(entry.deckId);
    if (!shown)
        return;
    const bool preview = entry.deckId == -1;
    const QString title = preview ? uiText(QStringLiteral("PREVIEW")) : programName(programIndexOfId(entry.deckId));
    setTextIfChanged(entry.title, title);
    const QString windowTitle = title + QStringLiteral(" — Zelvo Playout");
    if (entry.window->windowTitle() != windowTitle)
        entry.window->setWindowTitle(windowTitle);
    const bool onAir = !preview && (sampleContent ? entry.deckId == 1 : !shown->source().isEmpty());
    if (entry.onAirBadge && entry.onAirBadge->isVisibleTo(entry.window) != onAir)
        entry.onAirBadge->setVisible(onAir);
    setFlagProperty(entry.deckFrame, "onAir", onAir);
    setFlagProperty(entry.state, "onAir", onAir);
    setTextIfChanged(entry.state, uiText(deckStateWord(shown)));
    const QString media = sampleContent ? QStringLiteral("02 - Opening film.mov") : deckMediaTitle(shown);
    if (entry.media && entry.media->text() != media) {
        entry.media->setText(media);
        entry.media->setToolTip(media);
    }
    const QString time = sampleContent ? QStringLiteral("00:01:24")
                         : preview     ? clockText(std::max<qint64>(0, shown->positionMs()))
                                       : remainingText(shown);
    setTextIfChanged(entry.time, time);
    setPlayIcon(entry.play, !sampleContent && shown->isPlaying());
}

void MainWindow::rebuildMeterStrip()
{
    if (!meterStrip)
        return;
    auto *layout = qobject_cast<QHBoxLayout *>(meterStrip->layout());
    if (!layout)
        return;
    while (QLayoutItem *item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const bool other = selectedProgramIndex != 0;
    if (other) {
        auto *title = new QLabel(programName(selectedProgramIndex), meterStrip);
        title->setObjectName(QStringLiteral("meterTitle"));
        layout->addWidget(title);
        auto *meter = new StereoMeter(selectedProgramChannel(), sampleContent, meterStrip);
        meter->setMinimumWidth(80);
        layout->addWidget(meter, 1);
    }
    meterStrip->setVisible(other);
    refreshProgramTiles();
}
