#pragma once

#include <QWidget>

#include <functional>

// Top-level window into which a deck's monitor is detached, so that a Preview or Program picture
// can be placed on another screen or shown full screen (F11 toggles, Escape leaves). The window
// deletes itself when closed; its on-close callback runs exactly once, on the GUI thread, so the
// owner can save the geometry and dock the monitor back.
class DeckWindow : public QWidget
{
public:
    using CloseCallback = std::function<void(DeckWindow *)>;

    DeckWindow(QWidget *parent, CloseCallback onClose);

    void toggleFullScreen();
    void leaveFullScreen();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    CloseCallback onClose;
};
