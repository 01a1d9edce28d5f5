#pragma once

#include "common/Log.h"

// Whether Mirvo starts when the user logs in: on Linux its XDG autostart entry. Main thread only.
class LoginItemControlling {
public:
    virtual ~LoginItemControlling() = default;
    // Mirvo is registered and enabled as a login item.
    virtual bool isEnabled() const = 0;
    // Makes the registration match `enabled`; true on success (also when nothing had to change),
    // false when the system refused.
    virtual bool setEnabled(bool enabled) = 0;
};

// Makes the registration match `enabled`; a refusal gets a log line. Whether it was done.
inline bool setLoginItemOrSay(LoginItemControlling& item, bool enabled) {
    const bool done = item.setEnabled(enabled);
    if (!done)
        mirvoLog(QStringLiteral("[Mirvo] Launch at Login could not be turned ") +
                     (enabled ? QStringLiteral("on") : QStringLiteral("off")),
                 LogLevel::warning);
    return done;
}
