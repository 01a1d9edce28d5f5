#include "VirtualKeyboard.h"

#include "WaylandConnection.h"
#include "platform/linux/system/InMemoryFile.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t shiftMask = 1u << 0; // the real modifiers' usual order: Shift, Lock, Control
constexpr uint32_t controlMask = 1u << 2;
constexpr uint32_t pressed = WL_KEYBOARD_KEY_STATE_PRESSED;
constexpr uint32_t released = WL_KEYBOARD_KEY_STATE_RELEASED;

// The compositor compiles it with its own XKB data; the protocol wants the final NUL counted.
const QByteArray keymap = QByteArrayLiteral(R"(xkb_keymap {
xkb_keycodes "mirvo" { minimum = 8; maximum = 255; <LCTL> = 37; <LFSH> = 50; <AB04> = 55; };
xkb_types "mirvo" { include "complete" };
xkb_compatibility "mirvo" { include "complete" };
xkb_symbols "mirvo" {
    key <LCTL> { [ Control_L ] };
    key <LFSH> { [ Shift_L ] };
    key <AB04> { [ v, V ] };
    modifier_map Control { <LCTL> };
    modifier_map Shift { <LFSH> };
};
};
)") + '\0';

} // namespace

std::unique_ptr<VirtualKeyboard> VirtualKeyboard::connect() {
    auto connection = WaylandConnection::open({{&zwp_virtual_keyboard_manager_v1_interface, 1}});
    if (!connection)
        return nullptr;
    std::unique_ptr<VirtualKeyboard> keyboard(new VirtualKeyboard(std::move(connection)));
    return keyboard->setUp() ? std::move(keyboard) : nullptr;
}

VirtualKeyboard::VirtualKeyboard(std::unique_ptr<WaylandConnection> connection)
    : connection_(std::move(connection)), display_(connection_->display()) {}

VirtualKeyboard::~VirtualKeyboard() {
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(keyboard_);
}

bool VirtualKeyboard::setUp() {
    clock_.start();
    auto* manager = connection_->global<zwp_virtual_keyboard_manager_v1>(
        zwp_virtual_keyboard_manager_v1_interface);
    if (!manager)
        return false;
    keyboard_ =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, connection_->seat());
    const InMemoryFile file("mirvo-keymap", keymap);
    const int fd =
        file.path().isEmpty() ? -1 : ::open(file.path().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The request carries a copy of the descriptor.
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   uint32_t(keymap.size()));
    ::close(fd);
    return wl_display_roundtrip(display_) >= 0;
}

bool VirtualKeyboard::typePasteChord(bool shift) {
    const auto now = uint32_t(clock_.elapsed());
    zwp_virtual_keyboard_v1_modifiers(keyboard_, controlMask | (shift ? shiftMask : 0), 0, 0, 0);
    zwp_virtual_keyboard_v1_key(keyboard_, now, ChordKeys::v, pressed);
    zwp_virtual_keyboard_v1_key(keyboard_, now, ChordKeys::v, released);
    zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    // Answered once the compositor has handled the keys: the text is being pasted.
    return wl_display_roundtrip(display_) >= 0;
}
