#include "mirvo/HotkeyMonitor.h"
#include "mirvo/Paster.h"
#include "platform/Accessibility.h"
#include "platform/linux/QtClipboardPasteboard.h"
#include "platform/linux/SettingsUserDefaults.h"
#include "platform/linux/XInput2EventTap.h"
#include "platform/linux/XTestKeyboardEvents.h"
#include "support/Subprocess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QFile>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

// The separate text-field application, and what it logged.
class TextField {
public:
    explicit TextField(const QString& dir, QStringList extra = {}) {
        log_ = dir + QStringLiteral("/field-%1.log").arg(++counter);
        process_.start(QStringLiteral(MIRVO_TEXT_FIELD_APP), QStringList{log_} + extra);
    }
    bool waitReady() {
        const QDeadlineTimer deadline(10000);
        while (!lines().contains("ready") && !deadline.hasExpired())
            QTest::qWait(20);
        return lines().contains("ready");
    }
    QStringList lines() const {
        QFile f(log_);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    QString text() const {
        QString last;
        for (const QString& line : lines())
            if (line.startsWith("text "))
                last = line.mid(5);
        return last;
    }

private:
    static inline int counter = 0;
    QString log_;
    Subprocess process_;
};

// Another client's view of the clipboard, through xclip.
QByteArray xclipRead(const QString& type, const QString& dir) {
    const QString out = dir + "/xclip.out";
    QFile::remove(out);
    // This process may own the clipboard: its event loop must keep running to answer xclip.
    Subprocess xclip;
    xclip.start(
        "sh",
        {"-c", QStringLiteral("xclip -selection clipboard -t '%1' -o > '%2'").arg(type, out)});
    const QDeadlineTimer deadline(5000);
    while (xclip.isRunning() && !deadline.hasExpired())
        QTest::qWait(10);
    QFile f(out);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void key(const char* keysymName, bool down) {
    Display* d = XOpenDisplay(nullptr);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XStringToKeysym(keysymName)), down, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
}

} // namespace

class DesktopTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void displayCountsAsTrusted() {
        QVERIFY(accessibilityIsProcessTrusted());
        QVERIFY(XTestKeyboardEvents::isTerminal("xterm", "XTerm"));
        QVERIFY(XTestKeyboardEvents::isTerminal("main", "Alacritty"));
        QVERIFY(!XTestKeyboardEvents::isTerminal("gedit", "Gedit"));
    }

    void snapshotKeepsRealTypesAndRestoresThem() {
        TextField owner(dir.path(), {"--own-clipboard"});
        QVERIFY(owner.waitReady());
        QtClipboardPasteboard pasteboard;
        const PasteboardPaster::Snapshot snapshot = PasteboardPaster::snapshot(pasteboard);
        QCOMPARE(snapshot.items.size(), size_t(1));
        const auto& item = snapshot.items[0];
        QStringList types;
        for (const auto& [type, bytes] : item)
            types.append(type);
        QCOMPARE(types, (QStringList{"application/x-mirvo-test", "text/html", "text/plain"}));
        QCOMPARE(item.at("application/x-mirvo-test"), QByteArray("\x00\x01\xfe", 3));

        // Someone else takes the clipboard; the restore gives the same data under the same types.
        pasteboard.setString("intermediate", true);
        PasteboardPaster::restore(snapshot, pasteboard);
        const QByteArray targets = xclipRead("TARGETS", dir.path());
        for (const char* type : {"text/plain", "text/html", "application/x-mirvo-test"})
            QVERIFY2(targets.contains(type), targets.constData());
        QVERIFY(!targets.contains("x-kde-passwordManagerHint"));
        QCOMPARE(xclipRead("text/html", dir.path()), QByteArray("<i>html words</i>"));
        QCOMPARE(xclipRead("application/x-mirvo-test", dir.path()), QByteArray("\x00\x01\xfe", 3));
        QCOMPARE(xclipRead("UTF8_STRING", dir.path()), QByteArray("plain words"));
    }

    void pastesIntoAnotherApplicationAndRestores() {
        QApplication::clipboard()->setText("the user's own words");
        TextField field(dir.path());
        QVERIFY(field.waitReady());
        auto pasteboard = std::make_shared<QtClipboardPasteboard>();
        PasteboardPaster paster(pasteboard, std::make_shared<XTestKeyboardEvents>());
        paster.paste("dictated words");
        // The dictation is marked for clipboard managers while it is there.
        QVERIFY(xclipRead("TARGETS", dir.path()).contains("x-kde-passwordManagerHint"));
        QTRY_COMPARE(field.text(), QStringLiteral("dictated words"));
        QVERIFY(pasteboard->fetchCount() > 0);
        QTRY_COMPARE(QApplication::clipboard()->text(), QStringLiteral("the user's own words"));

        // Two deliveries 0.1 s apart: both land, and the user's words come back.
        paster.paste(" one");
        QTest::qWait(100);
        paster.paste(" two");
        QTRY_COMPARE(field.text(), QStringLiteral("dictated words one two"));
        QTRY_COMPARE(QApplication::clipboard()->text(), QStringLiteral("the user's own words"));
        QCOMPARE(xclipRead("UTF8_STRING", dir.path()), QByteArray("the user's own words"));

        // A modifier still held does not turn the chord into another shortcut.
        key("Alt_L", true);
        paster.paste(" three");
        QTRY_COMPARE(field.text(), QStringLiteral("dictated words one two three"));
        key("Alt_L", false);
    }

    void terminalsGetControlShiftV() {
        TextField terminal(dir.path(), {"-name", "xterm"});
        QVERIFY(terminal.waitReady());
        XTestKeyboardEvents().postPasteChord();
        QTRY_VERIFY(terminal.lines().contains("key Ctrl+Shift+V"));

        TextField editor(dir.path());
        QVERIFY(editor.waitReady());
        XTestKeyboardEvents().postPasteChord();
        QTRY_VERIFY(editor.lines().contains("key Ctrl+V"));
        QVERIFY(!editor.lines().contains("key Ctrl+Shift+V"));
    }

    void pushToTalkKeyIsObservedWithoutGrabbing() {
        TextField field(dir.path());
        QVERIFY(field.waitReady());
        CGEventTapHotkeyMonitor monitor(
            HotkeyStateMachine(),
            [](uint64_t mask, EventTapCallback callback, void* user) {
                return XInput2EventTap::create(mask, callback, user, "Control_R");
            },
            &accessibilityIsProcessTrusted);
        QSignalSpy spy(&monitor, &HotkeyMonitor::events);
        monitor.start();

        key("Control_R", true);
        QTRY_COMPARE(spy.count(), 1);
        key("Control_R", true); // a repeat changes nothing
        key("Shift_L", true);
        key("Shift_L", false);
        key("Control_L", true); // Ctrl+Shift with the key: still nothing
        key("Shift_R", true);
        key("Shift_R", false);
        key("Control_L", false);
        key("Control_R", false);
        QTRY_COMPARE(spy.count(), 2);
        key("Control_R", false); // a release of a key already up
        QTest::qWait(100);
        QCOMPARE(spy.count(), 2);
        QVERIFY(spy[0][0].value<HotkeyEvent>() == HotkeyEvent::down);
        QVERIFY(spy[1][0].value<HotkeyEvent>() == HotkeyEvent::up);

        // Keys typed while the key is held still reach the focused application.
        key("Control_R", true);
        key("a", true);
        key("a", false);
        key("Control_R", false);
        key("b", true);
        key("b", false);
        QTRY_VERIFY(field.lines().contains("key Ctrl+A"));
        QTRY_COMPARE(field.text(), QStringLiteral("b"));
        QTRY_COMPARE(spy.count(), 4);
    }

    void otherPushToTalkKeysAndDefaults() {
        SettingsUserDefaults defaults(dir.filePath("defaults.conf"));
        QCOMPARE(defaults.stringForKey("ai.mirvo.hotkey"), QString());
        defaults.setValue("ai.mirvo.hotkey", "Super_R");
        QVERIFY(!defaults.boolForKey("ai.mirvo.onboardingCompleted"));
        SettingsUserDefaults reread(dir.filePath("defaults.conf"));
        QCOMPARE(reread.stringForKey("ai.mirvo.hotkey"), QStringLiteral("Super_R"));

        int calls = 0;
        auto tap = XInput2EventTap::create(
            TapEvent::flagsChangedMask,
            [](TapEvent e, void* user) {
                if (e.flags & TapEvent::maskSecondaryFn)
                    ++*static_cast<int*>(user);
                return e;
            },
            &calls, reread.stringForKey("ai.mirvo.hotkey"));
        QVERIFY(tap);
        key("Super_R", true);
        key("Super_R", false);
        QTRY_COMPARE(calls, 1);
        QVERIFY(!XInput2EventTap::create(
            TapEvent::flagsChangedMask, [](TapEvent e, void*) { return e; }, nullptr, "NoSuchKey"));
    }
};

MIRVO_X11_TEST_MAIN(DesktopTest)
#include "DesktopTest.moc"
