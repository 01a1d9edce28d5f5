#include "DesktopHelpers.h"

#include "SpokenText.h"
#include "Utilities.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace {

// Finds a viewable window titled `title` under `window`.
Window findNamed(Display* d, Window window, const QByteArray& title) {
    XTextProperty name{};
    if (XGetWMName(d, window, &name) && name.value) {
        const bool match =
            QByteArray(reinterpret_cast<const char*>(name.value), int(name.nitems)) == title;
        XFree(name.value);
        XWindowAttributes attributes{};
        if (match && XGetWindowAttributes(d, window, &attributes) &&
            attributes.map_state == IsViewable)
            return window;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(d, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && !found; ++i)
            found = findNamed(d, children[i], title);
        if (children)
            XFree(children);
    }
    return found;
}

// Runs `use` with the named window on a connection of its own.
template <typename Use> auto withWindowNamed(const QString& title, Use use) {
    Display* d = XOpenDisplay(nullptr);
    const Window window = d ? findNamed(d, DefaultRootWindow(d), title.toUtf8()) : 0;
    const auto result = use(d, window);
    if (d)
        XCloseDisplay(d);
    return result;
}

} // namespace

void clickAt(int x, int y, int button) {
    Display* d = XOpenDisplay(nullptr);
    XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
    XSync(d, False);
    QTest::qWait(50);
    XTestFakeButtonEvent(d, unsigned(button), True, CurrentTime);
    XTestFakeButtonEvent(d, unsigned(button), False, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
}

QRect windowNamed(const QString& title) {
    return withWindowNamed(title, [](Display* d, Window window) {
        XWindowAttributes attributes{};
        if (!window || !XGetWindowAttributes(d, window, &attributes))
            return QRect();
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &x, &y, &child);
        return QRect(x, y, attributes.width, attributes.height);
    });
}

// The mapped child windows of the window titled `title`, on the screen.
static QList<QRect> mappedChildrenOf(const QString& title) {
    return withWindowNamed(title, [](Display* d, Window window) {
        QList<QRect> found;
        Window root = 0, parent = 0, *children = nullptr;
        unsigned int count = 0;
        if (!window || !XQueryTree(d, window, &root, &parent, &children, &count))
            return found;
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes a{};
            int x = 0, y = 0;
            Window child = 0;
            if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
                XTranslateCoordinates(d, children[i], root, 0, 0, &x, &y, &child))
                found.append(QRect(x, y, a.width, a.height));
        }
        if (children)
            XFree(children);
        return found;
    });
}

bool closeWindowNamed(const QString& title) {
    return withWindowNamed(title, [](Display* d, Window window) {
        if (!window)
            return false;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, window, False, NoEventMask, &event);
        XSync(d, False);
        return true;
    });
}

bool focusWindowNamed(const QString& title) {
    return withWindowNamed(title, [](Display* d, Window window) {
        if (!window)
            return false;
        XSetInputFocus(d, window, RevertToParent, CurrentTime);
        XSync(d, False);
        return true;
    });
}

void focusNothing() {
    Display* d = XOpenDisplay(nullptr);
    XSetInputFocus(d, None, RevertToNone, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
}

TextField::TextField(const QString& dir, const QStringList& extra) {
    static int counter = 0;
    log_ = dir + QStringLiteral("/field-%1.log").arg(++counter);
    process_.start(QStringLiteral(MIRVO_TEST_HELPER), QStringList{"field", log_} + extra);
}

bool TextField::waitReady() {
    return QTest::qWaitFor([&] { return lines().contains("ready"); }, 10000);
}

QStringList TextField::lines() const {
    return QString::fromUtf8(readFile(log_)).split('\n', Qt::SkipEmptyParts);
}

QString TextField::text() const {
    QString last;
    for (const QString& line : lines())
        if (line.startsWith("text "))
            last = line.mid(5);
    return last;
}

void fakeKey(const char* keysymName, bool down) {
    Display* d = XOpenDisplay(nullptr);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XStringToKeysym(keysymName)), down, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
}

bool Desktop::start(const QString& sentence) {
    speech_ = dir_.filePath("spoken.wav");
    if (!SpokenText::synthesize({sentence}, speech_))
        error_ = QStringLiteral("flite failed");
    else if (!pulse_.start())
        error_ = pulse_.error();
    return error_.isEmpty();
}

QString Desktop::newHome(bool newcomer) {
    const QString home = dir_.filePath(QStringLiteral("home-%1").arg(++homes_));
    QDir().mkpath(home + "/config");
    QDir().mkpath(home + "/run");
    QFile::setPermissions(home + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!newcomer)
        MirvoProcess::markChecklistCompleted(home + "/config");
    return home;
}

QStringList Desktop::environment(const QString& home) {
    return {"XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home + "/run",
            "HOME=" + home};
}

std::unique_ptr<MirvoProcess> Desktop::launch(const QString& home, const QStringList& extra) {
    return std::make_unique<MirvoProcess>(home, environment(home) + extra);
}

bool Desktop::startTray() {
    return tray_.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                  "--width", "120", "--height", "28"}) &&
           QTest::qWaitFor([&] { return windowNamed("panel").isValid(); }, 10000);
}

QList<QRect> Desktop::trayIcons() const {
    // The windows embedded in trayer's panel, beside a 1 × 1 of its own.
    QList<QRect> icons = mappedChildrenOf(QStringLiteral("panel"));
    icons.removeIf([](const QRect& r) { return r.width() < 8; });
    return icons;
}

void Desktop::pickFromTrayMenu(int downs) {
    const QList<QRect> icons = trayIcons();
    QCOMPARE(icons.size(), 1);
    clickAt(icons.first().center().x(), icons.first().center().y(), 3);
    QTest::qWait(400);
    for (int i = 0; i < downs; ++i) {
        fakeKey("Down", true);
        fakeKey("Down", false);
        QTest::qWait(60);
    }
    fakeKey("Return", true);
    fakeKey("Return", false);
}

TextField& Desktop::field() {
    if (!field_) {
        field_ = std::make_unique<TextField>(dir());
        if (!field_->waitReady())
            qWarning("the text field did not start");
    }
    focusWindowNamed("Mirvo test field");
    return *field_;
}

bool Desktop::closeChecklist(bool toField) {
    const QString title = QStringLiteral("Welcome to Mirvo");
    if (!QTest::qWaitFor([&] { return windowNamed(title).isValid(); }, 10000) ||
        !closeWindowNamed(title) ||
        !QTest::qWaitFor([&] { return !windowNamed(title).isValid(); }, 5000))
        return false;
    if (toField)
        field();
    return true;
}

bool Desktop::dictate() {
    fakeKey("Control_R", true);
    QTest::qWait(300);
    const bool played = pulse_.play(speech_);
    QTest::qWait(300);
    fakeKey("Control_R", false);
    return played;
}

bool ownClipboard(Subprocess& owner, const QString& dir, const ClipboardContents& contents) {
    static int owned = 0;
    QStringList arguments = {"clipboard-owner"};
    for (const auto& [type, bytes] : contents) {
        QFile f(dir + QStringLiteral("/copied-%1").arg(++owned));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return false;
        arguments.append(type + "=" + f.fileName());
    }
    owner.stop();
    return owner.start(QStringLiteral(MIRVO_TEST_HELPER), arguments) &&
           QTest::qWaitFor(
               [&] { return clipboardData(dir, contents[0].first) == contents[0].second; }, 5000);
}

bool clipboardHolds(const QString& dir, const ClipboardContents& contents, int ms) {
    return QTest::qWaitFor(
        [&] {
            for (const auto& [type, bytes] : contents)
                if (clipboardData(dir, type) != bytes)
                    return false;
            return true;
        },
        ms);
}

QByteArray clipboardData(const QString& dir, const QString& type) {
    const QString out = dir + "/xclip.out";
    QFile::remove(out);
    Subprocess xclip;
    xclip.start("sh", {"-c", QStringLiteral("xclip -selection clipboard -t '%1' -o > '%2' "
                                            "2>/dev/null")
                                 .arg(type, out)});
    (void)QTest::qWaitFor([&] { return !xclip.isRunning(); }, 5000);
    return readFile(out);
}
