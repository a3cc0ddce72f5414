#include "app/MainWindow.h"

#include "app/ChannelMonitor.h"
#include "app/widgets/DeckWindow.h"
#include "app/widgets/DeskMonitor.h"
#include "app/widgets/SamplePicture.h"
#include "outputs/display/OutputWindow.h"

#include <QGuiApplication>
#include <QLabel>
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
    auto *window = new DeckWindow(nullptr, [this](DeckWindow *closing) { deckWindowClosed(closing); });
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(monitorWidget(shown, deckId == -1 ? 0 : 1));
    deckWindows.append({deckId, window});
    restoreDeckGeometry(window, deckId);
    window->show();
    refreshDetachedTiles();
    refreshDeckWindows();
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
