#include "HotkeyMonitor.h"

#include "common/Log.h"
#include "common/MainThread.h"
#include "core/SettingKeys.h"
#include "platform/GlobalShortcut.h"
#include "platform/PlatformServices.h"
#include "platform/SingleInstance.h"
#include "platform/UserDefaults.h"

#include <QPointer>

QString hotkeyEventName(HotkeyEvent event) {
    return event == HotkeyEvent::down ? QStringLiteral("down") : QStringLiteral("up");
}

std::optional<HotkeyEvent> HotkeyStateMachine::update(bool held) {
    if (held == isDown_)
        return std::nullopt;
    isDown_ = held;
    return held ? HotkeyEvent::down : HotkeyEvent::up;
}

std::optional<HotkeyCommand> hotkeyCommandNamed(const QString& name) {
    if (name == SingleInstance::holdCommand)
        return HotkeyCommand::hold;
    if (name == SingleInstance::releaseCommand)
        return HotkeyCommand::release;
    if (name == SingleInstance::toggleCommand)
        return HotkeyCommand::toggle;
    return std::nullopt;
}

CommandHotkeyMonitor::CommandHotkeyMonitor(std::shared_ptr<HotkeyMonitor> key,
                                           HotkeyCommands* commands)
    : key_(std::move(key)) {
    if (key_) {
        connect(key_.get(), &HotkeyMonitor::events, this, [this](HotkeyEvent event) {
            // The key's events pass on as they are (the coordinator judges repeats); they
            // only tell the commands where the key stands.
            machine_.update(event == HotkeyEvent::down);
            emit events(event);
        });
        connect(key_.get(), &HotkeyMonitor::holdKeysNamed, this, &HotkeyMonitor::holdKeysNamed);
    }
    if (commands)
        connect(commands, &HotkeyCommands::issued, this, &CommandHotkeyMonitor::apply);
}

CommandHotkeyMonitor::~CommandHotkeyMonitor() = default;

void CommandHotkeyMonitor::start() {
    if (key_)
        key_->start();
}

QString CommandHotkeyMonitor::sourceName() const {
    return key_ ? key_->sourceName() : HotkeyMonitor::sourceName();
}

void CommandHotkeyMonitor::apply(HotkeyCommand command) {
    switch (command) {
    case HotkeyCommand::hold:
        return update(true);
    case HotkeyCommand::release:
        return update(false);
    case HotkeyCommand::toggle:
        return update(!machine_.isDown());
    }
}

void CommandHotkeyMonitor::update(bool down) {
    if (const std::optional<HotkeyEvent> event = machine_.update(down))
        emit events(*event);
}

const QString ShortcutHotkeyMonitor::description = QStringLiteral("Hold to dictate");

ShortcutHotkeyMonitor::ShortcutHotkeyMonitor(std::unique_ptr<GlobalShortcut> shortcut,
                                             QString preferredKey)
    : shortcut_(std::move(shortcut)), preferredKey_(std::move(preferredKey)) {
    connect(shortcut_.get(), &GlobalShortcut::pressed, this, [this] { update(true); });
    connect(shortcut_.get(), &GlobalShortcut::released, this, [this] { update(false); });
    connect(shortcut_.get(), &GlobalShortcut::bound, this, [this](const QString& trigger) {
        mirvoLog(trigger.isEmpty()
                     ? QStringLiteral("[Mirvo] hold key: the desktop's shortcut \"") + description +
                           QStringLiteral("\" has no keys yet: set them in its shortcut settings")
                     : QStringLiteral("[Mirvo] hold key: the desktop's shortcut \"") + description +
                           QStringLiteral("\" (") + trigger + QLatin1Char(')'));
        emit holdKeysNamed();
    });
    connect(shortcut_.get(), &GlobalShortcut::failed, this, [](const QString& reason) {
        mirvoLog(QStringLiteral("[Mirvo] hold key: no desktop shortcut (") + reason +
                     QStringLiteral(") — through the desktop's key bindings (mirvo --hold / "
                                    "--release / --toggle)"),
                 LogLevel::warning);
    });
}

ShortcutHotkeyMonitor::~ShortcutHotkeyMonitor() = default;

void ShortcutHotkeyMonitor::start() {
    if (std::exchange(started_, true))
        return;
    shortcut_->bind(description, preferredKey_);
}

void ShortcutHotkeyMonitor::update(bool down) {
    if (const std::optional<HotkeyEvent> event = machine_.update(down))
        emit events(*event);
}

SignalHotkeyMonitor::SignalHotkeyMonitor(std::unique_ptr<SignalSource> source)
    : source_(std::move(source)) {}

SignalHotkeyMonitor::~SignalHotkeyMonitor() = default;

void SignalHotkeyMonitor::start() {
    if (started_)
        return;
    QPointer<SignalHotkeyMonitor> weakSelf(this);
    source_->start([weakSelf](SignalSource::Signal signal) {
        if (weakSelf)
            emit weakSelf->events(signal == SignalSource::Signal::keyDown ? HotkeyEvent::down
                                                                          : HotkeyEvent::up);
    });
    started_ = true;
}

CGEventTapHotkeyMonitor::CGEventTapHotkeyMonitor(KeyWatcherFactory watcherFactory,
                                                 std::function<bool()> keysReady)
    : watcherFactory_(std::move(watcherFactory)), keysReady_(std::move(keysReady)) {}

CGEventTapHotkeyMonitor::~CGEventTapHotkeyMonitor() = default;

void CGEventTapHotkeyMonitor::start() {
    const bool ready = keysReady_ && keysReady_();
    mirvoLog(QStringLiteral("[Mirvo] hold key: starting to watch it, keys may be watched and "
                            "posted=%1")
                 .arg(boolText(ready)));
    QPointer<CGEventTapHotkeyMonitor> weakSelf(this);
    std::unique_ptr<KeyWatcher> watcher = watcherFactory_ ? watcherFactory_([weakSelf](bool held) {
        if (weakSelf)
            weakSelf->changed(held);
    })
                                                          : nullptr;
    if (!watcher) {
        mirvoLog(QStringLiteral("[Mirvo] hold key: cannot watch it"));
        throw HotkeyError::cannotCreateEventTap();
    }
    mirvoLog(QStringLiteral("[Mirvo] hold key: watched"));
    watcher_ = std::move(watcher);
}

void CGEventTapHotkeyMonitor::watchChosenKey() {
    if (!watcher_)
        return;
    // A dictation the old key holds ends with the key it started with.
    if (machine_.isDown())
        emit events(HotkeyEvent::up);
    machine_ = {};
    watcher_.reset();
    try {
        start();
    } catch (const HotkeyError&) {
        // Said already; the key chosen before is gone either way, and the commands remain.
    }
}

void CGEventTapHotkeyMonitor::changed(bool held) {
    if (const std::optional<HotkeyEvent> transition = machine_.update(held)) {
        QPointer<CGEventTapHotkeyMonitor> weakSelf(this);
        runOnMain([weakSelf, e = *transition] {
            if (weakSelf)
                emit weakSelf->events(e);
        });
    }
}

QString holdKey(const UserDefaults& defaults, PlatformServices& platform) {
    const QString chosen = defaults.stringForKey(SettingKeys::holdKey);
    return chosen.isEmpty() ? platform.defaultHoldKey() : chosen;
}
