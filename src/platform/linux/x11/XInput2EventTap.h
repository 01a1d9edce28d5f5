#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/EventTap.h"

#include <QString>

#include <memory>
#include <set>

class QSocketNotifier;
typedef struct _XDisplay Display;

// Observes the keyboard through XInput2 raw key events selected on the root window of a
// connection of its own, read on the main thread. It grabs nothing, so every key still reaches
// the focused application, whichever it is. Modifier keys become flags-changed events; the
// push-to-talk key sets the fn bit.
class XInput2EventTap final : public EventTap {
public:
    // Null without an X display offering XInput 2.2, or when `pushToTalkKey` (an X keysym name
    // such as "Control_R") names no key.
    static std::unique_ptr<EventTap> create(uint64_t mask, EventTapCallback callback,
                                            void* userInfo, const QString& pushToTalkKey);
    ~XInput2EventTap() override;

    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }

private:
    XInput2EventTap(Display* display, int opcode, unsigned long pushToTalk,
                    EventTapCallback callback, void* userInfo);
    void readEvents();
    void keyChanged(unsigned long keysym, bool down);
    uint64_t flags() const;

    Display* display_;
    int opcode_;
    unsigned long pushToTalk_;
    EventTapCallback callback_;
    void* userInfo_;
    bool enabled_ = true;
    std::set<unsigned long> held_;
    std::unique_ptr<QSocketNotifier> notifier_;
};
