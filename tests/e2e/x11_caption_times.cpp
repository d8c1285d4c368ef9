// Prints when the next COUNT frames were drawn: the X server's timestamp, in milliseconds, of
// each of the next COUNT settings of a window's caption (_NET_WM_NAME), one per line. Every
// frame of quolvane sets its caption, and the server stamps each setting as it handles it, so
// the gaps between frames come out the same however busy the machine is with the test itself.
// Usage: x11_caption_times WINDOW_ID COUNT SECONDS. Exit status 0 when COUNT settings came
// within SECONDS, 1 on bad usage or no display, 2 on time-out.
#include <X11/Xlib.h>
#include <sys/select.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s WINDOW_ID COUNT SECONDS\n", argv[0]);
        return 1;
    }
    const Window window = strtoul(argv[1], nullptr, 0);
    const long count = strtol(argv[2], nullptr, 10);
    const long seconds = strtol(argv[3], nullptr, 10);
    if (window == 0 || count < 1 || seconds < 1) {
        fprintf(stderr, "bad arguments: %s %s %s\n", argv[1], argv[2], argv[3]);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        fprintf(stderr, "cannot open display %s\n", XDisplayName(nullptr));
        return 1;
    }
    const Atom caption = XInternAtom(display, "_NET_WM_NAME", False);
    XSelectInput(display, window, PropertyChangeMask);
    XFlush(display);

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long seen = 0;
    while (seen < count) {
        while (seen < count && XPending(display) > 0) {
            XEvent ev;
            XNextEvent(display, &ev);
            if (ev.type == PropertyNotify && ev.xproperty.atom == caption &&
                ev.xproperty.state == PropertyNewValue) {
                printf("%lu\n", (unsigned long)ev.xproperty.time);
                ++seen;
            }
        }
        const auto left = end - std::chrono::steady_clock::now();
        if (seen < count && left <= std::chrono::seconds(0)) {
            fprintf(stderr, "only %ld of %ld caption settings within %ld s\n", seen, count,
                    seconds);
            return 2;
        }
        if (seen < count) {
            const long us =
                (long)std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            timeval tv = {us / 1000000, us % 1000000};
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(ConnectionNumber(display), &fds);
            select(ConnectionNumber(display) + 1, &fds, nullptr, nullptr, &tv);
        }
    }
    XCloseDisplay(display);
    return 0;
}
