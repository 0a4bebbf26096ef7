// Closes a window as the window manager does, from a display connection of the test's own.
#include <X11/Xlib.h>

#include <chrono>
#include <string>
#include <thread>

// The window manager's close: WM_DELETE_WINDOW to the top-level window titled `title`, sent
// from a display connection of our own. False when no such window appeared in 20 s.
bool closeWindowTitled(const char* title) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    bool sent = false;
    for (int tries = 0; tries < 400 && !sent; ++tries) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count && !sent; ++i) {
            char* name = nullptr;
            if (XFetchName(display, children[i], &name) && name) {
                if (std::string(name) == title) {
                    XEvent e{};
                    e.xclient.type = ClientMessage;
                    e.xclient.window = children[i];
                    e.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
                    e.xclient.format = 32;
                    e.xclient.data.l[0] =
                        static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
                    XSendEvent(display, children[i], False, NoEventMask, &e);
                    XFlush(display);
                    sent = true;
                }
                XFree(name);
            }
        }
        if (children)
            XFree(children);
        if (!sent)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    XCloseDisplay(display);
    return sent;
}
