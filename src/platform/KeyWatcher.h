#pragma once

#include <functional>
#include <memory>

// Told on the main thread each time the hold key goes down (`held` true) or up; never twice in a
// row with the same value.
using HoldKeyChanged = std::function<void(bool held)>;

// Watches the hold key for as long as it lives. It grabs nothing: every key still reaches the
// focused application.
class KeyWatcher {
public:
    virtual ~KeyWatcher() = default;
};

// Starts watching the hold key; null when it cannot be watched here.
using KeyWatcherFactory = std::function<std::unique_ptr<KeyWatcher>(HoldKeyChanged changed)>;
