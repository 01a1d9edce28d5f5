#include "X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace {

int trappedErrors = 0;

int countError(Display*, XErrorEvent*) {
    ++trappedErrors;
    return 0;
}

} // namespace

X11Connection::~X11Connection() {
    if (display_)
        XCloseDisplay(display_);
}

Display* X11Connection::display() {
    if (!display_)
        display_ = XOpenDisplay(nullptr);
    return display_;
}

bool X11Connection::hasXInput22(Display* display, int* opcode) {
    if (!display)
        return false;
    int xiOpcode = 0, event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(display, "XInputExtension", &xiOpcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success)
        return false;
    if (opcode)
        *opcode = xiOpcode;
    return major > 2 || (major == 2 && minor >= 2);
}

QString X11Connection::missingForKeys() {
    // On X11 nothing is granted: Mirvo may observe keys and post them when the display offers
    // the two extensions it uses.
    Display* d = display();
    if (!d)
        return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                   ? QStringLiteral("This is a Wayland session without X11 (XWayland): Mirvo "
                                    "needs it for its windows.")
                   : QStringLiteral("Mirvo finds no X11 display (DISPLAY is not set or the "
                                    "server does not answer), so it cannot watch the hold key "
                                    "or paste.");
    if (!hasXInput22(d))
        return QStringLiteral("The X server lacks XInput 2.2, which Mirvo needs to watch the "
                              "hold key.");
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &event, &error, &major, &minor))
        return QStringLiteral("The X server lacks the XTEST extension, which Mirvo needs to "
                              "paste.");
    return QString();
}

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
    XSync(display_, False); // earlier requests' errors are not ours
    trappedErrors = 0;
    previous_ = reinterpret_cast<int (*)(Display*, void*)>(XSetErrorHandler(countError));
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(reinterpret_cast<XErrorHandler>(previous_));
}

bool X11ErrorTrap::caughtError() {
    XSync(display_, False);
    return trappedErrors > 0;
}
