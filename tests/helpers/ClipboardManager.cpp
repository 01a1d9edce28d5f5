// A clipboard manager for tests: it owns CLIPBOARD_MANAGER and, when an exiting application asks
// it to save the clipboard (SAVE_TARGETS), reads the clipboard's text from that application,
// logs it and then owns the clipboard with that text, as a desktop's clipboard manager keeps
// what an exiting owner held.
// Usage: ClipboardManager LOGFILE   Log lines: "ready", "saved <text>".
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

FILE* logFile = nullptr;

void logLine(const std::string& line) {
    std::fprintf(logFile, "%s\n", line.c_str());
    std::fflush(logFile);
}

// The clipboard's text, asked of its owner on behalf of `window`; empty when it gives none.
std::string clipboardText(Display* d, Window window) {
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom property = XInternAtom(d, "MIRVO_SAVED", False);
    XConvertSelection(d, clipboard, utf8, property, window, CurrentTime);
    XFlush(d);
    // Generous: an exiting owner under a sanitizer answers slowly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    XEvent event{};
    while (std::chrono::steady_clock::now() < deadline) {
        if (XCheckTypedWindowEvent(d, window, SelectionNotify, &event))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        event.type = 0;
    }
    if (event.type != SelectionNotify || event.xselection.property == None)
        return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(d, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format,
                       &count, &after, &data);
    std::string text = data ? std::string(reinterpret_cast<char*>(data), count) : std::string();
    if (data)
        XFree(data);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !(logFile = std::fopen(argv[1], "a")))
        return 2;
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return 1;
    const Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom manager = XInternAtom(d, "CLIPBOARD_MANAGER", False);
    const Atom saveTargets = XInternAtom(d, "SAVE_TARGETS", False);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom targets = XInternAtom(d, "TARGETS", False);
    std::string kept;
    XSetSelectionOwner(d, manager, window, CurrentTime);
    if (XGetSelectionOwner(d, manager) != window)
        return 1;
    logLine("ready");
    for (;;) {
        XEvent event{};
        XNextEvent(d, &event);
        if (event.type != SelectionRequest)
            continue;
        const XSelectionRequestEvent& request = event.xselectionrequest;
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.time = request.time;
        reply.xselection.property = None;
        const Atom property = request.property == None ? request.target : request.property;
        if (request.selection == manager && request.target == saveTargets) {
            kept = clipboardText(d, window);
            logLine("saved " + kept);
            reply.xselection.property = property;
            XSetSelectionOwner(d, clipboard, window, CurrentTime);
        } else if (request.selection == clipboard && request.target == utf8) {
            XChangeProperty(d, request.requestor, property, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(kept.data()), int(kept.size()));
            reply.xselection.property = property;
        } else if (request.selection == clipboard && request.target == targets) {
            const Atom offered[] = {targets, utf8};
            XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered), 2);
            reply.xselection.property = property;
        }
        XSendEvent(d, request.requestor, False, NoEventMask, &reply);
        XFlush(d);
    }
}
