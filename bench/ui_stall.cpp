// How long a window's user-interface thread stops answering after a key: the
// window is pinged (_NET_WM_PING, which Qt answers from its event loop) over and
// over, first for a while undisturbed, then after a key sent through XTest.
// Prints figures; judges nothing.
//
//   bench_ui_stall WINDOW-ID [--key ctrl+w] [--before MS] [--after MS]

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Pinger {
    Display *display;
    Window window;
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    unsigned long serial = 1;

    // The time to the answer in ms, or a negative number when none came in time.
    double once(double timeoutMs)
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(ping);
        event.xclient.data.l[1] = long(++serial);
        event.xclient.data.l[2] = long(window);
        const Clock::time_point sent = Clock::now();
        XSendEvent(display, window, False, NoEventMask, &event);
        XFlush(display);
        while (msSince(sent) < timeoutMs) {
            while (XPending(display)) {
                XEvent reply;
                XNextEvent(display, &reply);
                if (reply.type == ClientMessage && reply.xclient.message_type == protocols &&
                    Atom(reply.xclient.data.l[0]) == ping &&
                    static_cast<unsigned long>(reply.xclient.data.l[1]) == serial)
                    return msSince(sent);
            }
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, 1);
        }
        return -1;
    }
};

void sendKey(Display *display, const std::string &key)
{
    std::vector<KeyCode> codes;
    std::string rest = key;
    while (!rest.empty()) {
        const std::size_t plus = rest.find('+');
        const std::string part = rest.substr(0, plus);
        rest = plus == std::string::npos ? "" : rest.substr(plus + 1);
        KeySym sym = part == "ctrl"    ? XK_Control_L
                     : part == "shift" ? XK_Shift_L
                     : part == "alt"   ? XK_Alt_L
                                       : XStringToKeysym(part.c_str());
        codes.push_back(XKeysymToKeycode(display, sym));
    }
    for (KeyCode code : codes)
        XTestFakeKeyEvent(display, code, True, CurrentTime);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it)
        XTestFakeKeyEvent(display, *it, False, CurrentTime);
    XFlush(display);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDOW-ID [--key K] [--before MS] [--after MS]\n", argv[0]);
        return 2;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    std::string key = "ctrl+w";
    double beforeMs = 1000, afterMs = 3000;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--key"))
            key = argv[i + 1];
        else if (!std::strcmp(argv[i], "--before"))
            beforeMs = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--after"))
            afterMs = std::atof(argv[i + 1]);
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    // Answers go to the root window.
    XSelectInput(display, DefaultRootWindow(display), StructureNotifyMask);
    Pinger pinger{display, window};

    const auto measure = [&](double forMs, double &longest, double &over16, int &lost) {
        longest = 0, over16 = 0, lost = 0;
        const Clock::time_point start = Clock::now();
        while (msSince(start) < forMs) {
            const double rtt = pinger.once(2000);
            if (rtt < 0) {
                ++lost;
                continue;
            }
            longest = std::max(longest, rtt);
            if (rtt > 16)
                over16 += rtt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    double longest0, over0, longest1, over1;
    int lost0, lost1;
    measure(beforeMs, longest0, over0, lost0);
    sendKey(display, key);
    measure(afterMs, longest1, over1, lost1);
    std::printf("idle: longest answer %.1f ms; after %s: longest %.1f ms, unanswered %d, "
                "time in answers over 16 ms %.1f ms\n",
                longest0, key.c_str(), longest1, lost1, over1);
    XCloseDisplay(display);
    return lost0 + lost1 == 0 ? 0 : 3;
}
