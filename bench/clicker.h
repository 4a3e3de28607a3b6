#pragma once

// Shared by the benches that press the program's buttons.

#include "press_common.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdint>

namespace Bench {

// Clicks through the X server as a pointing device would, with XTest.
class Clicker {
public:
    ~Clicker()
    {
        if (dpy_)
            XCloseDisplay(dpy_);
    }
    bool open()
    {
        int event, error, major, minor;
        dpy_ = XOpenDisplay(nullptr);
        return dpy_ && XTestQueryExtension(dpy_, &event, &error, &major, &minor);
    }

    bool toRoot(Window w, int x, int y, int *rx, int *ry)
    {
        Window child;
        return XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), x, y, rx, ry, &child);
    }

    void move(int x, int y)
    {
        XTestFakeMotionEvent(dpy_, -1, x, y, CurrentTime);
        XFlush(dpy_);
    }

    // Press and release at once: the program acts on the release, as buttons
    // do, and the floor on the press; neither waits for a finger.
    std::int64_t click()
    {
        const std::int64_t at = nowNs();
        XTestFakeButtonEvent(dpy_, 1, True, CurrentTime);
        XTestFakeButtonEvent(dpy_, 1, False, CurrentTime);
        XFlush(dpy_);
        return at;
    }

    // Whether the pointer at (x, y) is over `w` or one of its children, so that a
    // click there reaches it and not a window covering it.
    bool over(Window w, int x, int y)
    {
        move(x, y);
        XSync(dpy_, False);
        Window root, child, at = DefaultRootWindow(dpy_), deepest = None;
        int rx, ry, wx, wy;
        unsigned mask;
        while (XQueryPointer(dpy_, at, &root, &child, &rx, &ry, &wx, &wy, &mask) && child) {
            deepest = at = child;
        }
        for (Window v = deepest; v;) {
            if (v == w)
                return true;
            Window parent, *children = nullptr;
            unsigned n = 0;
            if (!XQueryTree(dpy_, v, &root, &parent, &children, &n))
                return false;
            if (children)
                XFree(children);
            v = parent == root ? 0 : parent;
        }
        return false;
    }

private:
    Display *dpy_ = nullptr;
};

} // namespace Bench
