#pragma once

#include "platform/linux/LinuxOnly.h"

#include "platform/KeyboardEvents.h"

#include <QByteArray>
#include <QString>

// The paste chord on wlroots compositors through wtype (the virtual-keyboard protocol):
// Ctrl+V, or Ctrl+Shift+V when the focused window is a terminal, as sway or Hyprland name it.
class WtypeKeyboardEvents final : public KeyboardEvents {
public:
    void postPasteChord() override;

    // The app id (or X11 class) of the focused window in `swaymsg -t get_tree` output; empty
    // when none is focused.
    static QString focusedAppIdInSwayTree(const QByteArray& json);

private:
    static QString focusedAppId();
};
