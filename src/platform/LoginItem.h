#pragma once

#include <QList>

// Whether Mirvo starts when the user logs in. Main thread only.
class LoginItemControlling {
public:
    virtual ~LoginItemControlling() = default;
    // Mirvo is registered and enabled as a login item.
    virtual bool isEnabled() const = 0;
    // Makes the registration match `enabled`; true on success (also when nothing had to change),
    // false when the system refused.
    virtual bool setEnabled(bool enabled) = 0;
};

// An in-memory login item that records every call.
class FakeLoginItem final : public LoginItemControlling {
public:
    explicit FakeLoginItem(bool initiallyEnabled) : enabled(initiallyEnabled) {}
    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool value) override {
        setEnabledCalls.append(value);
        enabled = value;
        return true;
    }

    bool enabled;
    QList<bool> setEnabledCalls;
};
