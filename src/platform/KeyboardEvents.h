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
    // The name of the application with the keyboard focus (an X11 WM_CLASS, a Wayland app id);
    // empty when the platform cannot tell, none when no window has the focus at all.
    virtual std::optional<QString> focusedApplication() { return QString(); }
};
