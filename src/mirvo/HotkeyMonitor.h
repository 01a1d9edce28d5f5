#pragma once

#include "platform/EventTap.h"
#include "platform/SignalSource.h"

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

// Test-mode key source: SIGUSR1 is key down, SIGUSR2 key up, sent by another process. Signals
// of one kind that arrive before the main thread has handled them merge into one event; a
// signal handled after the monitor is gone is dropped.
class SignalHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalHotkeyMonitor)
public:
    explicit SignalHotkeyMonitor(std::unique_ptr<SignalSource> source);
    ~SignalHotkeyMonitor() override;
    // Throws the source's PlatformError when the signals cannot be observed; a second call does
    // nothing.
    void start() override;

private:
    std::unique_ptr<SignalSource> source_;
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
