// A dictation as a person makes it, on each desktop Mirvo runs on: X11, sway (the hold key bound
// to `mirvo --hold` / `--release`, the clipboard and the chord through data-control and a
// virtual keyboard, into a terminal) and KDE Plasma's KWin (the portal's shortcut, KWin's fake
// input). The user's clipboard, in four types, comes back byte for byte.
#include "core/Paster.h"
#include "platform/linux/LinuxPlatform.h"
#include "support/SpokenText.h"
#include "support/TestDesktop.h"
#include "support/Utilities.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

Q_DECLARE_METATYPE(TestDesktop::Kind)

namespace {

const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");

double wer(const QString& heard, const QString& spoken = sampleText) {
    return SpokenText::wordErrorRate(SpokenText::words(spoken), SpokenText::words(heard));
}

// What the user had copied: text, HTML, an image and a type of an application's own.
ClipboardContents userClipboard(const QString& textType) {
    return {{textType, "what the user had"},
            {"text/html", "<b>what</b> the user had"},
            {"image/png", readFile(MIRVO_SOURCE_DIR "/resources/mirvo-icon.png")},
            {"application/x-mirvo-test", QByteArray("\0\1\2\r\n\xff", 6)}};
}

const QString swayBindings = "bindsym --no-repeat Control_R exec " MIRVO_BINARY " --hold\n"
                             "bindsym --release Control_R exec " MIRVO_BINARY " --release";

} // namespace

class DictationTest : public QObject {
    Q_OBJECT

private slots:
    void dictatesIntoAnApplication_data() {
        QTest::addColumn<TestDesktop::Kind>("kind");
        QTest::addColumn<QString>("textType");
        QTest::addColumn<QStringList>("started"); // what Mirvo says of the desktop
        addRow("x11", TestDesktop::Kind::x11, "text/plain",
               QStringList{"[Mirvo] hotkey.start() OK (CGEventTapHotkeyMonitor)"});
        addRow("sway", TestDesktop::Kind::sway, "text/plain;charset=utf-8",
               QStringList{"[Mirvo] session: wayland (sway, no XWayland)",
                           "[Mirvo] hotkey.start() OK (CommandHotkeyMonitor)",
                           "[Mirvo] clipboard: through the compositor (data-control)",
                           "[Mirvo] paste chord: through the compositor (virtual-keyboard)"});
        addRow("kwin", TestDesktop::Kind::kwin, "text/plain;charset=utf-8",
               QStringList{
                   "[Mirvo] clipboard: through the compositor (data-control)",
                   "[Mirvo] paste chord: through the compositor (KWin fake input)",
                   "[Mirvo] hold key: the desktop's shortcut \"Hold to dictate\" (Ctrl+Alt+H)"});
    }

    void dictatesIntoAnApplication() {
        QFETCH(TestDesktop::Kind, kind);
        QFETCH(QString, textType);
        QFETCH(QStringList, started);
        TestDesktop desktop(kind, swayBindings);
        QVERIFY2(desktop.start(sampleText) &&
                     (kind != TestDesktop::Kind::kwin || desktop.startPortal()),
                 qPrintable(desktop.error()));
        QVERIFY(desktop.focusTarget());
        const ClipboardContents mine = userClipboard(textType);
        QVERIFY(desktop.own(mine));

        const auto app = desktop.startMirvo();
        QVERIFY2(app->waitFor("[Mirvo] coordinator up"), qPrintable(app->log()));
        if (kind == TestDesktop::Kind::x11)
            QVERIFY(desktop.closeChecklist());
        for (const QString& line : started)
            QVERIFY2(app->waitFor(line, 1, 10000), qPrintable(line + "\n" + app->log()));
        QTest::qWait(1000); // the speech model warms up

        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        // Both Wayland desktops tell Mirvo that a terminal has the focus.
        QVERIFY(kind == TestDesktop::Kind::x11 ||
                app->log().contains("[Mirvo] paste chord Ctrl+Shift+V for"));
        QElapsedTimer sincePaste;
        sincePaste.start();
        QTRY_VERIFY2_WITH_TIMEOUT(wer(desktop.typed()) <= 25, qPrintable(desktop.typed()), 5000);
        // Back once the application has fetched the text: well before the 2 s a paste waits
        // for a target that never does.
        QVERIFY(desktop.clipboardHolds(mine, 1500));
        QVERIFY2(sincePaste.elapsed() < 1500, qPrintable(QString::number(sincePaste.elapsed())));
        QCOMPARE(app->count("[Mirvo] hotkey event: down"), 1);

        // Pasted again on demand, when the clipboard Mirvo saves and restores is its own.
        QVERIFY(desktop.tellMirvo("--paste-last"));
        QVERIFY(app->waitFor("[Mirvo] pasted", 2));
        QTRY_VERIFY2_WITH_TIMEOUT(wer(desktop.typed(), sampleText + " " + sampleText) <= 25,
                                  qPrintable(desktop.typed()), 5000);
        QVERIFY(desktop.clipboardHolds(mine));
        // Outside test mode the words a user dictates reach neither the log nor the journal.
        for (const QString& word : {"quarterly", "finance", "meeting"})
            QVERIFY2(!app->log().contains(word, Qt::CaseInsensitive), qPrintable(word));
    }

    // Where the compositor offers data-control and a virtual keyboard, the helpers are only a
    // fallback; Mirvo holds the user's contents once it restored them, so that they outlive it;
    // and an owner of a hundred types that answers slowly costs one snapshot budget in all.
    void theWaylandClipboardOutlivesMirvoAndSlowOwnersAreBounded() {
        TestDesktop desktop(TestDesktop::Kind::sway, swayBindings);
        QVERIFY2(desktop.start(sampleText), qPrintable(desktop.error()));
        {
            ScopedVariable display("WAYLAND_DISPLAY", desktop.socketPath());
            ScopedVariable sway("XDG_CURRENT_DESKTOP", "sway");
            ScopedVariable noHelpers("PATH", "/nonexistent");
            LinuxPlatform platform;
            QCOMPARE(platform.capabilities().missing, QString());
            // One clipboard connection per process: the paster and "Recent Dictations" share it.
            const std::shared_ptr<Pasteboard> first = platform.makePasteboard();
            QVERIFY(first && first == platform.makePasteboard());
        }
        QVERIFY(desktop.focusTarget());
        const ClipboardContents mine = userClipboard("text/plain;charset=utf-8");
        QVERIFY(desktop.own(mine));
        const auto app = desktop.startMirvo();
        QVERIFY(app->waitFor("[Mirvo] coordinator up"));
        QTest::qWait(1000);
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        QVERIFY(desktop.clipboardHolds(mine));
        app->signal(SIGTERM);
        QVERIFY(app->waitFor("[Mirvo] clipboard handed to a holder that outlives Mirvo"));
        QVERIFY(desktop.clipboardHolds(mine));

        ClipboardContents many;
        for (int i = 0; i < 100; ++i)
            many.append({QStringLiteral("application/x-mirvo-%1").arg(i), "x"});
        QVERIFY(desktop.own(many));
        // The helper itself (the newest), not a wrapper that runs it as the desktop's user.
        const QString pidFile = desktop.dir() + "/owner.pid";
        QVERIFY(Subprocess::run("pgrep", {"-n", "-f", "x-mirvo-99="}, 5000, pidFile));
        const pid_t ownerPid = pid_t(readFile(pidFile).trimmed().toInt());
        QVERIFY(ownerPid > 0);
        ScopedVariable display("WAYLAND_DISPLAY", desktop.socketPath());
        ScopedVariable sway("XDG_CURRENT_DESKTOP", "sway");
        const std::shared_ptr<Pasteboard> pasteboard = LinuxPlatform().makePasteboard();
        QVERIFY(pasteboard);
        std::atomic<bool> done{false};
        std::thread slowly([&] { // it runs 2 ms a second
            while (!done) {
                ::kill(ownerPid, SIGSTOP);
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                ::kill(ownerPid, SIGCONT);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        QElapsedTimer clock;
        clock.start();
        const PasteboardPaster::Snapshot snapshot = PasteboardPaster::snapshot(*pasteboard);
        const qint64 elapsed = clock.elapsed();
        done = true;
        slowly.join();
        ::kill(ownerPid, SIGCONT);
        QVERIFY(!snapshot.complete);
        QVERIFY2(elapsed < 7000, qPrintable(QString::number(elapsed)));
    }
};

QTEST_GUILESS_MAIN(DictationTest)
#include "DictationTest.moc"
