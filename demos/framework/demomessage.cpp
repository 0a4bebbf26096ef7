#include "framework/demomessage.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "devices/report.hpp"

namespace {

std::mutex gBoxMutex;

bool wantsStandardError() {
    const char* how = std::getenv("MANUVIA_MESSAGES");
    return how && std::strcmp(how, "stderr") == 0;
}

std::vector<std::string> linesOf(const char* text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += *p;
        }
        // Long texts wrap so the dialog stays on screen.
        if (line.size() >= 90) {
            lines.push_back(line);
            line.clear();
        }
    }
    lines.push_back(line);
    return lines;
}

// A plain X window with the text and an OK button; gone on a click on OK, Return, Escape
// or the window manager's close. False when no display can be opened.
bool showDialog(Display* display, const char* title, const char* text) {
    int screen = DefaultScreen(display);
    XFontStruct* font = XLoadQueryFont(display, "fixed");
    int lineHeight = font ? font->ascent + font->descent + 2 : 14;
    int charWidth = font ? font->max_bounds.width : 7;
    std::vector<std::string> lines = linesOf(text);
    size_t longest = 20;
    for (const std::string& l : lines)
        longest = l.size() > longest ? l.size() : longest;
    int width = static_cast<int>(longest) * charWidth + 40;
    int height = static_cast<int>(lines.size()) * lineHeight + 80;
    const int buttonW = 70, buttonH = 26;
    int buttonX = (width - buttonW) / 2, buttonY = height - buttonH - 14;

    Window window = XCreateSimpleWindow(
        display, RootWindow(display, screen), 100, 100, static_cast<unsigned>(width),
        static_cast<unsigned>(height), 1, BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, window, title);
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(display, window, &hints);
    Atom closeAtom = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &closeAtom, 1);
    XSelectInput(display, window, ExposureMask | ButtonPressMask | KeyPressMask);
    GC gc = XCreateGC(display, window, 0, nullptr);
    if (font)
        XSetFont(display, gc, font->fid);
    XSetForeground(display, gc, BlackPixel(display, screen));
    XMapRaised(display, window);

    bool done = false;
    while (!done) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
            case Expose:
                for (size_t i = 0; i < lines.size(); ++i)
                    XDrawString(display, window, gc, 20, 30 + static_cast<int>(i) * lineHeight,
                                lines[i].c_str(), static_cast<int>(lines[i].size()));
                XDrawRectangle(display, window, gc, buttonX, buttonY, buttonW, buttonH);
                XDrawString(display, window, gc, buttonX + buttonW / 2 - charWidth,
                            buttonY + buttonH / 2 + lineHeight / 3, "OK", 2);
                break;
            case ButtonPress:
                done = event.xbutton.x >= buttonX && event.xbutton.x <= buttonX + buttonW &&
                       event.xbutton.y >= buttonY && event.xbutton.y <= buttonY + buttonH;
                break;
            case KeyPress: {
                KeySym key = XLookupKeysym(&event.xkey, 0);
                done = key == XK_Return || key == XK_KP_Enter || key == XK_Escape;
                break;
            }
            case ClientMessage:
                done = static_cast<Atom>(event.xclient.data.l[0]) == closeAtom;
                break;
            default:
                break;
        }
    }
    XFreeGC(display, gc);
    if (font)
        XFreeFont(display, font);
    XDestroyWindow(display, window);
    XFlush(display);
    return true;
}

void reportHook(const char* title, const char* message) {
    demoMessageBox(title, message);
}

}  // namespace

void demoMessageBox(const char* title, const char* text) {
    if (!title)
        title = "";
    if (!text)
        text = "";
    std::lock_guard<std::mutex> lock(gBoxMutex);
    if (!wantsStandardError()) {
        if (Display* display = XOpenDisplay(nullptr)) {
            showDialog(display, title, text);
            XCloseDisplay(display);
            return;
        }
    }
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
}

void demoRouteDeviceReports() {
    Devices::setReportHook(reportHook);
}
