#pragma once

#include "platform/KeyWatcher.h"
#include "platform/SignalSource.h"

#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

class GlobalShortcut;
class PlatformServices;
class UserDefaults;

enum class HotkeyEvent { down, up };

// The push-to-talk key as the user chose it (user default "ai.mirvo.hotkey"), or the platform's
// default; a key name of the platform.
QString holdKey(const UserDefaults& defaults, PlatformServices& platform);

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
    // The kind of key source, as log lines name it.
    virtual QString sourceName() const { return QString::fromLatin1(metaObject()->className()); }
    // The dictation the held key started was ended otherwise: count the key as up from now on,
    // without an event, so that the next hold starts a dictation again.
    virtual void forgetHeldKey() {}
    // The user chose another key: watch that one from now on, where Mirvo watches the key.
    virtual void watchChosenKey() {}

signals:
    void events(HotkeyEvent event);
    // The desktop named the keys of its shortcut (or named them anew).
    void holdKeysNamed();
};

// Turns raw "is the key held" reports into alternating down/up transitions.
class HotkeyStateMachine final {
public:
    std::optional<HotkeyEvent> update(bool held);
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
    // Throws the source's MirvoError when the signals cannot be observed; a second call does
    // nothing.
    void start() override;

private:
    std::unique_ptr<SignalSource> source_;
    bool started_ = false;
};

// The hold key as a shortcut the desktop watches for Mirvo (on Wayland): pressed is down and
// released up. Desktops repeat the press while the keys are held; repeats change nothing.
class ShortcutHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShortcutHotkeyMonitor)
public:
    // `preferredKey`: the key the user chose, a wish the desktop may not grant.
    ShortcutHotkeyMonitor(std::unique_ptr<GlobalShortcut> shortcut, QString preferredKey);
    ~ShortcutHotkeyMonitor() override;
    // Asks the desktop for the shortcut and returns: its answer comes later, to the log. A
    // desktop that refuses leaves the key-binding commands.
    void start() override;

    static const QString description;

private:
    void update(bool down);

    std::unique_ptr<GlobalShortcut> shortcut_;
    QString preferredKey_;
    HotkeyStateMachine machine_;
    bool started_ = false;
};

// What `mirvo --hold`, `--release` and `--toggle` ask of the running Mirvo.
enum class HotkeyCommand { hold, release, toggle };

// The command a single-instance message names, if it is one of these.
std::optional<HotkeyCommand> hotkeyCommandNamed(const QString& name);

// Where the application hands the commands it receives; the monitor below listens here.
class HotkeyCommands final : public QObject {
    Q_OBJECT
signals:
    void issued(HotkeyCommand command);
};

// The hold key as two sources see it: the key itself, where the desktop lets Mirvo watch it,
// whose events pass on unchanged, and commands from desktop key bindings, which go through one
// state machine with the key's events, so that a repeated hold, or a release after the key
// already went up, changes nothing, and a toggle does the opposite of where the key stands.
class CommandHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CommandHotkeyMonitor)
public:
    // `key` may be null (commands only); `commands` must outlive the monitor or be null.
    CommandHotkeyMonitor(std::shared_ptr<HotkeyMonitor> key, HotkeyCommands* commands);
    ~CommandHotkeyMonitor() override;
    // Starts the key monitor, whose failure it passes on; commands flow from construction.
    void start() override;
    // The key monitor's name; this one's when commands are the only source.
    QString sourceName() const override;
    void forgetHeldKey() override { machine_.update(false); }
    void watchChosenKey() override {
        if (key_)
            key_->watchChosenKey();
    }
    void apply(HotkeyCommand command);

private:
    void update(bool down);

    std::shared_ptr<HotkeyMonitor> key_;
    HotkeyStateMachine machine_;
};

// Why the push-to-talk key cannot be observed. Its printed form is the case name.
class HotkeyError final : public std::exception {
public:
    const char* what() const noexcept override { return "cannotCreateEventTap"; }
    static HotkeyError cannotCreateEventTap() { return HotkeyError(); }
};

// The hold key watched where the desktop lets Mirvo watch it: on Linux an X11 key watcher
// (XInput2), which grabs nothing.
class CGEventTapHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CGEventTapHotkeyMonitor)
public:
    // `keysReady` says, for the log, whether the desktop offers what watching the key needs.
    CGEventTapHotkeyMonitor(KeyWatcherFactory watcherFactory, std::function<bool()> keysReady);
    ~CGEventTapHotkeyMonitor() override;

    // Throws HotkeyError::cannotCreateEventTap when the key cannot be watched.
    void start() override;
    // A new watcher from the factory; a key that cannot be watched is logged.
    void watchChosenKey() override;

private:
    void changed(bool held);

    KeyWatcherFactory watcherFactory_;
    std::function<bool()> keysReady_;
    std::unique_ptr<KeyWatcher> watcher_;
    HotkeyStateMachine machine_;
};
