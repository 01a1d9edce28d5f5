#include "XInput2KeyWatcher.h"

#include "X11Connection.h"

#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

std::unique_ptr<KeyWatcher> XInput2KeyWatcher::create(const QString& holdKey,
                                                      HoldKeyChanged changed) {
    const unsigned long keysym = XStringToKeysym(holdKey.toLatin1().constData());
    if (keysym == NoSymbol || !changed)
        return nullptr;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return nullptr;
    int opcode = 0;
    if (!X11Connection::hasXInput22(display, &opcode)) {
        XCloseDisplay(display);
        return nullptr;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask eventMask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &eventMask, 1);
    XFlush(display);
    return std::unique_ptr<KeyWatcher>(
        new XInput2KeyWatcher(display, opcode, keysym, std::move(changed)));
}

XInput2KeyWatcher::XInput2KeyWatcher(Display* display, int opcode, unsigned long holdKey,
                                     HoldKeyChanged changed)
    : display_(display), opcode_(opcode), holdKey_(holdKey), changed_(std::move(changed)) {
    notifier_ =
        std::make_unique<QSocketNotifier>(ConnectionNumber(display_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

XInput2KeyWatcher::~XInput2KeyWatcher() {
    notifier_.reset();
    XCloseDisplay(display_);
}

void XInput2KeyWatcher::readEvents() {
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode_ ||
            !XGetEventData(display_, cookie))
            continue;
        if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
            const bool down = cookie->evtype == XI_RawKeyPress;
            // Auto-repeat presses the held key again, and a release may come for a key that was
            // down before Mirvo watched it: neither changes anything.
            if (XkbKeycodeToKeysym(display_, KeyCode(raw->detail), 0, 0) == holdKey_ &&
                down != std::exchange(held_, down))
                changed_(down);
        }
        XFreeEventData(display_, cookie);
    }
}
