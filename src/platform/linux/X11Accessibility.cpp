#include "platform/Accessibility.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

bool accessibilityIsProcessTrusted() {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
    bool trusted = XQueryExtension(display, "XInputExtension", &opcode, &event, &error) &&
                   XIQueryVersion(display, &major, &minor) == Success &&
                   (major > 2 || (major == 2 && minor >= 2));
    int xtestEvent = 0, xtestError = 0, xtestMajor = 0, xtestMinor = 0;
    trusted =
        trusted && XTestQueryExtension(display, &xtestEvent, &xtestError, &xtestMajor, &xtestMinor);
    XCloseDisplay(display);
    return trusted;
}
