#include "XTestKeyboardEvents.h"

#include "X11Connection.h"
#include "common/Log.h"
#include "platform/linux/system/Terminals.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

// The WM_CLASS name and class of the focused window or of its nearest ancestor that has one;
// none when no window has the focus. The windows may close while we walk them: their errors are
// trapped and end the walk.
std::optional<std::pair<QString, QString>> focusedWindowClass(Display* display) {
    X11ErrorTrap trap(display);
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None)
        return std::nullopt;
    while (focus != None && focus != PointerRoot) {
        XClassHint hint = {nullptr, nullptr};
        const bool hasHint = XGetClassHint(display, focus, &hint);
        if (trap.caughtError())
            break;
        if (hasHint) {
            std::pair<QString, QString> named(QString::fromLocal8Bit(hint.res_name),
                                              QString::fromLocal8Bit(hint.res_class));
            XFree(hint.res_name);
            XFree(hint.res_class);
            return named;
        }
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, focus, &root, &parent, &children, &count) || trap.caughtError())
            break;
        if (children)
            XFree(children);
        if (parent == root)
            break;
        focus = parent;
    }
    return std::pair<QString, QString>();
}

// Modifier keys down right now, as keycodes.
std::vector<KeyCode> heldModifiers(Display* display) {
    std::vector<KeyCode> held;
    char keys[32] = {};
    XQueryKeymap(display, keys);
    XModifierKeymap* map = XGetModifierMapping(display);
    if (!map)
        return held;
    for (int i = 0; i < 8 * map->max_keypermod; ++i) {
        const KeyCode code = map->modifiermap[i];
        if (code && (keys[code / 8] & (1 << (code % 8))))
            held.push_back(code);
    }
    XFreeModifiermap(map);
    return held;
}

} // namespace

XTestKeyboardEvents::XTestKeyboardEvents(std::shared_ptr<X11Connection> connection)
    : connection_(std::move(connection)) {}

void XTestKeyboardEvents::postPasteChord() {
    Display* display = connection_->display();
    if (!display) {
        mirvoLog(QStringLiteral("[Mirvo] paste: no X display to post the paste keys to"),
                 LogLevel::error);
        return;
    }
    const auto focused = focusedWindowClass(display).value_or(std::pair<QString, QString>());
    const bool terminal = isTerminal(focused.first) || isTerminal(focused.second);
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    const KeyCode v = XKeysymToKeycode(display, XK_v);

    // Keys the user still holds (Alt, Super, a Shift) would turn the chord into another
    // shortcut: lift them for the chord and put them back down afterwards.
    const std::vector<KeyCode> held = heldModifiers(display);
    for (KeyCode code : held)
        XTestFakeKeyEvent(display, code, False, CurrentTime);

    XTestFakeKeyEvent(display, control, True, CurrentTime);
    if (terminal)
        XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    if (terminal)
        XTestFakeKeyEvent(display, shift, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);

    for (KeyCode code : held)
        XTestFakeKeyEvent(display, code, True, CurrentTime);
    XSync(display, False);
}

std::optional<QString> XTestKeyboardEvents::focusedApplication() {
    Display* display = connection_->display();
    if (!display)
        return QString();
    const auto focused = focusedWindowClass(display);
    if (!focused)
        return std::nullopt;
    return focused->second.isEmpty() ? focused->first : focused->second;
}
