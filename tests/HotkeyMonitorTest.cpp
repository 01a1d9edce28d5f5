#include "mirvo/HotkeyMonitor.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool hasDefaultDisposition(int signo) {
    struct sigaction current = {};
    sigaction(signo, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

void sendFromAnotherProcess(const char* signalName) {
    QCOMPARE(QProcess::execute(
                 QStringLiteral("kill"),
                 {QStringLiteral("-%1").arg(QLatin1String(signalName)), QString::number(getpid())}),
             0);
}

} // namespace

class HotkeyMonitorTest : public QObject {
    Q_OBJECT

private slots:
    // Must run before any monitor in this process has been started.
    void signalsTerminateUntilStarted() {
        QVERIFY(hasDefaultDisposition(SIGUSR1));
        QVERIFY(hasDefaultDisposition(SIGUSR2));
        SignalHotkeyMonitor unstarted;
        QVERIFY(hasDefaultDisposition(SIGUSR1));

        for (int signo : {SIGUSR1, SIGUSR2}) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                SignalHotkeyMonitor inChild;
                raise(signo);
                _exit(0); // reached only if the signal did not terminate us
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status));
            QCOMPARE(WTERMSIG(status), signo);
        }
    }

    void stateMachineYieldsAlternatingTransitions() {
        HotkeyStateMachine machine;
        QVERIFY(machine.update(false) == std::nullopt);
        const std::vector<std::pair<bool, std::optional<HotkeyEvent>>> steps = {
            {true, HotkeyEvent::down}, {true, std::nullopt},      {false, HotkeyEvent::up},
            {false, std::nullopt},     {true, HotkeyEvent::down},
        };
        for (const auto& [report, expected] : steps) {
            QVERIFY(machine.update(report) == expected);
            QCOMPARE(machine.isDown(), report);
        }
        QCOMPARE(hotkeyEventName(HotkeyEvent::down), QStringLiteral("down"));
        QCOMPARE(hotkeyEventName(HotkeyEvent::up), QStringLiteral("up"));
    }

    void signalsFromAnotherProcessArriveOnMainThread() {
        SignalHotkeyMonitor monitor;
        QList<HotkeyEvent> received;
        bool allOnMainThread = true;
        connect(&monitor, &HotkeyMonitor::events, this, [&](HotkeyEvent event) {
            allOnMainThread = allOnMainThread && QThread::currentThread() == thread();
            received.append(event);
        });
        monitor.start();
        QVERIFY(!hasDefaultDisposition(SIGUSR1));
        QVERIFY(!hasDefaultDisposition(SIGUSR2));

        // An up without a down is still published; the coordinator decides to ignore it.
        sendFromAnotherProcess("USR2");
        QTRY_COMPARE(received.size(), 1);
        sendFromAnotherProcess("USR1");
        QTRY_COMPARE(received.size(), 2);
        // A second down, some time later, is a second event.
        sendFromAnotherProcess("USR1");
        QTRY_COMPARE(received.size(), 3);
        sendFromAnotherProcess("USR2");
        QTRY_COMPARE(received.size(), 4);
        QVERIFY(received == (QList<HotkeyEvent>{HotkeyEvent::up, HotkeyEvent::down,
                                                HotkeyEvent::down, HotkeyEvent::up}));
        QVERIFY(allOnMainThread);

        // Nothing further arrives by itself.
        QTest::qWait(100);
        QCOMPARE(received.size(), 4);
    }

    void signalsOfOneKindMergeUntilHandled() {
        SignalHotkeyMonitor monitor;
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        monitor.start();
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
        auto* doomed = new SignalHotkeyMonitor;
        doomed->start();
        SignalHotkeyMonitor survivor;
        QSignalSpy survivorSpy(&survivor, &HotkeyMonitor::events);
        survivor.start();

        raise(SIGUSR1);
        // Let the pipe be drained (which queues one emission per monitor), then destroy one
        // monitor before its queued emission runs.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 0);
        delete doomed;
        QTRY_COMPARE(survivorSpy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(HotkeyMonitorTest)
#include "HotkeyMonitorTest.moc"
