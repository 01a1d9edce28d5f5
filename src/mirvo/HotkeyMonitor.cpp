#include "HotkeyMonitor.h"

#include "platform/Log.h"
#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

QString hotkeyEventName(HotkeyEvent event) {
    return event == HotkeyEvent::down ? QStringLiteral("down") : QStringLiteral("up");
}

std::optional<HotkeyEvent> HotkeyStateMachine::update(bool fnDown) {
    if (fnDown == isDown_)
        return std::nullopt;
    isDown_ = fnDown;
    return fnDown ? HotkeyEvent::down : HotkeyEvent::up;
}

namespace {

// Signals are process-wide, so the pipe and the handler's flags are too. The pipe is made once
// and never closed: the handler may run at any moment, even during shutdown.
int wakePipe[2] = {-1, -1};
std::atomic<bool> pendingDown{false};
std::atomic<bool> pendingUp{false};

// Only async-signal-safe work here: an atomic exchange and write(2).
void onSignal(int signo) {
    const int savedErrno = errno;
    std::atomic<bool>& pending = signo == SIGUSR1 ? pendingDown : pendingUp;
    if (!pending.exchange(true)) {
        const char byte = signo == SIGUSR1 ? 'd' : 'u';
        [[maybe_unused]] ssize_t ignored = write(wakePipe[1], &byte, 1);
    }
    errno = savedErrno;
}

// Main-thread side: the live monitors and the notifier that watches the pipe.
std::vector<QPointer<SignalHotkeyMonitor>>& registeredMonitors() {
    static std::vector<QPointer<SignalHotkeyMonitor>> monitors;
    return monitors;
}

void publish(HotkeyEvent event) {
    auto& monitors = registeredMonitors();
    monitors.erase(
        std::remove_if(monitors.begin(), monitors.end(), [](const auto& m) { return m.isNull(); }),
        monitors.end());
    for (const QPointer<SignalHotkeyMonitor>& monitor : monitors) {
        runOnMain([monitor, event] {
            if (monitor)
                emit monitor->events(event);
        });
    }
}

void drainWakePipe() {
    char bytes[64];
    for (;;) {
        const ssize_t n = read(wakePipe[0], bytes, sizeof bytes);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            // Clear the flag before publishing so that a signal arriving now wakes us again.
            const bool isDown = bytes[i] == 'd';
            (isDown ? pendingDown : pendingUp).store(false);
            publish(isDown ? HotkeyEvent::down : HotkeyEvent::up);
        }
    }
}

bool ensureWakePipe() {
    if (wakePipe[0] >= 0)
        return true;
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        mirvoLog(QStringLiteral("[Mirvo] signal monitor: pipe2 failed: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno))));
        wakePipe[0] = wakePipe[1] = -1;
        return false;
    }
    return true;
}

void ensureNotifier() {
    static QPointer<QSocketNotifier> notifier;
    if (notifier || !QCoreApplication::instance())
        return;
    notifier =
        new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { drainWakePipe(); });
}

} // namespace

SignalHotkeyMonitor::SignalHotkeyMonitor() = default;

SignalHotkeyMonitor::~SignalHotkeyMonitor() = default;

void SignalHotkeyMonitor::start() {
    if (started_ || !ensureWakePipe())
        return;
    started_ = true;
    ensureNotifier();
    registeredMonitors().push_back(this);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
}

CGEventTapHotkeyMonitor::CGEventTapHotkeyMonitor(HotkeyStateMachine machine,
                                                 EventTapFactory tapFactory,
                                                 std::function<bool()> isProcessTrusted)
    : tapFactory_(std::move(tapFactory)), isProcessTrusted_(std::move(isProcessTrusted)),
      machine_(machine) {}

CGEventTapHotkeyMonitor::~CGEventTapHotkeyMonitor() = default;

void CGEventTapHotkeyMonitor::start() {
    const bool trusted = isProcessTrusted_ && isProcessTrusted_();
    mirvoLog(QStringLiteral("[Mirvo] CGEvent.tapCreate attempt, AXIsProcessTrusted=%1")
                 .arg(trusted ? QStringLiteral("true") : QStringLiteral("false")));
    std::unique_ptr<EventTap> tap =
        tapFactory_ ? tapFactory_(TapEvent::flagsChangedMask, &tapCallback, this) : nullptr;
    if (!tap) {
        mirvoLog(QStringLiteral("[Mirvo] CGEvent.tapCreate returned nil"));
        throw HotkeyError::cannotCreateEventTap();
    }
    mirvoLog(QStringLiteral("[Mirvo] CGEvent.tapCreate OK"));
    tap_ = std::move(tap);
    tap_->setEnabled(true);
}

TapEvent CGEventTapHotkeyMonitor::tapCallback(TapEvent event, void* userInfo) {
    if (userInfo)
        static_cast<CGEventTapHotkeyMonitor*>(userInfo)->handle(event);
    return event;
}

void CGEventTapHotkeyMonitor::handle(TapEvent event) {
    if (event.type == TapEvent::tapDisabledByTimeout) {
        if (tap_)
            tap_->setEnabled(true);
        return;
    }
    if (event.type != TapEvent::flagsChanged)
        return;
    const bool fnDown = (event.flags & TapEvent::maskSecondaryFn) != 0;
    if (const std::optional<HotkeyEvent> transition = machine_.update(fnDown)) {
        QPointer<CGEventTapHotkeyMonitor> weakSelf(this);
        runOnMain([weakSelf, e = *transition] {
            if (weakSelf)
                emit weakSelf->events(e);
        });
    }
}
