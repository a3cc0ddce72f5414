#include "app/MainWindow.h"

#include "app/PreferenceTable.h"
#include "link/LinkNode.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>

bool MainWindow::canTake()
{
    if (selectedProgramIndex < 0 || selectedProgramIndex >= programCount)
        return false;
    if (selectedCueRow < 0 || selectedCueRow >= playlist.size())
        return false;
    if (!playlistTable || playlistTable->currentRow() != selectedCueRow)
        return false;
    return readiness.readyFor(playlist[selectedCueRow]);
}

// The TAKE of the selected Program: the verified Preview cue goes to air through the Program's
// sequencer, as a cut or with the manual fade.
void MainWindow::take(bool fade)
{
    if (sampleContent) {
        setStatus(QStringLiteral("Layout preview — sample content"));
        return;
    }
    // The shortcuts reach this on every page; only MAIN takes.
    if (pageStack && pageStack->currentIndex() != 0)
        return;
    if (!canTake() || readiness.state() != CueReadiness::Ready) {
        setStatus(QStringLiteral("Cue media before taking it to Program."));
        return;
    }
    // A file replaced after verification is no longer the proven one: the readiness turns to
    // "Media changed; cue again" and the take is refused.
    if (!readiness.recheckMedia()) {
        setStatus(QStringLiteral("Cue media before taking it to Program."));
        return;
    }
    if (syncedTakesActive() && takeSelectedCue(fade)) {
        tick();
        return;
    }
    PlaylistController *order = selectedPlaylist();
    const int fadeMs = fadeBox ? fadeBox->value() : preference(QStringLiteral("manualFadeMs")).toInt();
    // The controller refuses only what the checks above let through by mistake; the operator
    // still has to see that nothing went to air.
    if (!order->takeCue(playlist, selectedCueRow, fade, fadeMs))
        setStatus(QStringLiteral("The take was refused."));
    tick();
}

QVariant MainWindow::preference(const QString &key) const
{
    return PreferenceTable::read(*settings, key);
}

// Every page writes through here: nothing is written on the layout board, and a preferences file
// that cannot be written is reported once on the status line rather than after every change.
void MainWindow::writePreference(const QString &key, const QVariant &value)
{
    if (!PreferenceTable::write(*settings, key, value, sampleContent))
        return;
    settings->sync();
    if (settings->status() == QSettings::NoError) {
        preferencesWarned = false;
        return;
    }
    if (preferencesWarned)
        return;
    preferencesWarned = true;
    setStatus(QStringLiteral("Preferences could not be saved."));
}

void MainWindow::onManualFadeChanged(int value)
{
    writePreference(QStringLiteral("manualFadeMs"), value);
}

// Running order edits act on the current row; with none selected they do nothing. Each drops the
// cued row, because the verified cue no longer sits at the row the take would read.
void MainWindow::moveCue(int step)
{
    const int row = playlistTable ? playlistTable->currentRow() : -1;
    const int target = row + step;
    if (row < 0 || row >= playlist.size() || target < 0 || target >= playlist.size())
        return;
    playlist.move(row, target);
    selectedCueRow = -1;
    modified = true;
    refreshPlaylistTable();
    playlistTable->setCurrentCell(target, 1);
}

void MainWindow::duplicateCue()
{
    const int row = playlistTable ? playlistTable->currentRow() : -1;
    if (row < 0 || row >= playlist.size())
        return;
    playlist.insert(row + 1, playlist[row]);
    selectedCueRow = -1;
    modified = true;
    refreshPlaylistTable();
    playlistTable->setCurrentCell(row + 1, 1);
}

void MainWindow::removeCue()
{
    const int row = playlistTable ? playlistTable->currentRow() : -1;
    if (row < 0 || row >= playlist.size())
        return;
    selectedCueRow = -1;
    editedCueRow = -1;
    playlist.removeAt(row);
    modified = true;
    refreshPlaylistTable();
    playlistTable->setCurrentCell(-1, -1);
}

void MainWindow::refreshOrderControls()
{
    PlaylistController *order = selectedPlaylist();
    for (QPushButton *mode : {manualButton, sequentialButton}) {
        if (!mode)
            continue;
        const QSignalBlocker blocker(mode);
        mode->setChecked(mode == sequentialButton ? order->autoAdvance : !order->autoAdvance);
    }
    if (repeatBox) {
        const QSignalBlocker blocker(repeatBox);
        repeatBox->setChecked(order->repeat);
        repeatBox->setEnabled(order->autoAdvance);
    }
    if (loopBox) {
        const QSignalBlocker blocker(loopBox);
        loopBox->setChecked(selectedProgramChannel()->looping());
        loopBox->setEnabled(!order->autoAdvance);
    }
}

void MainWindow::connectProgramChannel(int programIndex)
{
    NativeChannel *deck = channel(programIndex);
    NetworkBus *bus = networkBus(programIndex);
    if (!deck || !bus)
        return;
    connect(deck, &NativeChannel::changed, this, [this] { tick(); });
    connect(deck, &NativeChannel::failed, this, [this](const QString &message) {
        setStatusRaw(uiText(QStringLiteral("Media error")) + QStringLiteral(": ") + message);
    });
    connect(deck, &NativeChannel::audioWarning, this, [this](const QString &message) { setStatus(message); });
    connect(bus, &NetworkBus::warning, this, [this](const QString &message) { setStatus(message); });
}

qint64 MainWindow::linkClockUs() const
{
    if (linkClockForTesting)
        return linkClockForTesting();
    return linkNode ? linkNode->clockUs() : 0;
}
