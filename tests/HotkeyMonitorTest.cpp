#include "core/HotkeyMonitor.h"
#include "common/MirvoError.h"
#include "doubles/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

namespace {

// A key monitor on the fake platform's key watcher.
struct KeyRig {
    explicit KeyRig(bool watchable = true) {
        platform.keyWatchable = watchable;
        monitor = std::make_unique<CGEventTapHotkeyMonitor>(
            [this](HoldKeyChanged changed) {
                return platform.watchHoldKey("Control_R", std::move(changed));
            },
            [this] { return platform.capabilities().keysReady(); });
    }
    FakePlatform platform;
    std::unique_ptr<CGEventTapHotkeyMonitor> monitor;
};

} // namespace

class HotkeyMonitorTest : public QObject {
    Q_OBJECT

private slots:
    // The key (through the fake watcher: "down" and "up") and
    // key-binding commands ("hold", "release", "toggle"), in order, and the events that follow.
    // Bindings that run `mirvo --hold` and the key itself may both report one press; a desktop
    // may repeat a binding; a toggle shortcut fires on press only. Where the desktop's shortcut
    // is the key ("press" and "let-go"; "forget" is a dictation ended otherwise), it repeats its
    // press while held.
    void keyAndCommandsShareOneStateMachine_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        addRow("the key", "key", "down up down up", "D U D U");
        addRow("key passes on, late release", "key", "hold down up release", "D D U");
        addRow("toggles", "key", "toggle toggle toggle", "D U D");
        addRow("toggle, then the key", "key", "toggle down up toggle", "D D U D");
        addRow("commands alone", "none", "release hold hold release", "D U");
        addRow("shortcut repeats while held", "shortcut",
               "press press press let-go let-go press let-go", "D U D U");
        addRow("shortcut held past a dictation's end", "shortcut",
               "press forget press press let-go press let-go", "D U D U");
        addRow("shortcut and commands", "shortcut", "toggle press let-go toggle", "D D U D");
    }

    void keyAndCommandsShareOneStateMachine() {
        QVERIFY(!hotkeyCommandNamed("open") && !hotkeyCommandNamed("--hold"));
        QFETCH(QString, key);
        QFETCH(QString, steps);
        QFETCH(QString, events);
        KeyRig rig;
        QVERIFY_THROWS_EXCEPTION(HotkeyError, KeyRig(false).monitor->start());
        auto ownedShortcut = std::make_unique<FakeGlobalShortcut>();
        FakeGlobalShortcut* shortcut = ownedShortcut.get();
        std::shared_ptr<HotkeyMonitor> source;
        if (key == "key")
            source = std::move(rig.monitor);
        else if (key == "shortcut")
            source = std::make_shared<ShortcutHotkeyMonitor>(std::move(ownedShortcut), "Control_R");
        HotkeyCommands commands;
        CommandHotkeyMonitor monitor(source, &commands);
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        monitor.start();
        monitor.start(); // asks the desktop nothing more
        if (key == "shortcut")
            QCOMPARE(shortcut->asked, QStringList{"Hold to dictate Control_R"});
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
                rig.platform.keyWatcher->changed(step == "down");
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
