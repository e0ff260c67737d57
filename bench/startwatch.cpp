// startwatch TITLE PROGRAM [ARGS...]: starts PROGRAM and prints the
// milliseconds until a top-level window titled TITLE is mapped on the X
// display, then ends PROGRAM (by its PID). Exit 1 when no such window is
// mapped within 30 s.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
std::string titleOf(Display *d, Window w) {
    const Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    std::string title;
    if (XGetWindowProperty(d, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        title.assign(reinterpret_cast<char *>(data), count);
        XFree(data);
    }
    return title;
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: startwatch TITLE PROGRAM [ARGS...]\n");
        return 2;
    }
    Display *d = XOpenDisplay(nullptr);
    if (!d) return 2;
    const Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    const auto deadline = start + std::chrono::seconds(30);
    int status = 1;
    while (std::chrono::steady_clock::now() < deadline) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            // Qt names its window before mapping it.
            if (e.type == MapNotify && titleOf(d, e.xmap.window) == argv[1]) {
                const double ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
                std::printf("%.1f\n", ms);
                status = 0;
                break;
            }
        }
        if (status == 0) break;
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(d), &fds);
        timeval tv{0, 100000};
        select(ConnectionNumber(d) + 1, &fds, nullptr, nullptr, &tv);
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    XCloseDisplay(d);
    return status;
}
