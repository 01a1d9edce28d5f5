#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>

class WaylandConnection;
struct wl_display;
struct zwp_virtual_keyboard_v1;
struct org_kde_kwin_fake_input;

// A keyboard of Mirvo's own, through its own connection: the paste chord without starting a
// helper program. On a compositor with the virtual-keyboard protocol (sway, Hyprland, river…)
// it uploads a keymap of the few keys it types and stays for the process's life, since clients
// lose track of the clipboard when keyboards come and go; on KDE Plasma it types through KWin's
// fake input, which KWin offers only to programs whose .desktop file asks for it.
class VirtualKeyboard final {
public:
    // None when there is no compositor to reach or it offers neither protocol.
    static std::unique_ptr<VirtualKeyboard> connect();
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    // Ctrl+V, or Ctrl+Shift+V; false when the compositor could not be reached.
    bool typePasteChord(bool shift);
    // The protocol it types through, for the log.
    QString protocol() const {
        return keyboard_ ? QStringLiteral("virtual-keyboard") : QStringLiteral("KWin fake input");
    }

private:
    explicit VirtualKeyboard(std::unique_ptr<WaylandConnection> connection);
    bool setUp();

    const std::unique_ptr<WaylandConnection> connection_;
    wl_display* const display_;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    org_kde_kwin_fake_input* const fakeInput_;
    QElapsedTimer clock_;
};
