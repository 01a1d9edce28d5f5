#pragma once

#include "platform/EventTap.h"

#include <vector>

// A tap the test drives: deliver() plays an event through the callback as the system would.
class FakeEventTap final : public EventTap {
public:
    FakeEventTap(EventTapCallback callback, void* userInfo)
        : callback_(callback), userInfo_(userInfo) {}
    void setEnabled(bool enabled) override {
        enabled_ = enabled;
        enableCalls.push_back(enabled);
    }
    bool isEnabled() const override { return enabled_; }

    TapEvent deliver(TapEvent event) { return callback_(event, userInfo_); }
    TapEvent flags(uint64_t flags) { return deliver({TapEvent::flagsChanged, flags}); }

    std::vector<bool> enableCalls;

private:
    EventTapCallback callback_;
    void* userInfo_;
    bool enabled_ = false;
};
