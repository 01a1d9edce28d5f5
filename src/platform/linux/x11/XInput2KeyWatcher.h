#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/KeyWatcher.h"

#include <QString>

#include <memory>

class QSocketNotifier;
typedef struct _XDisplay Display;

// Watches the hold key through XInput2 raw key events selected on the root window of a
// connection of its own, read on the main thread.
class XInput2KeyWatcher final : public KeyWatcher {
public:
    // Null without an X display offering XInput 2.2, or when `holdKey` (an X keysym name such as
    // "Control_R") names no key.
    static std::unique_ptr<KeyWatcher> create(const QString& holdKey, HoldKeyChanged changed);
    ~XInput2KeyWatcher() override;

private:
    XInput2KeyWatcher(Display* display, int opcode, unsigned long holdKey, HoldKeyChanged changed);
    void readEvents();

    Display* display_;
    int opcode_;
    unsigned long holdKey_;
    HoldKeyChanged changed_;
    bool held_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};
