#include "XInput2EventTap.h"

#include "X11Connection.h"

#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace {

uint64_t flagOf(unsigned long keysym) {
    switch (keysym) {
    case XK_Shift_L:
    case XK_Shift_R:
        return TapEvent::maskShift;
    case XK_Control_L:
    case XK_Control_R:
        return TapEvent::maskControl;
    case XK_Alt_L:
    case XK_Alt_R:
    case XK_Meta_L:
    case XK_Meta_R:
    case XK_ISO_Level3_Shift:
        return TapEvent::maskAlternate;
    case XK_Super_L:
    case XK_Super_R:
        return TapEvent::maskCommand;
    default:
        return 0;
    }
}

} // namespace

std::unique_ptr<EventTap> XInput2EventTap::create(uint64_t mask, EventTapCallback callback,
                                                  void* userInfo, const QString& pushToTalkKey) {
    if (!(mask & TapEvent::flagsChangedMask) || !callback)
        return nullptr;
    const unsigned long pushToTalk = XStringToKeysym(pushToTalkKey.toLatin1().constData());
    if (pushToTalk == NoSymbol)
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
    return std::unique_ptr<EventTap>(
        new XInput2EventTap(display, opcode, pushToTalk, callback, userInfo));
}

XInput2EventTap::XInput2EventTap(Display* display, int opcode, unsigned long pushToTalk,
                                 EventTapCallback callback, void* userInfo)
    : display_(display), opcode_(opcode), pushToTalk_(pushToTalk), callback_(callback),
      userInfo_(userInfo) {
    notifier_ =
        std::make_unique<QSocketNotifier>(ConnectionNumber(display_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

XInput2EventTap::~XInput2EventTap() {
    notifier_.reset();
    XCloseDisplay(display_);
}

void XInput2EventTap::readEvents() {
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode_ ||
            !XGetEventData(display_, cookie))
            continue;
        if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
            const unsigned long keysym = XkbKeycodeToKeysym(display_, KeyCode(raw->detail), 0, 0);
            keyChanged(keysym, cookie->evtype == XI_RawKeyPress);
        }
        XFreeEventData(display_, cookie);
    }
}

void XInput2EventTap::keyChanged(unsigned long keysym, bool down) {
    if (keysym != pushToTalk_ && flagOf(keysym) == 0)
        return; // not a modifier: no flags-changed event
    const bool changed = down ? held_.insert(keysym).second : held_.erase(keysym) > 0;
    // A repeated press of a held key, or a release of a key already up, changes nothing.
    if (!changed || !enabled_)
        return;
    callback_(TapEvent{TapEvent::flagsChanged, flags()}, userInfo_);
}

uint64_t XInput2EventTap::flags() const {
    uint64_t flags = 0;
    for (unsigned long keysym : held_)
        flags |= keysym == pushToTalk_ ? TapEvent::maskSecondaryFn : flagOf(keysym);
    return flags;
}
