// Asks every top-level window with the given title to close, as a window
// manager's close button does (WM_DELETE_WINDOW). Exits 1 when none is found.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool titleMatches(Display* display, Window window, const char* title) {
    char* name = nullptr;
    bool match = false;
    if (XFetchName(display, window, &name) && name) {
        match = std::strcmp(name, title) == 0;
        XFree(name);
    }
    return match;
}

int closeMatching(Display* display, Window window, const char* title, Atom protocols, Atom deleteWindow) {
    int closed = 0;
    if (titleMatches(display, window, title)) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(deleteWindow);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        ++closed;
    }
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) closed += closeMatching(display, children[i], title, protocols, deleteWindow);
        if (children) XFree(children);
    }
    return closed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TITLE\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xclose: no display\n");
        return 2;
    }
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    const int closed = closeMatching(display, DefaultRootWindow(display), argv[1], protocols, deleteWindow);
    XFlush(display);
    XCloseDisplay(display);
    return closed > 0 ? 0 : 1;
}
