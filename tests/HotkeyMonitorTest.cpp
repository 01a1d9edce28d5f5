#include "core/HotkeyMonitor.h"
#include "common/PlatformError.h"
#include "doubles/FakePlatform.h"
#include "platform/linux/desktop/PosixSignalSource.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool hasDefaultDisposition(int signo) {
    struct sigaction current = {};
    sigaction(signo, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

SignalHotkeyMonitor* signalMonitor() {
    return new SignalHotkeyMonitor(std::make_unique<PosixSignalSource>());
}

// Forks; the child runs `body` and exits with its result. True when the child's exit matches.
template <typename Body> bool inChild(Body body, int expectedSignal = 0) {
    const pid_t child = fork();
    if (child == 0)
        _exit(body() ? 0 : 1);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return false;
    return expectedSignal ? WIFSIGNALED(status) && WTERMSIG(status) == expectedSignal
                          : WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A key monitor on the fake platform's event tap.
struct TapRig {
    explicit TapRig(bool trusted = true, bool tapAvailable = true) {
        platform.trusted = trusted;
        platform.tapsAvailable = tapAvailable;
        monitor = std::make_unique<CGEventTapHotkeyMonitor>(
            HotkeyStateMachine(),
            [this](uint64_t mask, EventTapCallback callback, void* user) {
                return platform.makeEventTap(mask, callback, user, "Control_R");
            },
            [this] { return platform.canWatchAndPostKeys(); });
        spy = std::make_unique<QSignalSpy>(monitor.get(), &HotkeyMonitor::events);
    }
    QList<HotkeyEvent> events() const {
        QList<HotkeyEvent> out;
        for (const auto& args : *spy)
            out.append(args.at(0).value<HotkeyEvent>());
        return out;
    }
    FakeEventTap* tap() { return platform.tap; }
    FakePlatform platform;
    std::unique_ptr<CGEventTapHotkeyMonitor> monitor;
    std::unique_ptr<QSignalSpy> spy;
    LogCapture logs;
};

constexpr uint64_t fn = TapEvent::maskSecondaryFn;
constexpr uint64_t shift = TapEvent::maskShift;
constexpr uint64_t command = TapEvent::maskCommand;

} // namespace

class HotkeyMonitorTest : public QObject {
    Q_OBJECT

private slots:
    // Must run before any monitor in this process has been started.
    void signalsTerminateUntilStartedAndStartReportsFailures() {
        QVERIFY(hasDefaultDisposition(SIGUSR1));
        QVERIFY(hasDefaultDisposition(SIGUSR2));
        std::unique_ptr<SignalHotkeyMonitor> unstarted(signalMonitor());
        QVERIFY(hasDefaultDisposition(SIGUSR1));
        for (int signo : {SIGUSR1, SIGUSR2}) {
            QVERIFY(inChild(
                [signo] {
                    std::unique_ptr<SignalHotkeyMonitor> monitor(signalMonitor());
                    raise(signo);
                    return true; // reached only if the signal did not terminate us
                },
                signo));
        }
        // Out of file descriptors, the self-pipe cannot be made: start() says so.
        // (Not under the sanitizers: their runtime needs descriptors of its own to report.)
#if !__has_feature(address_sanitizer)
        QVERIFY(inChild([] {
            const rlimit few = {64, 64};
            setrlimit(RLIMIT_NOFILE, &few);
            while (open("/dev/null", O_RDONLY) >= 0) {
            }
            try {
                std::unique_ptr<SignalHotkeyMonitor>(signalMonitor())->start();
            } catch (const PlatformError& e) {
                return e.domain() == "NSPOSIXErrorDomain" && e.code() == EMFILE &&
                       e.localizedDescription().startsWith("pipe2 failed: ");
            }
            return false;
        }));
#endif
        // The monitor passes a failing source's error on.
        auto source = std::make_unique<FakeSignalSource>();
        source->startError = std::make_exception_ptr(PlatformError("NSPOSIXErrorDomain", 4, "x"));
        QVERIFY_THROWS_EXCEPTION(PlatformError, SignalHotkeyMonitor(std::move(source)).start());
    }

    void signalsOfOneKindMergeUntilHandled() {
        std::unique_ptr<SignalHotkeyMonitor> monitor(signalMonitor());
        QSignalSpy spy(monitor.get(), &HotkeyMonitor::events);
        monitor->start();
        // raise() runs the handler before it returns, so all ten arrive before the main
        // thread drains the pipe.
        for (int i = 0; i < 5; ++i) {
            raise(SIGUSR1);
            raise(SIGUSR2);
        }
        QTRY_COMPARE(spy.count(), 2);
        QTest::qWait(100);
        QCOMPARE(spy.count(), 2);
        QVERIFY(spy.at(0).at(0).value<HotkeyEvent>() == HotkeyEvent::down);
        QVERIFY(spy.at(1).at(0).value<HotkeyEvent>() == HotkeyEvent::up);

        // Once handled, the next signal is a new event.
        raise(SIGUSR1);
        QTRY_COMPARE(spy.count(), 3);
    }

    void queuedEventOfDestroyedMonitorIsDropped() {
        auto* doomed = signalMonitor();
        doomed->start();
        std::unique_ptr<SignalHotkeyMonitor> survivor(signalMonitor());
        QSignalSpy survivorSpy(survivor.get(), &HotkeyMonitor::events);
        survivor->start();

        raise(SIGUSR1);
        // Let the pipe be drained (which queues one emission per monitor), then destroy one
        // monitor before its queued emission runs.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 0);
        delete doomed;
        QTRY_COMPARE(survivorSpy.count(), 1);
    }

    void fnTransitionsBecomeEventsOnTheMainLoop() {
        TapRig untrusted(false, false);
        QVERIFY_THROWS_EXCEPTION(HotkeyError, untrusted.monitor->start());
        TapRig rig;
        rig.monitor->start();
        QVERIFY(rig.platform.log->calls().contains("makeEventTap Control_R mask=0x1000"));
        QVERIFY(rig.tap()->isEnabled());
        rig.tap()->flags(fn);
        QCOMPARE(rig.spy->count(), 0); // published later, on the main queue
        QTRY_COMPARE(rig.spy->count(), 1);
        // Shift and Command pressed and released while fn is held: nothing.
        rig.tap()->flags(fn | shift);
        rig.tap()->flags(fn | shift | command);
        rig.tap()->flags(fn);
        rig.tap()->flags(0);
        // Modifiers without fn: nothing.
        rig.tap()->flags(shift);
        rig.tap()->flags(0);
        QTRY_COMPARE(rig.spy->count(), 2);
        QTest::qWait(50);
        QCOMPARE(rig.events(), (QList<HotkeyEvent>{HotkeyEvent::down, HotkeyEvent::up}));
    }

    void disabledTapIsReenabledAndCatchesUp() {
        TapRig rig;
        rig.monitor->start();
        rig.tap()->flags(fn);
        rig.tap()->setEnabled(false); // the system disabled it; fn is released meanwhile
        rig.tap()->deliver({TapEvent::tapDisabledByTimeout, 0});
        QVERIFY(rig.tap()->isEnabled());
        rig.tap()->deliver({TapEvent::tapDisabledByUserInput, 0});
        QTRY_COMPARE(rig.spy->count(), 1);
        // The up comes with the next flags change that shows fn clear.
        rig.tap()->flags(shift);
        QTRY_COMPARE(rig.spy->count(), 2);
        QCOMPARE(rig.events().last(), HotkeyEvent::up);
    }

    void everyEventPassesUnchanged() {
        TapRig rig;
        rig.monitor->start();
        for (const TapEvent& e :
             {TapEvent{TapEvent::flagsChanged, fn | 0x100},
              TapEvent{TapEvent::tapDisabledByTimeout, 7}, TapEvent{10, 0xdead}})
            QVERIFY(rig.tap()->deliver(e) == e);
        QVERIFY(CGEventTapHotkeyMonitor::tapCallback({12, fn}, nullptr) == (TapEvent{12, fn}));
    }

    // Key bindings that run `mirvo --hold` and the key itself may both report one press; a
    // desktop may repeat a binding; a toggle shortcut fires on press only.
    void commandsAndTheKeyShareOneStateMachine() {
        QVERIFY(!hotkeyCommandNamed("open") && !hotkeyCommandNamed("--hold"));

        TapRig key;
        auto keyMonitor = std::shared_ptr<HotkeyMonitor>(std::move(key.monitor));
        HotkeyCommands commands;
        CommandHotkeyMonitor monitor(keyMonitor, &commands);
        QCOMPARE(monitor.sourceName(), QStringLiteral("CGEventTapHotkeyMonitor"));
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        const auto events = [&spy] {
            QList<HotkeyEvent> out;
            for (const auto& args : spy)
                out.append(args.at(0).value<HotkeyEvent>());
            return out;
        };
        monitor.start();
        using E = HotkeyEvent;

        emit commands.issued(HotkeyCommand::hold);
        emit commands.issued(HotkeyCommand::hold);
        QCOMPARE(events(), (QList<E>{E::down}));
        // The key's own events pass on unchanged (the coordinator ignores a repeated down)…
        key.tap()->flags(fn);
        QTRY_COMPARE(events(), (QList<E>{E::down, E::down}));
        key.tap()->flags(0);
        QTRY_COMPARE(events(), (QList<E>{E::down, E::down, E::up}));
        // …and a late release after the key let go changes nothing.
        emit commands.issued(HotkeyCommand::release);
        QCOMPARE(events().size(), 3);

        emit commands.issued(HotkeyCommand::toggle);
        emit commands.issued(HotkeyCommand::toggle);
        emit commands.issued(HotkeyCommand::toggle);
        QCOMPARE(events().mid(3), (QList<E>{E::down, E::up, E::down}));
        key.tap()->flags(fn); // a toggle started it; the key's up ends it
        key.tap()->flags(0);
        QTRY_COMPARE(events().size(), 8);
        emit commands.issued(HotkeyCommand::toggle);
        QCOMPARE(events().last(), E::down);

        // Commands alone, where the key cannot be watched.
        CommandHotkeyMonitor commandsOnly(nullptr, &commands);
        QCOMPARE(commandsOnly.sourceName(), QStringLiteral("CommandHotkeyMonitor"));
        commandsOnly.start();
        QSignalSpy onlySpy(&commandsOnly, &HotkeyMonitor::events);
        emit commands.issued(HotkeyCommand::release);
        emit commands.issued(HotkeyCommand::hold);
        QCOMPARE(onlySpy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(HotkeyMonitorTest)
#include "HotkeyMonitorTest.moc"
