#pragma once

#include "ChordKeyboard.h"

#include <QElapsedTimer>

#include <memory>

class WaylandConnection;
struct wl_display;
struct zwp_virtual_keyboard_v1;

// A keyboard of Mirvo's own on a compositor with the virtual-keyboard protocol (sway, Hyprland,
// river…), through its own connection: the paste chord without starting a helper program. It
// uploads a keymap of the few keys it types and stays for the process's life, since clients
// lose track of the clipboard when keyboards come and go.
class VirtualKeyboard final : public ChordKeyboard {
public:
    // None when there is no compositor to reach or it offers no virtual keyboard.
    static std::unique_ptr<VirtualKeyboard> connect();
    ~VirtualKeyboard() override;
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    bool typePasteChord(bool shift) override;
    QString protocol() const override { return QStringLiteral("virtual-keyboard"); }

private:
    explicit VirtualKeyboard(std::unique_ptr<WaylandConnection> connection);
    bool setUp();

    const std::unique_ptr<WaylandConnection> connection_;
    wl_display* const display_;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    QElapsedTimer clock_;
};
