#include "X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

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
