#include "KdeFakeInputKeyboard.h"

#include "WaylandConnection.h"

#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <vector>

std::unique_ptr<KdeFakeInputKeyboard> KdeFakeInputKeyboard::connect() {
    // Keys came to KWin's fake input in its version 4.
    auto connection = WaylandConnection::open({{&org_kde_kwin_fake_input_interface, 4}});
    if (!connection)
        return nullptr;
    auto* fakeInput =
        connection->global<org_kde_kwin_fake_input>(org_kde_kwin_fake_input_interface);
    if (!fakeInput)
        return nullptr;
    org_kde_kwin_fake_input_authenticate(fakeInput, "Mirvo",
                                         "types the paste chord for dictated text");
    if (wl_display_roundtrip(connection->display()) < 0)
        return nullptr;
    return std::unique_ptr<KdeFakeInputKeyboard>(
        new KdeFakeInputKeyboard(std::move(connection), fakeInput));
}

KdeFakeInputKeyboard::KdeFakeInputKeyboard(std::unique_ptr<WaylandConnection> connection,
                                           org_kde_kwin_fake_input* fakeInput)
    : connection_(std::move(connection)), fakeInput_(fakeInput) {}

KdeFakeInputKeyboard::~KdeFakeInputKeyboard() = default;

bool KdeFakeInputKeyboard::typePasteChord(bool shift) {
    constexpr uint32_t pressed = WL_KEYBOARD_KEY_STATE_PRESSED;
    constexpr uint32_t released = WL_KEYBOARD_KEY_STATE_RELEASED;
    // KWin takes the keys themselves, each handled before the next is sent.
    std::vector<std::pair<uint32_t, uint32_t>> keys = {{ChordKeys::leftControl, pressed}};
    if (shift)
        keys.push_back({ChordKeys::leftShift, pressed});
    keys.insert(keys.end(), {{ChordKeys::v, pressed}, {ChordKeys::v, released}});
    if (shift)
        keys.push_back({ChordKeys::leftShift, released});
    keys.push_back({ChordKeys::leftControl, released});
    for (const auto& [key, state] : keys) {
        org_kde_kwin_fake_input_keyboard_key(fakeInput_, key, state);
        if (wl_display_roundtrip(connection_->display()) < 0)
            return false;
    }
    return true;
}
