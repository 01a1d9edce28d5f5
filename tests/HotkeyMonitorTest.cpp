#include "core/HotkeyMonitor.h"
#include "common/PlatformError.h"
#include "doubles/FakePlatform.h"
#include "platform/GlobalShortcut.h"
#include "platform/linux/desktop/PosixSignalSource.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {

bool hasDefaultDisposition(int signo) {
    struct sigaction current = {};
    sigaction(signo, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

SignalHotkeyMonitor* signalMonitor() {
    return new SignalHotkeyMonitor(std::make_unique<PosixSignalSource>());
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

// A desktop's shortcut that the test presses; it records what it was asked for.
class FakeGlobalShortcut final : public GlobalShortcut {
public:
    void bind(const QString& description, const QString& preferredKey) override {
        asked.append(description + " " + preferredKey);
    }
    QStringList asked;
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

    void disabledTapIsReenabledAndCatchesUp() {
        QVERIFY_THROWS_EXCEPTION(HotkeyError, TapRig(false, false).monitor->start());
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

    // The key (through the fake tap: "fn" down, "none" up, "shift" and the like beside it) and
    // key-binding commands ("hold", "release", "toggle"), in order, and the events that follow.
    // Bindings that run `mirvo --hold` and the key itself may both report one press; a desktop
    // may repeat a binding; a toggle shortcut fires on press only. Where the desktop's shortcut
    // is the key ("press" and "let-go"; "forget" is a dictation ended otherwise), it repeats its
    // press while held.
    void keyAndCommandsShareOneStateMachine_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        QTest::newRow("modifiers beside the key") << "tap"
                                                  << "fn fn+shift fn+shift+cmd fn none "
                                                     "shift none"
                                                  << "D U";
        QTest::newRow("key passes on, late release") << "tap"
                                                     << "hold fn none release"
                                                     << "D D U";
        QTest::newRow("toggles") << "tap"
                                 << "toggle toggle toggle"
                                 << "D U D";
        QTest::newRow("toggle, then the key") << "tap"
                                              << "toggle fn none toggle"
                                              << "D D U D";
        QTest::newRow("commands alone") << "none"
                                        << "release hold hold release"
                                        << "D U";
        QTest::newRow("shortcut repeats while held") << "shortcut"
                                                     << "press press press let-go let-go press "
                                                        "let-go"
                                                     << "D U D U";
        QTest::newRow("shortcut held past a dictation's end") << "shortcut"
                                                              << "press forget press press "
                                                                 "let-go press let-go"
                                                              << "D U D U";
        QTest::newRow("shortcut and commands") << "shortcut"
                                               << "toggle press let-go toggle"
                                               << "D D U D";
    }

    void keyAndCommandsShareOneStateMachine() {
        QVERIFY(!hotkeyCommandNamed("open") && !hotkeyCommandNamed("--hold"));
        QFETCH(QString, key);
        QFETCH(QString, steps);
        QFETCH(QString, events);
        TapRig tap;
        auto ownedShortcut = std::make_unique<FakeGlobalShortcut>();
        FakeGlobalShortcut* shortcut = ownedShortcut.get();
        std::shared_ptr<HotkeyMonitor> source;
        if (key == "tap")
            source = std::move(tap.monitor);
        else if (key == "shortcut")
            source = std::make_shared<ShortcutHotkeyMonitor>(std::move(ownedShortcut), "Control_R");
        HotkeyCommands commands;
        CommandHotkeyMonitor monitor(source, &commands);
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        monitor.start();
        monitor.start(); // asks the desktop nothing more
        if (key == "shortcut")
            QCOMPARE(shortcut->asked, QStringList{"Hold to dictate Control_R"});
        const QMap<QString, uint64_t> flags = {{"fn", fn},
                                               {"fn+shift", fn | shift},
                                               {"fn+shift+cmd", fn | shift | command},
                                               {"shift", shift},
                                               {"none", 0}};
        for (const QString& step : steps.split(' ')) {
            if (const auto named = hotkeyCommandNamed(step)) {
                emit commands.issued(*named);
            } else if (step == "press") {
                emit shortcut->pressed();
            } else if (step == "let-go") {
                emit shortcut->released();
            } else if (step == "forget") {
                monitor.forgetHeldKey();
            } else {
                tap.tap()->flags(flags.value(step));
                QCoreApplication::processEvents(); // published on the main loop: let it come
            }
        }
        QTest::qWait(20);
        QStringList seen;
        for (const auto& args : spy)
            seen.append(args.at(0).value<HotkeyEvent>() == HotkeyEvent::down ? "D" : "U");
        QCOMPARE(seen.join(' '), events);
    }
};

QTEST_GUILESS_MAIN(HotkeyMonitorTest)
#include "HotkeyMonitorTest.moc"
