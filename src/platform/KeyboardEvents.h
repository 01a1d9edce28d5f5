#pragma once

#include <QString>

#include <optional>

// Synthetic key presses into the focused application: on Linux XTEST, a Wayland virtual
// keyboard or KWin's fake input.
class KeyboardEvents {
public:
    virtual ~KeyboardEvents() = default;
    // Posts the platform's paste chord (key down, then up) to the focused window, unaffected by
    // modifier keys the user still holds.
    virtual void postPasteChord() = 0;
    // Whether the chord can be posted now: a desktop that must allow it first may not have.
    virtual bool canPostPasteChord() { return true; }
    // A dictation begins: whatever the chord needs from the desktop is asked for now, so that
    // it is ready by the release.
    virtual void prepare() {}
    // The name of the application with the keyboard focus (an X11 WM_CLASS, a Wayland app id);
    // empty when the platform cannot tell, none when no window has the focus at all.
    virtual std::optional<QString> focusedApplication() { return QString(); }
};
