#include "app/MainWindow.h"

#include "link/LinkNode.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSettings>
#include <QSpinBox>
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
    if (!canTake()) {
        setStatus(QStringLiteral("Cue media before taking it to Program."));
        return;
    }
    if (syncedTakesActive() && takeSelectedCue(fade)) {
        tick();
        return;
    }
    PlaylistController *order = selectedPlaylist();
    const int fadeMs = std::clamp(settings->value(QStringLiteral("manualFadeMs"), 300).toInt(), 1, 10000);
    if (!order->takeCue(playlist, selectedCueRow, fade, fadeMs))
        setStatus(QStringLiteral("Could not take"));
    tick();
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

// The switch of a synchronized take when its moment comes: at once when the deck is prepared,
// else as soon as it is; a take that comes 9 ms or more late starts where it would have been.
void MainWindow::takeWhenPrepared(const QPointer<NativeChannel> &deck, qint64 atUs)
{
    if (!deck)
        return;
    if (deck->isPrepared()) {
        deck->take();
        return;
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(deck, &NativeChannel::preparedReady, this, [this, deck, atUs, connection] {
        disconnect(*connection);
        if (!deck)
            return;
        deck->take();
        const qint64 latenessUs = linkClockUs() - atUs;
        if (latenessUs >= 9000 && deck->activeSlot() >= 0)
            deck->seek(deck->slot(deck->activeSlot()).cue.in_ms + latenessUs / 1000);
    });
}
