// Asks an X window to close the way a window manager does when the user clicks its close
// button: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. Xvfb runs no window
// manager, so the end-to-end tests use this to close quolvane's window.
// Usage: x11_close_window WINDOW_ID (decimal or 0x hex). Exit status 0 when the message was
// sent, 1 on bad usage or no display, 2 when the window does not take WM_DELETE_WINDOW.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
        return 1;
    }
    char* end = nullptr;
    const Window window = strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0' || window == 0) {
        fprintf(stderr, "not a window id: %s\n", argv[1]);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        fprintf(stderr, "cannot open display %s\n", XDisplayName(nullptr));
        return 1;
    }
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

    // A window manager sends the message only to windows that list it in WM_PROTOCOLS.
    Atom* listed = nullptr;
    int count = 0;
    bool takesDelete = false;
    if (XGetWMProtocols(display, window, &listed, &count)) {
        for (int i = 0; i < count; ++i)
            takesDelete = takesDelete || listed[i] == deleteWindow;
        XFree(listed);
    }
    if (!takesDelete) {
        fprintf(stderr, "window 0x%lx does not list WM_DELETE_WINDOW in WM_PROTOCOLS\n", window);
        XCloseDisplay(display);
        return 2;
    }

    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)deleteWindow;
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &ev);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
