#include "WaylandConnection.h"

#include <wayland-client.h>

#include <cstring>

struct WaylandConnectionListeners {
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* self = static_cast<WaylandConnection*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
            return;
        }
        for (const WaylandConnection::Global& wanted : self->wanted_)
            if (std::strcmp(interface, wanted.interface->name) == 0 && version >= wanted.version &&
                !self->globals_.count(wanted.interface))
                self->globals_[wanted.interface] = static_cast<wl_proxy*>(
                    wl_registry_bind(registry, name, wanted.interface, wanted.version));
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
};

std::unique_ptr<WaylandConnection> WaylandConnection::open(std::initializer_list<Global> wanted) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    std::unique_ptr<WaylandConnection> connection(new WaylandConnection(display));
    connection->wanted_ = wanted;
    wl_registry* registry = wl_display_get_registry(display);
    static const wl_registry_listener listener = {WaylandConnectionListeners::global,
                                                  WaylandConnectionListeners::globalRemove};
    wl_registry_add_listener(registry, &listener, connection.get());
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    connection->wanted_ = {};
    return answered && connection->seat_ ? std::move(connection) : nullptr;
}

WaylandConnection::~WaylandConnection() {
    // The objects the globals made are gone by now; the globals go with the connection.
    for (const auto& [interface, proxy] : globals_)
        wl_proxy_destroy(proxy);
    if (seat_)
        wl_seat_destroy(seat_);
    wl_display_disconnect(display_);
}
