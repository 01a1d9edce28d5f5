#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QString>

typedef struct _XDisplay Display;

// One Xlib connection for Mirvo's short X11 queries and requests (extension probes, the focused
// window, the compositor, synthetic keys), opened on first use and kept. Main thread only.
class X11Connection final {
public:
    X11Connection() = default;
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    // Null when no X display can be opened; tried again on the next call.
    Display* display();

    // Whether `display` offers XInput 2.2; `opcode` receives the extension's opcode.
    static bool hasXInput22(Display* display, int* opcode = nullptr);
    // Why Mirvo cannot watch the hold key or paste on this display (no display, an extension
    // missing), in a sentence for the user; empty when it can.
    QString missingForKeys();

private:
    Display* display_ = nullptr;
};

// Collects the X errors of the requests made while it lives instead of letting Xlib's default
// handler end the process, as it would for a BadWindow about a window that closed meanwhile.
// Restores the previous handler when it goes. Main thread only; traps do not nest.
class X11ErrorTrap final {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Whether any request so far failed (waits for the server's answers).
    bool caughtError();

private:
    Display* display_;
    int (*previous_)(Display*, void*);
};
