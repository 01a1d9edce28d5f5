#include "VirtualKeyboard.h"

#include "WaylandConnection.h"
#include "platform/linux/system/InMemoryFile.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// The keys the chord needs, by their evdev codes (the protocols') plus 8 (XKB's).
constexpr uint32_t keyLeftControl = 29;
constexpr uint32_t keyLeftShift = 42;
constexpr uint32_t keyV = 47;
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
    // Keys came to KWin's fake input in its version 4.
    auto connection = WaylandConnection::open(
        {{&zwp_virtual_keyboard_manager_v1_interface, 1}, {&org_kde_kwin_fake_input_interface, 4}});
    if (!connection)
        return nullptr;
    std::unique_ptr<VirtualKeyboard> keyboard(new VirtualKeyboard(std::move(connection)));
    return keyboard->setUp() ? std::move(keyboard) : nullptr;
}

VirtualKeyboard::VirtualKeyboard(std::unique_ptr<WaylandConnection> connection)
    : connection_(std::move(connection)), display_(connection_->display()),
      fakeInput_(connection_->global<org_kde_kwin_fake_input>(org_kde_kwin_fake_input_interface)) {}

VirtualKeyboard::~VirtualKeyboard() {
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(keyboard_);
}

bool VirtualKeyboard::setUp() {
    clock_.start();
    auto* manager = connection_->global<zwp_virtual_keyboard_manager_v1>(
        zwp_virtual_keyboard_manager_v1_interface);
    if (!manager) {
        if (!fakeInput_)
            return false;
        org_kde_kwin_fake_input_authenticate(fakeInput_, "Mirvo",
                                             "types the paste chord for dictated text");
        return wl_display_roundtrip(display_) >= 0;
    }
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
    if (!keyboard_) {
        // KWin takes the keys themselves, each handled before the next is sent.
        std::vector<std::pair<uint32_t, uint32_t>> keys = {{keyLeftControl, pressed}};
        if (shift)
            keys.push_back({keyLeftShift, pressed});
        keys.insert(keys.end(), {{keyV, pressed}, {keyV, released}});
        if (shift)
            keys.push_back({keyLeftShift, released});
        keys.push_back({keyLeftControl, released});
        for (const auto& [key, state] : keys) {
            org_kde_kwin_fake_input_keyboard_key(fakeInput_, key, state);
            if (wl_display_roundtrip(display_) < 0)
                return false;
        }
        return true;
    }
    const auto now = uint32_t(clock_.elapsed());
    zwp_virtual_keyboard_v1_modifiers(keyboard_, controlMask | (shift ? shiftMask : 0), 0, 0, 0);
    zwp_virtual_keyboard_v1_key(keyboard_, now, keyV, pressed);
    zwp_virtual_keyboard_v1_key(keyboard_, now, keyV, released);
    zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    // Answered once the compositor has handled the keys: the text is being pasted.
    return wl_display_roundtrip(display_) >= 0;
}
