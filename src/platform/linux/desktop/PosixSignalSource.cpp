#include "PosixSignalSource.h"

#include "common/MainThread.h"
#include "common/MirvoError.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

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

[[noreturn]] void failWithErrno(const char* call) {
    const int error = errno;
    throw MirvoError(MirvoError::Kind::system,
                     QStringLiteral("%1 failed: %2")
                         .arg(QLatin1String(call), QString::fromLocal8Bit(strerror(error))),
                     error);
}

} // namespace

// Main-thread side: the live sources and the notifier that watches the pipe.
struct SignalDispatch {
    static std::vector<QPointer<PosixSignalSource>>& sources() {
        static std::vector<QPointer<PosixSignalSource>> live;
        return live;
    }

    static void publish(SignalSource::Signal signal) {
        auto& live = sources();
        live.erase(
            std::remove_if(live.begin(), live.end(), [](const auto& s) { return s.isNull(); }),
            live.end());
        for (const QPointer<PosixSignalSource>& source : live) {
            runOnMain([source, signal] {
                if (source && source->handler_)
                    source->handler_(signal);
            });
        }
    }

    static void drain() {
        char bytes[64];
        for (;;) {
            const ssize_t n = read(wakePipe[0], bytes, sizeof bytes);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                // Clear the flag before publishing so that a signal arriving now wakes us again.
                const bool isDown = bytes[i] == 'd';
                (isDown ? pendingDown : pendingUp).store(false);
                publish(isDown ? SignalSource::Signal::keyDown : SignalSource::Signal::keyUp);
            }
        }
    }

    static void ensurePipe() {
        if (wakePipe[0] >= 0)
            return;
        if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
            wakePipe[0] = wakePipe[1] = -1;
            failWithErrno("pipe2");
        }
        auto* notifier =
            new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { drain(); });
    }
};

PosixSignalSource::PosixSignalSource() = default;

PosixSignalSource::~PosixSignalSource() = default;

void PosixSignalSource::start(std::function<void(Signal)> handler) {
    SignalDispatch::ensurePipe();
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGUSR1, &action, nullptr) != 0 || sigaction(SIGUSR2, &action, nullptr) != 0)
        failWithErrno("sigaction");
    handler_ = std::move(handler);
    SignalDispatch::sources().push_back(this);
}

namespace {

int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 't';
    [[maybe_unused]] ssize_t ignored = write(terminationPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void watchTerminationSignals(std::function<void()> handler) {
    if (terminationPipe[0] >= 0)
        return;
    if (pipe2(terminationPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        terminationPipe[0] = terminationPipe[1] = -1;
        failWithErrno("pipe2");
    }
    auto* notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [handler = std::move(handler)] {
                         char bytes[16];
                         while (read(terminationPipe[0], bytes, sizeof bytes) > 0) {
                         }
                         handler();
                     });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(signo, &action, nullptr) != 0)
            failWithErrno("sigaction");
}
