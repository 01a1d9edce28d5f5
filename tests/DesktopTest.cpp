#include "core/HotkeyMonitor.h"
#include "core/Paster.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/system/Terminals.h"
#include "platform/linux/wayland/WaylandKeyboardEvents.h"
#include "platform/linux/wayland/WlClipboardPasteboard.h"
#include "platform/linux/x11/QtClipboardPasteboard.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/XInput2KeyWatcher.h"
#include "platform/linux/x11/XTestKeyboardEvents.h"
#include "support/Subprocess.h"
#include "support/TestDesktop.h"

#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

class DesktopTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    LinuxPlatform platform;
    std::shared_ptr<X11Connection> x11 = std::make_shared<X11Connection>();

private slots:
    void displayCountsAsTrustedAndVanishedWindowsAreSurvived() {
        QVERIFY(platform.capabilities().keysReady());

        // Asking about a window that has gone is an X error; trapped, the process lives on.
        Display* display = x11->display();
        {
            X11ErrorTrap trap(display);
            XClassHint hint = {nullptr, nullptr};
            XGetClassHint(display, Window(0x3fffff7), &hint);
            QVERIFY(trap.caughtError());
        }
        X11ErrorTrap clean(display);
        XSync(display, False);
        QVERIFY(!clean.caughtError());
    }

    // The dictation is marked for clipboard managers while it is there, and a modifier still
    // held does not turn the chord into another shortcut. (What the user had copied coming
    // back is DictationTest's.)
    void pastesPastAHeldModifierAndHidesFromManagers() {
        TestDesktop desktop;
        const ClipboardContents mine = {{"text/plain", "the user's own words"}};
        QVERIFY(desktop.own(mine));
        QVERIFY(desktop.focusTarget());
        auto pasteboard = std::make_shared<QtClipboardPasteboard>();
        PasteboardPaster paster(pasteboard, std::make_shared<XTestKeyboardEvents>(x11));
        fakeKey("Alt_L", true);
        paster.paste("dictated words");
        QVERIFY(desktop.clipboard("TARGETS").contains("x-kde-passwordManagerHint"));
        QTRY_COMPARE(desktop.typed(), QStringLiteral("dictated words"));
        fakeKey("Alt_L", false);
        QVERIFY(pasteboard->fetchCount() > 0);
        QVERIFY(desktop.clipboardHolds(mine));
    }

    // An owner that never answers leaves a snapshot incomplete, which is never restored.
    void aClipboardOwnerThatNeverAnswers() {
        Display* other = XOpenDisplay(nullptr);
        QVERIFY(other);
        const Window window =
            XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(other, XInternAtom(other, "CLIPBOARD", False), window, CurrentTime);
        XSync(other, False);
        // An earlier paste left this process the owner until it hears it is no longer.
        QTRY_VERIFY(!QGuiApplication::clipboard()->ownsClipboard());
        QtClipboardPasteboard pasteboard;
        const PasteboardPaster::Snapshot snapshot = PasteboardPaster::snapshot(pasteboard);
        XCloseDisplay(other);
        QVERIFY(!snapshot.complete);
    }

    void terminalsGetControlShiftV() {
        TextField terminal(dir.path(), {"-name", "xterm"});
        QVERIFY(terminal.waitReady());
        XTestKeyboardEvents keyboard(x11);
        keyboard.postPasteChord();
        QTRY_VERIFY(terminal.lines().contains("key Ctrl+Shift+V"));

        TextField editor(dir.path());
        QVERIFY(editor.waitReady());
        keyboard.postPasteChord();
        QTRY_VERIFY(editor.lines().contains("key Ctrl+V"));
        QVERIFY(!editor.lines().contains("key Ctrl+Shift+V"));
    }

    // On Wayland the terminal is told by the compositor's tree, and the one type wl-copy can
    // give back is the one that keeps the item best.
    void waylandChoicesOfTerminalAndType() {
        const QByteArray tree = R"({"nodes": [{"nodes": [
            {"app_id": "org.gnome.Nautilus", "focused": false},
            {"app_id": null, "focused": true, "window_properties": {"class": "XTerm"}}]}],
            "floating_nodes": []})";
        QCOMPARE(WaylandKeyboardEvents::focusedAppIdInSwayTree(tree), QStringLiteral("XTerm"));
        QCOMPARE(WaylandKeyboardEvents::focusedAppIdInSwayTree("not json"), QString());
        // Terminals by their WM_CLASS or app id, whatever the case.
        for (const auto& [name, terminal] :
             {std::pair{"Alacritty", true}, {"foot", true}, {"gedit", false}})
            QCOMPARE(isTerminal(name), terminal);

        QCOMPARE(WlClipboardPasteboard::bestType({"TEXT", "STRING", "UTF8_STRING", "text/plain"}),
                 QStringLiteral("text/plain"));
        QCOMPARE(WlClipboardPasteboard::bestType({"image/jpeg", "image/png", "text/html"}),
                 QStringLiteral("image/png"));
    }

    void pushToTalkKeyIsObservedWithoutGrabbing() {
        TextField field(dir.path());
        QVERIFY(field.waitReady());
        CGEventTapHotkeyMonitor monitor(
            [this](HoldKeyChanged changed) {
                return platform.watchHoldKey("Control_R", std::move(changed));
            },
            [this] { return platform.capabilities().keysReady(); });
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        monitor.start();

        fakeKey("Control_R", true);
        QTRY_COMPARE(spy.count(), 1);
        fakeKey("Control_R", true); // a repeat changes nothing
        fakeKey("Shift_L", true);   // nor another modifier
        fakeKey("Shift_L", false);
        fakeKey("Control_R", false);
        QTRY_COMPARE(spy.count(), 2);
        fakeKey("Control_R", false); // a release of a key already up
        QTest::qWait(100);
        QCOMPARE(spy.count(), 2);
        QVERIFY(spy[0][0].value<HotkeyEvent>() == HotkeyEvent::down);
        QVERIFY(spy[1][0].value<HotkeyEvent>() == HotkeyEvent::up);

        // Keys typed while the key is held still reach the focused application.
        fakeKey("Control_R", true);
        fakeKey("a", true);
        fakeKey("a", false);
        fakeKey("Control_R", false);
        fakeKey("b", true);
        fakeKey("b", false);
        QTRY_VERIFY(field.lines().contains("key Ctrl+A"));
        QTRY_COMPARE(field.text(), QStringLiteral("b"));
        QTRY_COMPARE(spy.count(), 4);
    }

    // Any key the user names is watched; a name that is no key makes no watcher.
    void otherHoldKeys() {
        QList<bool> changes;
        auto watcher = XInput2KeyWatcher::create(QStringLiteral("Super_R"),
                                                 [&changes](bool held) { changes.append(held); });
        QVERIFY(watcher);
        fakeKey("Super_R", true);
        fakeKey("Super_R", false);
        QTRY_COMPARE(changes, (QList<bool>{true, false}));
        QVERIFY(!XInput2KeyWatcher::create("NoSuchKey", [](bool) {}));
    }
};

QTEST_MAIN(DesktopTest)
#include "DesktopTest.moc"
