#include "app/MainWindow.h"

#include "app/ChannelMonitor.h"
#include "app/widgets/DeckWindow.h"
#include "app/widgets/DeskMonitor.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/SamplePicture.h"
#include "outputs/display/OutputWindow.h"

#include <QGuiApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QVBoxLayout>

namespace {

QString deckGeometryKey(int deckId)
{
    return deckId == -1 ? QStringLiteral("deckWindows/preview/geometry")
                        : QStringLiteral("deckWindows/program%1").arg(deckId) + QStringLiteral("/geometry");
}

} // namespace

QList<DeckWindow *> MainWindow::deckWindowList() const
{
    QList<DeckWindow *> result;
    for (const DeckWindowEntry &entry : deckWindows)
        if (entry.window)
            result << entry.window.data();
    return result;
}

void MainWindow::detachDeck(int deckId)
{
    for (const DeckWindowEntry &entry : std::as_const(deckWindows)) {
        if (entry.deckId == deckId && entry.window) {
            entry.window->showNormal();
            entry.window->raise();
            entry.window->activateWindow();
            return;
        }
    }
    NativeChannel *shown = deck(deckId);
    if (!shown)
        return;
    DeckWindowEntry entry{deckId, new DeckWindow(nullptr, [this](DeckWindow *closing) { deckWindowClosed(closing); })};
    fillDeckWindow(entry);
    deckWindows.append(entry);
    restoreDeckGeometry(entry.window, deckId);
    entry.window->show();
    refreshDeckWindows();
}

// The content of a detached deck's window: title, tally badge and state, the picture, the media name,
// and the time with the deck's own play/pause and clear or black.
void MainWindow::fillDeckWindow(DeckWindowEntry &entry)
{
    const int deckId = entry.deckId;
    DeckWindow *window = entry.window;
    auto *outer = new QVBoxLayout(window);
    outer->setContentsMargins(0, 0, 0, 0);
    entry.deckFrame = new QFrame(window);
    entry.deckFrame->setObjectName(QStringLiteral("deck"));
    const QString channelKey = deckId == -1 ? QStringLiteral("preview") : QStringLiteral("program");
    entry.deckFrame->setProperty("channel", channelKey);
    outer->addWidget(entry.deckFrame);
    auto *layout = new QVBoxLayout(entry.deckFrame);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(8);

    auto *header = new QHBoxLayout;
    entry.title = new QLabel(entry.deckFrame);
    entry.title->setObjectName(QStringLiteral("deckTitle"));
    entry.title->setProperty("channel", channelKey);
    entry.onAirBadge = makeLabel(QStringLiteral("ON AIR"), QStringLiteral("onAirBadge"));
    entry.state = new QLabel(entry.deckFrame);
    entry.state->setObjectName(QStringLiteral("deckState"));
    QPushButton *full = makeIconButton(QStringLiteral("Fullscreen  ·  F11"), 18);
    connect(full, &QPushButton::clicked, window, &DeckWindow::toggleFullScreen);
    QPushButton *dock = makeIconButton(QStringLiteral("Dock deck"), 17);
    connect(dock, &QPushButton::clicked, window, &QWidget::close);
    header->addWidget(entry.title);
    header->addStretch(1);
    for (QWidget *part : {static_cast<QWidget *>(entry.onAirBadge.data()), static_cast<QWidget *>(entry.state.data()),
                          static_cast<QWidget *>(full), static_cast<QWidget *>(dock)})
        header->addWidget(part);
    layout->addLayout(header);
    layout->addWidget(monitorWidget(deck(deckId), deckId == -1 ? 0 : 1), 1);
    entry.media = new ElidedLabel(entry.deckFrame);
    entry.media->setObjectName(QStringLiteral("mediaTitle"));
    entry.media->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(entry.media);

    auto *footer = new QHBoxLayout;
    entry.time = new QLabel(entry.deckFrame);
    entry.time->setObjectName(QStringLiteral("timecode"));
    entry.play = makeIconButton(QStringLiteral("Play / pause"), 0);
    connect(entry.play, &QPushButton::clicked, this, [this, deckId] {
        if (NativeChannel *shown = sampleContent ? nullptr : deck(deckId))
            shown->togglePlayback();
        tick();
    });
    QPushButton *clear = makeIconButton(deckId == -1 ? QStringLiteral("Clear Preview") : QStringLiteral("Black this Program"), 2);
    connect(clear, &QPushButton::clicked, this, [this, deckId] {
        if (deckId == -1)
            clearPreview();
        else
            blackProgram(deckId);
    });
    footer->addWidget(entry.time);
    footer->addStretch(1);
    footer->addWidget(entry.play);
    footer->addWidget(clear);
    layout->addLayout(footer);
}

void MainWindow::clearPreview()
{
    readiness.clear();
    previewDeck.clear();
    selectedCueRow = -1;
    tick();
}

void MainWindow::blackProgram(int programId)
{
    const int index = programIndexOfId(programId);
    if (index < 0 || sampleContent)
        return;
    NativeChannel *shown = channel(index);
    PlaylistController *order = controller(index);
    if (!shown || !order)
        return;
    order->current = -1;
    order->nextPrepared = false;
    shown->clear();
    tick();
}

void MainWindow::restoreDeckGeometry(QWidget *deckWindow, int deckId)
{
    bool restored = false;
    if (!sampleContent)
        restored = deckWindow->restoreGeometry(settings->value(deckGeometryKey(deckId)).toByteArray());
    if (restored) {
        QScreen *target = QGuiApplication::screenAt(deckWindow->frameGeometry().center());
        const bool covered = target && std::any_of(routeWindows.cbegin(), routeWindows.cend(), [&](const QPointer<OutputWindow> &w) {
                                 return w && w->isVisible() && w->screen() == target;
                             });
        if (target && !covered)
            return;
    }
    QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    QRect placed(QPoint(0, 0), QSize(std::min(available.width() - 40, 960), std::min(available.height() - 40, 600)));
    placed.moveCenter(available.center());
    deckWindow->setGeometry(placed);
}

void MainWindow::deckWindowClosed(QWidget *deckWindow)
{
    for (int i = 0; i < deckWindows.size(); ++i) {
        if (!deckWindows[i].window || deckWindows[i].window.data() != deckWindow)
            continue;
        if (!deckWindow->isFullScreen())
            writePreference(deckGeometryKey(deckWindows[i].deckId), deckWindow->saveGeometry());
        deckWindows.removeAt(i);
        break;
    }
    refreshDetachedTiles();
}

void MainWindow::closeProgramOutputs(int programId)
{
    for (const DeckWindowEntry &entry : std::as_const(deckWindows)) {
        if (entry.deckId == programId && entry.window) {
            entry.window->close();
            return;
        }
    }
}

DeskMonitor *MainWindow::monitorWidget(NativeChannel *shown, int sampleVariant)
{
    if (sampleContent)
        return new DeskMonitor(new SamplePicture(sampleVariant));
    return new DeskMonitor(new ChannelMonitor(shown));
}
