#pragma once

#include <X11/Xlib.h>
#include <string>

// What the operator sees of the updater: the status window while the installer runs and a message
// box for a failure, drawn with Xlib when a display can be opened; without one (or when quiet), the
// messages go to standard error.
class StatusDisplay
{
public:
    explicit StatusDisplay(bool quiet);
    ~StatusDisplay();
    StatusDisplay(const StatusDisplay &) = delete;
    StatusDisplay &operator=(const StatusDisplay &) = delete;

    // Shows the status window (not in quiet mode, not without a display); it cannot be closed.
    void showStatus(const std::string &text);
    void hideStatus();
    // Handles the window's queued events; the waits call it between their steps.
    void pump();
    // The display connection's descriptor, or -1.
    int descriptor() const;

    // Tells the operator about a failure and returns once the message was acknowledged.
    void showError(const std::string &message);

private:
    bool connected() const;
    unsigned long pixel(unsigned rgb);
    void drawText(unsigned long window, GC gc, const std::string &text, int left, int top, int width,
                  int height, bool centred);
    void paintStatus();
    unsigned long createWindow(const char *title, int width, int height, bool above);
    bool waitForAcknowledge(unsigned long box, GC gc, const std::string &message);

    bool m_quiet;
    Display *m_display = nullptr;
    XFontStruct *m_font = nullptr;
    unsigned long m_statusWindow = 0;
    GC m_statusGc = nullptr;
    std::string m_statusText;
};
