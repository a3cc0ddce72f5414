// Looks for a window of the updater on the X display (the status window "Zelvo Playout" unless another
// title is given) and prints what it finds, one "key value" line each: found, size, above,
// text-pixels (pixels in the status text colour), survives-close (still mapped after a close request).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// The window may go away between two requests (a closed message box): that is an answer, not an error.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

// Other programs on the same display (the application's own test windows) may carry the same title;
// the updater's windows are told apart by their class.
bool isUpdaterWindow(Display *display, Window window)
{
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return false;
    const bool updater = hint.res_name && std::strcmp(hint.res_name, "ZelvoUpdater") == 0;
    XFree(hint.res_name);
    XFree(hint.res_class);
    return updater;
}

Window findByName(Display *display, Window parent, const char *name)
{
    Window root = 0, parentOut = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, parent, &root, &parentOut, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        char *windowName = nullptr;
        if (XFetchName(display, children[i], &windowName) && windowName) {
            if (std::strcmp(windowName, name) == 0 && isUpdaterWindow(display, children[i]))
                found = children[i];
            XFree(windowName);
        }
        if (!found)
            found = findByName(display, children[i], name);
    }
    if (children)
        XFree(children);
    return found;
}

bool isMapped(Display *display, Window window)
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

bool hasAboveState(Display *display, Window window)
{
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    const Atom above = XInternAtom(display, "_NET_WM_STATE_ABOVE", False);
    bool found = false;
    if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), 0, 32, False, XA_ATOM,
                           &type, &format, &count, &after, &data) == Success && data) {
        for (unsigned long i = 0; i < count; ++i)
            found = found || reinterpret_cast<Atom *>(data)[i] == above;
        XFree(data);
    }
    return found;
}

long textPixels(Display *display, Window window, int width, int height)
{
    XImage *image = XGetImage(display, window, 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (!image)
        return -1;
    long count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            count += (XGetPixel(image, x, y) & 0xFFFFFF) == 0xE4EDF6;
    }
    XDestroyImage(image);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    const char *title = argc > 1 ? argv[1] : "Zelvo Playout";
    XSetErrorHandler(ignoreErrors);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::puts("found no-display");
        return 0;
    }
    Window window = 0;
    // The updater maps its window before it starts the installer, but a loaded machine can take a
    // while to show it: look for up to ten seconds.
    for (int attempt = 0; attempt < 200 && !window; ++attempt) {
        window = findByName(display, DefaultRootWindow(display), title);
        if (!window || !isMapped(display, window)) {
            window = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (!window) {
        std::puts("found no");
        return 0;
    }
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    std::printf("found yes\nsize %dx%d\nabove %s\n", attributes.width, attributes.height,
                hasAboveState(display, window) ? "yes" : "no");
    // Mapped is not yet drawn: the updater paints its text when the server asks it to, which on a
    // loaded machine can come some time after the window appears.
    long text = 0;
    for (int attempt = 0; attempt < 100 && text == 0; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        text = textPixels(display, window, attributes.width, attributes.height);
    }
    std::printf("text-pixels %ld\n", text);

    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &close);
    XFlush(display);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("survives-close %s\n", isMapped(display, window) ? "yes" : "no");
    XCloseDisplay(display);
    return 0;
}
