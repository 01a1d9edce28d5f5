#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/KeyboardEvents.h"
#include "platform/PlatformServices.h"

#include <QByteArray>
#include <QString>

#include <memory>

class ChordKeyboard;
class KWinFocusWatch;

// The paste chord on Wayland: on wlroots compositors through the virtual-keyboard protocol, by a
// keyboard of Mirvo's own (or by wtype where that cannot connect), on KDE through KWin's fake
// input: Ctrl+V, or Ctrl+Shift+V when the focused window is a terminal, as the compositor names
// it (sway and Hyprland when asked, KWin as it focuses each window).
class WaylandKeyboardEvents final : public KeyboardEvents {
public:
    // `chord`: how this desktop lets the chord be typed (virtualKeyboard or kdeFakeInput).
    explicit WaylandKeyboardEvents(DesktopCapabilities::PasteChord chord);
    ~WaylandKeyboardEvents() override;
    void postPasteChord() override;
    // How the chord is typed, for the log.
    QString chordPath() const;

    // The app id (or X11 class) of the focused window in `swaymsg -t get_tree` output; empty
    // when none is focused.
    static QString focusedAppIdInSwayTree(const QByteArray& json);

private:
    QString focusedAppId() const;

    const std::unique_ptr<ChordKeyboard> keyboard_;
    const std::unique_ptr<KWinFocusWatch> kwinFocus_;
};
