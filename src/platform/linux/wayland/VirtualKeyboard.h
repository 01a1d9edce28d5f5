#pragma once

#include "platform/linux/LinuxOnly.h"

#include <QElapsedTimer>

#include <memory>

struct wl_display;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

// A keyboard of Mirvo's own on a compositor with the virtual-keyboard protocol (sway, Hyprland,
// river…), through its own connection: the paste chord without starting a helper program. It
// uploads a keymap of the few keys it types and stays for the process's life, since clients
// lose track of the clipboard when keyboards come and go.
class VirtualKeyboard final {
public:
    // None when there is no compositor to reach or it lacks the protocol.
    static std::unique_ptr<VirtualKeyboard> connect();
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    // Ctrl+V, or Ctrl+Shift+V; false when the compositor could not be reached.
    bool typePasteChord(bool shift);

private:
    explicit VirtualKeyboard(wl_display* display) : display_(display) {}
    bool bind();

    friend struct VirtualKeyboardListeners;

    wl_display* const display_;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    QElapsedTimer clock_;
};
