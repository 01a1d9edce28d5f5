#pragma once

#include "platform/EventTap.h"

#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

enum class HotkeyEvent { down, up };

// "down" or "up", as the event appears in log lines.
QString hotkeyEventName(HotkeyEvent event);

// A source of push-to-talk transitions. Events are published as the `events` signal, always
// emitted on the main thread; every connected receiver sees every event emitted after it
// connected. There is no stop: a monitor observes until it is destroyed.
class HotkeyMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Begins observing the key source; events flow only after it returns. Throws on failure.
    virtual void start() = 0;

signals:
    void events(HotkeyEvent event);
};

// Turns raw "is the key held" reports into alternating down/up transitions.
class HotkeyStateMachine final {
public:
    std::optional<HotkeyEvent> update(bool fnDown);
    bool isDown() const { return isDown_; }

private:
    bool isDown_ = false;
};

// Test-mode key source: SIGUSR1 is key down, SIGUSR2 key up, sent by another process.
//
// Until start() the two signals keep their default disposition (they terminate the process).
// start() installs an async-signal-safe handler that only writes a wake-up byte to a self-pipe;
// the pipe is watched on the main thread, which then queues one event per signal kind on the
// main loop. Signals of one kind that arrive before the main thread has drained the pipe merge
// into one event. A queued event whose monitor was destroyed in the meantime is dropped.
class SignalHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalHotkeyMonitor)
public:
    SignalHotkeyMonitor();
    ~SignalHotkeyMonitor() override;
    // Never throws.
    void start() override;

private:
    bool started_ = false;
};

// Why the push-to-talk key cannot be observed. Its printed form is the case name.
class HotkeyError final : public std::exception {
public:
    const char* what() const noexcept override { return "cannotCreateEventTap"; }
    static HotkeyError cannotCreateEventTap() { return HotkeyError(); }
};

// The normal key source: the push-to-talk key, observed through an event tap on modifier-flag
// changes. Every event passes on unchanged.
class CGEventTapHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CGEventTapHotkeyMonitor)
public:
    CGEventTapHotkeyMonitor(HotkeyStateMachine machine, EventTapFactory tapFactory,
                            std::function<bool()> isProcessTrusted);
    ~CGEventTapHotkeyMonitor() override;

    // Throws HotkeyError::cannotCreateEventTap when no tap can be made.
    void start() override;

    // The tap callback: hands the event to its monitor and returns it unchanged.
    static TapEvent tapCallback(TapEvent event, void* userInfo);

private:
    void handle(TapEvent event);

    EventTapFactory tapFactory_;
    std::function<bool()> isProcessTrusted_;
    std::unique_ptr<EventTap> tap_;
    HotkeyStateMachine machine_;
};
