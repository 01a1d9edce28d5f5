#include "VirtualKeyboard.h"

#include "platform/linux/desktop/InMemoryFile.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <cstring>
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

struct VirtualKeyboardListeners {
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* self = static_cast<VirtualKeyboard*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_)
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
            self->manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        // Keys came to KWin's fake input in its version 4.
        else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 &&
                 version >= 4)
            self->fakeInput_ = static_cast<org_kde_kwin_fake_input*>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
};

std::unique_ptr<VirtualKeyboard> VirtualKeyboard::connect() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    std::unique_ptr<VirtualKeyboard> keyboard(new VirtualKeyboard(display));
    return keyboard->bind() ? std::move(keyboard) : nullptr;
}

VirtualKeyboard::~VirtualKeyboard() {
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (manager_)
        zwp_virtual_keyboard_manager_v1_destroy(manager_);
    if (fakeInput_)
        org_kde_kwin_fake_input_destroy(fakeInput_);
    if (seat_)
        wl_seat_destroy(seat_);
    wl_display_disconnect(display_);
}

bool VirtualKeyboard::bind() {
    wl_registry* registry = wl_display_get_registry(display_);
    static const wl_registry_listener listener = {VirtualKeyboardListeners::global,
                                                  VirtualKeyboardListeners::globalRemove};
    wl_registry_add_listener(registry, &listener, this);
    const bool found = wl_display_roundtrip(display_) >= 0 && seat_ && (manager_ || fakeInput_);
    wl_registry_destroy(registry);
    if (!found)
        return false;
    clock_.start();
    if (!manager_) {
        org_kde_kwin_fake_input_authenticate(fakeInput_, "Mirvo",
                                             "types the paste chord for dictated text");
        return wl_display_roundtrip(display_) >= 0;
    }
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
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
