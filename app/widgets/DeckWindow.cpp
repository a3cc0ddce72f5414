#include "app/widgets/DeckWindow.h"

#include <QCloseEvent>
#include <QShortcut>

#include <utility>

DeckWindow::DeckWindow(QWidget *parent, CloseCallback callback)
    : QWidget(parent, Qt::Window)
    , onClose(std::move(callback))
{
    setObjectName(QStringLiteral("deckWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(360, 260);
    auto *full = new QShortcut(QKeySequence(Qt::Key_F11), this);
    connect(full, &QShortcut::activated, this, &DeckWindow::toggleFullScreen);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &DeckWindow::leaveFullScreen);
}

void DeckWindow::toggleFullScreen()
{
    if (isFullScreen())
        showNormal();
    else
        showFullScreen();
}

void DeckWindow::leaveFullScreen()
{
    if (isFullScreen())
        showNormal();
}

void DeckWindow::closeEvent(QCloseEvent *event)
{
    // Moved out first: a callback that closes the window again must not run a second time.
    CloseCallback callback = std::exchange(onClose, nullptr);
    if (callback)
        callback(this);
    QWidget::closeEvent(event);
}
