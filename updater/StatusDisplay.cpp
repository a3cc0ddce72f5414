#include "updater/StatusDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <vector>

namespace {

constexpr int statusWidth = 440;
constexpr int statusHeight = 140;
constexpr int boxWidth = 460;
constexpr int boxHeight = 170;
constexpr unsigned statusBackground = 0x0D151F;
constexpr unsigned statusForeground = 0xE4EDF6;

// Set when the display connection broke; nothing touches the display after that.
bool displayLost = false;

int ignoreProtocolError(Display *, XErrorEvent *)
{
    return 0;
}

int noteConnectionLoss(Display *)
{
    displayLost = true;
    return 0;
}

void keepRunningAfterLoss(Display *, void *)
{
    displayLost = true;
}

// The core fonts speak Latin-1; the texts are UTF-8.
std::string toLatin1(const std::string &utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        unsigned code = lead;
        size_t length = 1;
        if (lead >= 0xF0)
            length = 4, code = lead & 0x07;
        else if (lead >= 0xE0)
            length = 3, code = lead & 0x0F;
        else if (lead >= 0xC0)
            length = 2, code = lead & 0x1F;
        for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (code == 0x2026)
            out += "...";
        else
            out += code < 0x100 ? char(code) : '?';
    }
    return out;
}

std::vector<std::string> wrap(XFontStruct *font, const std::string &text, int width)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line;
        size_t word = start;
        while (word < end) {
            size_t next = text.find(' ', word);
            next = next == std::string::npos || next > end ? end : next;
            const std::string candidate = line.empty() ? text.substr(word, next - word)
                                                       : line + " " + text.substr(word, next - word);
            if (!line.empty() && font && XTextWidth(font, candidate.c_str(), int(candidate.size())) > width) {
                lines.push_back(line);
                line = text.substr(word, next - word);
            } else {
                line = candidate;
            }
            word = next + 1;
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

} // namespace

StatusDisplay::StatusDisplay(bool quiet) : m_quiet(quiet)
{
    if (quiet || !std::getenv("DISPLAY"))
        return;
    XSetErrorHandler(ignoreProtocolError);
    XSetIOErrorHandler(noteConnectionLoss);
    m_display = XOpenDisplay(nullptr);
    if (!m_display)
        return;
    XSetIOErrorExitHandler(m_display, keepRunningAfterLoss, nullptr);
    for (const char *name : {"-*-dejavu sans-medium-r-normal--14-*-*-*-p-*-iso8859-1",
                             "-*-helvetica-medium-r-normal--14-*-*-*-p-*-iso8859-1",
                             "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso8859-1", "fixed"}) {
        if ((m_font = XLoadQueryFont(m_display, name)))
            break;
    }
}

StatusDisplay::~StatusDisplay()
{
    hideStatus();
    if (connected() && m_font)
        XFreeFont(m_display, m_font);
    if (connected())
        XCloseDisplay(m_display);
}

bool StatusDisplay::connected() const
{
    return m_display && !displayLost;
}

int StatusDisplay::descriptor() const
{
    return connected() ? ConnectionNumber(m_display) : -1;
}

unsigned long StatusDisplay::pixel(unsigned rgb)
{
    XColor colour{};
    colour.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 0x101);
    colour.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 0x101);
    colour.blue = static_cast<unsigned short>((rgb & 0xFF) * 0x101);
    colour.flags = DoRed | DoGreen | DoBlue;
    if (!XAllocColor(m_display, DefaultColormap(m_display, DefaultScreen(m_display)), &colour))
        return rgb == statusBackground ? BlackPixel(m_display, 0) : WhitePixel(m_display, 0);
    return colour.pixel;
}

unsigned long StatusDisplay::createWindow(const char *title, int width, int height, bool above)
{
    const int screen = DefaultScreen(m_display);
    const int x = (DisplayWidth(m_display, screen) - width) / 2;
    const int y = (DisplayHeight(m_display, screen) - height) / 2;
    const Window window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), x, y, unsigned(width),
                                              unsigned(height), 0, BlackPixel(m_display, screen),
                                              pixel(statusBackground));
    XStoreName(m_display, window, title);
    const Atom utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    XChangeProperty(m_display, window, XInternAtom(m_display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(title), int(std::strlen(title)));
    XClassHint classHint{const_cast<char *>("ZelvoUpdater"), const_cast<char *>("ZelvoUpdateStatus")};
    XSetClassHint(m_display, window, &classHint);
    XSizeHints *hints = XAllocSizeHints();
    hints->flags = PPosition | PSize | PMinSize | PMaxSize;
    hints->x = x;
    hints->y = y;
    hints->width = hints->min_width = hints->max_width = width;
    hints->height = hints->min_height = hints->max_height = height;
    XSetWMNormalHints(m_display, window, hints);
    XFree(hints);
    // The close button only asks; the status window ignores the request, a message box takes it as OK.
    Atom deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(m_display, window, &deleteWindow, 1);
    if (above) {
        Atom state = XInternAtom(m_display, "_NET_WM_STATE_ABOVE", False);
        XChangeProperty(m_display, window, XInternAtom(m_display, "_NET_WM_STATE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<unsigned char *>(&state), 1);
    }
    XSelectInput(m_display, window, ExposureMask | KeyPressMask | ButtonPressMask | StructureNotifyMask);
    XMapRaised(m_display, window);
    return window;
}

void StatusDisplay::drawText(unsigned long window, GC gc, const std::string &text, int left, int top, int width,
                             int height, bool centred)
{
    if (!m_font)
        return;
    const std::vector<std::string> lines = wrap(m_font, toLatin1(text), width);
    const int lineHeight = m_font->ascent + m_font->descent + 2;
    int y = centred ? top + (height - int(lines.size()) * lineHeight) / 2 : top;
    for (const std::string &line : lines) {
        const int lineWidth = XTextWidth(m_font, line.c_str(), int(line.size()));
        const int x = centred ? left + (width - lineWidth) / 2 : left;
        XDrawString(m_display, window, gc, x, y + m_font->ascent, line.c_str(), int(line.size()));
        y += lineHeight;
    }
}

void StatusDisplay::paintStatus()
{
    XSetForeground(m_display, m_statusGc, pixel(statusBackground));
    XFillRectangle(m_display, m_statusWindow, m_statusGc, 0, 0, statusWidth, statusHeight);
    XSetForeground(m_display, m_statusGc, pixel(statusForeground));
    drawText(m_statusWindow, m_statusGc, m_statusText, 20, 0, statusWidth - 40, statusHeight, true);
    XFlush(m_display);
}

void StatusDisplay::showStatus(const std::string &text)
{
    if (m_quiet || !connected())
        return;
    m_statusText = text;
    m_statusWindow = createWindow("Zelvo Playout", statusWidth, statusHeight, true);
    m_statusGc = XCreateGC(m_display, m_statusWindow, 0, nullptr);
    if (m_font)
        XSetFont(m_display, m_statusGc, m_font->fid);
    XSync(m_display, False);
    paintStatus();
}

void StatusDisplay::hideStatus()
{
    if (!m_statusWindow)
        return;
    if (connected()) {
        XFreeGC(m_display, m_statusGc);
        XDestroyWindow(m_display, m_statusWindow);
        XFlush(m_display);
    }
    m_statusWindow = 0;
    m_statusGc = nullptr;
}

void StatusDisplay::pump()
{
    while (connected() && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        // A close request (ClientMessage) is swallowed: the window stays until the installer ends.
        if (event.type == Expose && event.xexpose.window == m_statusWindow && event.xexpose.count == 0)
            paintStatus();
    }
}

bool StatusDisplay::waitForAcknowledge(unsigned long box, GC gc, const std::string &message)
{
    const Atom deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
    const int buttonX = boxWidth - 100, buttonY = boxHeight - 44, buttonW = 84, buttonH = 30;
    const auto paint = [&] {
        XSetForeground(m_display, gc, pixel(0xF0F0F0));
        XFillRectangle(m_display, box, gc, 0, 0, boxWidth, boxHeight);
        XSetForeground(m_display, gc, pixel(0xC42B1C));
        XFillArc(m_display, box, gc, 18, 20, 36, 36, 0, 360 * 64);
        XSetForeground(m_display, gc, pixel(0xFFFFFF));
        XFillRectangle(m_display, box, gc, 34, 28, 4, 14);
        XFillRectangle(m_display, box, gc, 34, 46, 4, 4);
        XSetForeground(m_display, gc, pixel(0x000000));
        drawText(box, gc, message, 70, 24, boxWidth - 90, boxHeight - 80, false);
        XDrawRectangle(m_display, box, gc, buttonX, buttonY, buttonW, buttonH);
        drawText(box, gc, "OK", buttonX, buttonY, buttonW, buttonH, true);
        XFlush(m_display);
    };
    paint();
    while (connected()) {
        while (connected() && XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == Expose && event.xexpose.count == 0)
                paint();
            if (event.type == ClientMessage && Atom(event.xclient.data.l[0]) == deleteWindow)
                return true;
            if (event.type == ButtonPress && event.xbutton.x >= buttonX && event.xbutton.x <= buttonX + buttonW
                && event.xbutton.y >= buttonY && event.xbutton.y <= buttonY + buttonH)
                return true;
            if (event.type == KeyPress) {
                const KeySym key = XLookupKeysym(&event.xkey, 0);
                if (key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space)
                    return true;
            }
        }
        pollfd watch{ConnectionNumber(m_display), POLLIN, 0};
        poll(&watch, 1, 200);
    }
    return false;
}

void StatusDisplay::showError(const std::string &message)
{
    std::fprintf(stderr, "Zelvo Playout Update: %s\n", message.c_str());
    if (m_quiet || !connected())
        return;
    const Window box = createWindow("Zelvo Playout Update", boxWidth, boxHeight, false);
    Atom dialog = XInternAtom(m_display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(m_display, box, XInternAtom(m_display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char *>(&dialog), 1);
    GC gc = XCreateGC(m_display, box, 0, nullptr);
    if (m_font)
        XSetFont(m_display, gc, m_font->fid);
    waitForAcknowledge(box, gc, message);
    if (connected()) {
        XFreeGC(m_display, gc);
        XDestroyWindow(m_display, box);
        XFlush(m_display);
    }
}
