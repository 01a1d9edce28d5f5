#include "doubles/FakePlatform.h"
#include "mirvo/HotkeyMonitor.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTest>

namespace {

struct Rig {
    explicit Rig(bool trusted = true, bool tapAvailable = true) {
        monitor = std::make_unique<CGEventTapHotkeyMonitor>(
            HotkeyStateMachine(),
            [this, tapAvailable](uint64_t mask, EventTapCallback callback,
                                 void* user) -> std::unique_ptr<EventTap> {
                requestedMask = mask;
                if (!tapAvailable)
                    return nullptr;
                auto t = std::make_unique<FakeEventTap>(callback, user);
                tap = t.get();
                return t;
            },
            [trusted] { return trusted; });
        spy = std::make_unique<QSignalSpy>(monitor.get(), &HotkeyMonitor::events);
    }
    QList<HotkeyEvent> events() const {
        QList<HotkeyEvent> out;
        for (const auto& args : *spy)
            out.append(args.at(0).value<HotkeyEvent>());
        return out;
    }
    std::unique_ptr<CGEventTapHotkeyMonitor> monitor;
    std::unique_ptr<QSignalSpy> spy;
    FakeEventTap* tap = nullptr;
    uint64_t requestedMask = 0;
    LogCapture logs;
};

constexpr uint64_t fn = TapEvent::maskSecondaryFn;
constexpr uint64_t shift = TapEvent::maskShift;
constexpr uint64_t command = TapEvent::maskCommand;

} // namespace

class EventTapMonitorTest : public QObject {
    Q_OBJECT

private slots:
    void startCreatesAnObservingTap() {
        Rig rig;
        rig.monitor->start();
        QCOMPARE(rig.requestedMask, uint64_t(0x1000));
        QCOMPARE(rig.logs.lines(), (QStringList{"[Mirvo] CGEvent.tapCreate attempt, "
                                                "AXIsProcessTrusted=true",
                                                "[Mirvo] CGEvent.tapCreate OK"}));
        QVERIFY(rig.tap->isEnabled());

        Rig untrusted(false, false);
        QVERIFY_THROWS_EXCEPTION(HotkeyError, untrusted.monitor->start());
        QCOMPARE(untrusted.logs.lines(), (QStringList{"[Mirvo] CGEvent.tapCreate attempt, "
                                                      "AXIsProcessTrusted=false",
                                                      "[Mirvo] CGEvent.tapCreate returned nil"}));
        QCOMPARE(QString(HotkeyError::cannotCreateEventTap().what()),
                 QStringLiteral("cannotCreateEventTap"));
    }

    void fnTransitionsBecomeEventsOnTheMainLoop() {
        Rig rig;
        rig.monitor->start();
        rig.tap->flags(fn);
        QCOMPARE(rig.spy->count(), 0); // published later, on the main queue
        QTRY_COMPARE(rig.spy->count(), 1);
        // Shift and Command pressed and released while fn is held: nothing.
        rig.tap->flags(fn | shift);
        rig.tap->flags(fn | shift | command);
        rig.tap->flags(fn);
        rig.tap->flags(0);
        // Modifiers without fn: nothing.
        rig.tap->flags(shift);
        rig.tap->flags(0);
        QTRY_COMPARE(rig.spy->count(), 2);
        QTest::qWait(50);
        QCOMPARE(rig.events(), (QList<HotkeyEvent>{HotkeyEvent::down, HotkeyEvent::up}));
    }

    void disabledTapIsReenabledAndCatchesUp() {
        Rig rig;
        rig.monitor->start();
        rig.tap->flags(fn);
        rig.tap->setEnabled(false); // the system disabled it; fn is released meanwhile
        rig.tap->deliver({TapEvent::tapDisabledByTimeout, 0});
        QVERIFY(rig.tap->isEnabled());
        rig.tap->deliver({TapEvent::tapDisabledByUserInput, 0});
        QTRY_COMPARE(rig.spy->count(), 1);
        // The up comes with the next flags change that shows fn clear.
        rig.tap->flags(shift);
        QTRY_COMPARE(rig.spy->count(), 2);
        QCOMPARE(rig.events().last(), HotkeyEvent::up);
    }

    void everyEventPassesUnchanged() {
        Rig rig;
        rig.monitor->start();
        const std::vector<TapEvent> events = {{TapEvent::flagsChanged, fn | 0x100},
                                              {TapEvent::flagsChanged, 0},
                                              {TapEvent::tapDisabledByTimeout, 7},
                                              {TapEvent::tapDisabledByUserInput, 9},
                                              {10, 0xdead}};
        for (const TapEvent& e : events)
            QVERIFY(rig.tap->deliver(e) == e);
        QVERIFY(CGEventTapHotkeyMonitor::tapCallback({12, fn}, nullptr) == (TapEvent{12, fn}));
    }
};

QTEST_GUILESS_MAIN(EventTapMonitorTest)
#include "EventTapMonitorTest.moc"
