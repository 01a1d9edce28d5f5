#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// What a keyboard-event tap sees: flags-changed events with the modifier flags word, and the
// notifications that the tap was disabled.
struct TapEvent {
    static constexpr uint32_t flagsChanged = 12;
    static constexpr uint32_t tapDisabledByTimeout = 0xFFFFFFFE;
    static constexpr uint32_t tapDisabledByUserInput = 0xFFFFFFFF;
    static constexpr uint64_t flagsChangedMask = 0x1000; // 1 << flagsChanged

    static constexpr uint64_t maskShift = 0x20000;
    static constexpr uint64_t maskControl = 0x40000;
    static constexpr uint64_t maskAlternate = 0x80000;
    static constexpr uint64_t maskCommand = 0x100000;
    static constexpr uint64_t maskSecondaryFn = 0x800000; // the push-to-talk key

    uint32_t type = flagsChanged;
    uint64_t flags = 0;
    bool operator==(const TapEvent&) const = default;
};

// Called for every event, with the user pointer given at creation; returns the event, which an
// observing tap passes on unchanged.
using EventTapCallback = TapEvent (*)(TapEvent event, void* userInfo);

// An installed tap, delivering on the main thread. Observes only.
class EventTap {
public:
    virtual ~EventTap() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
};

// Creates and enables a tap for the events in `mask`; null when no tap can be created.
using EventTapFactory = std::function<std::unique_ptr<EventTap>(
    uint64_t mask, EventTapCallback callback, void* userInfo)>;
