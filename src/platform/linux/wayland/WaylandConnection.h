#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_proxy;
struct wl_seat;

// A connection of Mirvo's own to the Wayland compositor, with the seat and the globals asked
// for bound: what a client of a compositor's protocol starts from.
class WaylandConnection final {
public:
    struct Global {
        const wl_interface* interface;
        uint32_t version; // bound at this version, when the compositor offers it or a later one
    };
    // None when no compositor answers or it has no seat.
    static std::unique_ptr<WaylandConnection> open(std::initializer_list<Global> wanted);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    wl_display* display() const { return display_; }
    wl_seat* seat() const { return seat_; }
    // The bound global of `interface`, null when the compositor does not offer it.
    template <typename Proxy> Proxy* global(const wl_interface& interface) const {
        const auto found = globals_.find(&interface);
        return found == globals_.end() ? nullptr : reinterpret_cast<Proxy*>(found->second);
    }

private:
    explicit WaylandConnection(wl_display* display) : display_(display) {}

    friend struct WaylandConnectionListeners;

    wl_display* const display_;
    wl_seat* seat_ = nullptr;
    std::vector<Global> wanted_; // while the registry is read
    std::map<const wl_interface*, wl_proxy*> globals_;
};
