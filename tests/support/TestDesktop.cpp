#include "TestDesktop.h"

#include "SpokenText.h"
#include "Utilities.h"
#include "platform/linux/wayland/WaylandKeyboardEvents.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const waylandUser = "mirvo-wayland";

bool asRoot() {
    return geteuid() == 0;
}

// The uid and gid a Wayland desktop's clients run as.
std::pair<uid_t, gid_t> clientIds() {
    if (!asRoot())
        return {getuid(), getgid()};
    const passwd* entry = getpwnam(waylandUser);
    return entry ? std::pair{entry->pw_uid, entry->pw_gid} : std::pair{uid_t(0), gid_t(0)};
}

void giveToClient(const QString& path, mode_t mode) {
    const auto [uid, gid] = clientIds();
    [[maybe_unused]] int ignored = ::chown(QFile::encodeName(path).constData(), uid, gid);
    ::chmod(QFile::encodeName(path).constData(), mode);
}

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

// Runs `use` with the named window on a connection of its own. A window may go while it is
// looked at: the X error that brings is no failure (Xlib's own handler would end the process).
template <typename Use> auto withWindowNamed(const QString& title, Use use) {
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
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
    return textIn(log_);
}

QString TextField::textIn(const QString& log) {
    // The field logs its text on every change: the last such line has it whole.
    QString last;
    for (const QString& line : QString::fromUtf8(readFile(log)).split('\n'))
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

TestDesktop::TestDesktop(Kind kind, const QString& swayConfig) : kind_(kind) {
    runtime_ = root_.filePath("runtime");
    QDir().mkpath(runtime_);
    QDir().mkpath(root_.filePath("home"));
    if (kind_ == Kind::sway)
        writeFile(root_.filePath("sway.conf"), ("output HEADLESS-1 resolution 1280x720\n"
                                                "default_border none\n" +
                                                swayConfig + "\n")
                                                   .toUtf8());
}

TestDesktop::~TestDesktop() {
    target_.stop();
    owner_.stop();
    keyboard_.stop();
    portal_.stop();
    portalBackend_.stop();
    compositor_.stop();
    bus_.stop();
}

bool TestDesktop::start(const QString& sentence) {
    speech_ = root_.filePath("spoken.wav");
    if (!sentence.isEmpty() && !SpokenText::synthesize({sentence}, speech_))
        error_ = QStringLiteral("the speech synthesizer failed");
    else if (!startCompositor())
        return false;
    else if (!pulse_.start())
        error_ = pulse_.error();
    if (!error_.isEmpty())
        return false;
    if (kind_ == Kind::x11)
        return true;
    // The desktop's user reads the sample and reaches the sound server.
    giveToClient(speech_, 0644);
    const QString socket = qEnvironmentVariable("PULSE_SERVER").mid(5);
    ::chmod(QFile::encodeName(QFileInfo(socket).path()).constData(), 0755);
    ::chmod(QFile::encodeName(socket).constData(), 0666);
    // A desktop has a keyboard all along; a headless sway has one only while a virtual
    // keyboard exists, and clients lose track of the clipboard when keyboards come and go.
    if (kind_ == Kind::sway) {
        spawn(keyboard_, "wtype", {"-s", "600000"});
        QTest::qWait(300);
    }
    return true;
}

bool TestDesktop::startCompositor() {
    if (kind_ == Kind::x11)
        return true;
    if (asRoot() && !getpwnam(waylandUser) &&
        !Subprocess::run("useradd", {"--create-home", "--shell", "/bin/sh", waylandUser})) {
        error_ = QStringLiteral("cannot create the user %1 that runs the desktop").arg(waylandUser);
        return false;
    }
    giveToClient(root_.path(), 0755);
    giveToUser(root_.filePath("home"));
    giveToClient(root_.filePath("home"), 0755);
    giveToClient(runtime_, 0700);
    if (kind_ == Kind::kwin)
        return startKWin();
    // sway makes its own sockets: it gets none of its clients' variables.
    return launchCompositor(
        "sway",
        command("sway", {"-c", root_.filePath("sway.conf")},
                {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"},
                false),
        [this] {
            const QStringList sockets =
                QDir(runtime_).entryList({"sway-ipc.*.sock"}, QDir::System | QDir::Files);
            if (!QFile::exists(runtime_ + "/wayland-1") || sockets.isEmpty())
                return false;
            swaySocket_ = runtime_ + "/" + sockets.first();
            return run("swaymsg", {"-t", "get_version"});
        });
}

bool TestDesktop::startKWin() {
    // KWin grants the protocols a program's .desktop file asks for, to the program it names by
    // its path, as installing writes it; the test helper presses keys through its fake input.
    const QString applications = root_.filePath("home/.local/share/applications");
    QDir().mkpath(applications);
    writeFile(applications + "/ai.mirvo.Mirvo.desktop",
              readFile(MIRVO_SOURCE_DIR "/resources/ai.mirvo.Mirvo.desktop")
                  .replace("Exec=mirvo ", "Exec=" MIRVO_BINARY " "));
    writeFile(applications + "/mirvo-test-keys.desktop",
              "[Desktop Entry]\nType=Application\nName=Mirvo test keys\nExec=" MIRVO_TEST_HELPER
              "\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    giveToUser(root_.filePath("home"));
    // KWin's binary carries a file capability these machines do not grant: a plain copy runs. It
    // keeps its name, which its Qt platform plugin is loaded by.
    const QString copy = root_.filePath("bin/kwin_wayland");
    QDir().mkpath(root_.filePath("bin"));
    if (!QFile::copy("/usr/bin/kwin_wayland", copy)) {
        error_ = QStringLiteral("no /usr/bin/kwin_wayland to run");
        return false;
    }
    giveToClient(root_.filePath("bin"), 0755);
    giveToClient(copy, 0755);
    // One session bus for KWin (which hosts the desktop's global shortcuts), the portal and
    // Mirvo, as a Plasma session has.
    QStringList bus =
        command("dbus-daemon",
                {"--session", "--nofork", "--address=unix:path=" + runtime_ + "/bus"}, {}, false);
    const QString busProgram = bus.takeFirst();
    if (!bus_.start(busProgram, bus, {}, {}, root_.filePath("bus.log")) ||
        !QTest::qWaitFor([&] { return QFile::exists(runtime_ + "/bus"); }, 5000)) {
        error_ = QStringLiteral("dbus-daemon did not come up");
        return false;
    }
    return launchCompositor(
        "kwin",
        command(copy,
                {"--virtual", "--no-lockscreen", "--socket", "wayland-1", "--width", "1280",
                 "--height", "720"},
                {"QT_QPA_PLATFORM=wayland-org.kde.kwin.qpa", busAddress()}, false),
        [this] { return QFile::exists(runtime_ + "/wayland-1") && run("wayland-info", {}); });
}

QString TestDesktop::busAddress() const {
    return "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus";
}

bool TestDesktop::startPortal() {
    // Started by hand: the bus would start the KDE backend on a screen it does not have.
    const QString kde = "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde";
    if (!spawn(portalBackend_, kde, {}, {"QT_QPA_PLATFORM=offscreen"},
               root_.filePath("portal-kde.log")) ||
        !spawn(portal_, "/usr/libexec/xdg-desktop-portal", {}, {}, root_.filePath("portal.log"))) {
        error_ = QStringLiteral("cannot start the desktop portal");
        return false;
    }
    const bool up = QTest::qWaitFor(
        [&] {
            QByteArray answer;
            run("dbus-send",
                {"--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.portal.Desktop"},
                &answer);
            return answer.contains("boolean true") || !portal_.isRunning();
        },
        15000);
    if (!up || !portal_.isRunning())
        error_ = QStringLiteral("the desktop portal did not come up");
    return error_.isEmpty();
}

bool TestDesktop::launchCompositor(const QString& name, QStringList line,
                                   const std::function<bool()>& answers) {
    const QString program = line.takeFirst();
    const QString logPath = root_.filePath(name + ".log");
    if (!compositor_.start(program, line, {}, {}, logPath)) {
        error_ = QStringLiteral("cannot start ") + name;
        return false;
    }
    if (QTest::qWaitFor([&] { return !compositor_.isRunning() || answers(); }, 15000) &&
        compositor_.isRunning())
        return true;
    error_ = name + QStringLiteral(" did not come up: ") +
             QString::fromUtf8(readFile(logPath).right(600));
    return false;
}

QStringList TestDesktop::waylandEnvironment() const {
    QStringList environment = {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=wayland-1",
                               "HOME=" + root_.filePath("home")};
    if (kind_ == Kind::kwin)
        return environment << "XDG_CURRENT_DESKTOP=KDE" << busAddress();
    return environment << "SWAYSOCK=" + swaySocket_ << "XDG_CURRENT_DESKTOP=sway";
}

QStringList TestDesktop::command(const QString& program, const QStringList& arguments,
                                 const QStringList& environment, bool client) const {
    QStringList line;
    if (asRoot())
        line << "runuser"
             << "-u" << waylandUser << "--";
    // Nothing of the suite's own X server reaches the Wayland desktop.
    line << "env";
    for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"})
        line << "-u" << unset;
    line << "XDG_RUNTIME_DIR=" + runtime_ << "HOME=" + root_.filePath("home");
    // A coverage build's profiles: every process writes its own.
    if (const QString profile = qEnvironmentVariable("LLVM_PROFILE_FILE"); !profile.isEmpty())
        line << "LLVM_PROFILE_FILE=" + profile;
    if (client)
        line << waylandEnvironment();
    line << environment << program << arguments;
    return line;
}

bool TestDesktop::spawn(Subprocess& process, const QString& program, const QStringList& arguments,
                        const QStringList& environment, const QString& outputPath) const {
    if (kind_ == Kind::x11)
        return process.start(program, arguments, environment, {}, outputPath);
    QStringList line = command(program, arguments, environment);
    const QString first = line.takeFirst();
    return process.start(first, line, {}, {}, outputPath);
}

bool TestDesktop::run(const QString& program, const QStringList& arguments, QByteArray* output,
                      int timeoutMs) const {
    const QString path = root_.filePath("run.out");
    QFile::remove(path);
    Subprocess process;
    const bool ok = spawn(process, program, arguments, {}, output ? path : QString()) &&
                    process.waitForSuccess(timeoutMs);
    if (output)
        *output = readFile(path);
    return ok;
}

QByteArray TestDesktop::socketPath() const {
    return QFile::encodeName(runtime_ + "/wayland-1");
}

QString TestDesktop::focusedAppId() const {
    QByteArray tree;
    if (!run("swaymsg", {"-t", "get_tree"}, &tree))
        return QString();
    return WaylandKeyboardEvents::focusedAppIdInSwayTree(tree);
}

void TestDesktop::giveToUser(const QString& path) const {
    if (asRoot() && kind_ != Kind::x11)
        Subprocess::run("chown", {"-R", waylandUser, path});
}

std::unique_ptr<MirvoProcess> TestDesktop::startMirvo(const QStringList& extra) {
    if (kind_ == Kind::x11)
        return launch(mirvoHome_ = newHome(), extra);
    const QString config = root_.filePath("config");
    MirvoProcess::markChecklistCompleted(config);
    giveToUser(config);
    return MirvoProcess::startedBy(
        root_.path(), command(MIRVO_BINARY, {}, QStringList{"XDG_CONFIG_HOME=" + config} + extra));
}

bool TestDesktop::tellMirvo(const QString& argument) {
    if (kind_ == Kind::x11)
        return MirvoProcess::command(mirvoHome_, environment(mirvoHome_), {argument});
    return run(MIRVO_BINARY, {argument});
}

QString TestDesktop::newHome(bool newcomer) {
    const QString home = root_.filePath(QStringLiteral("home-%1").arg(++homes_));
    QDir().mkpath(home + "/config");
    QDir().mkpath(home + "/run");
    QFile::setPermissions(home + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!newcomer)
        MirvoProcess::markChecklistCompleted(home + "/config");
    return home;
}

QStringList TestDesktop::environment(const QString& home) {
    return {"XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home + "/run",
            "HOME=" + home};
}

std::unique_ptr<MirvoProcess> TestDesktop::launch(const QString& home, const QStringList& extra) {
    return std::make_unique<MirvoProcess>(home, environment(home) + extra);
}

bool TestDesktop::focusTarget() {
    if (targetLog_.isEmpty()) {
        targetLog_ = root_.filePath("typed.log");
        writeFile(targetLog_, {});
        giveToClient(targetLog_, 0666);
        // The terminal hands each key to `cat` at once, as an editor in it would see it.
        const bool started =
            kind_ == Kind::sway
                ? spawn(target_, "foot", {"sh", "-c", "stty raw -echo; cat > " + targetLog_})
            : kind_ == Kind::kwin
                ? spawn(target_, MIRVO_TEST_HELPER, {"field", targetLog_, "--terminal"},
                        {"QT_QPA_PLATFORM=wayland"})
                : spawn(target_, MIRVO_TEST_HELPER, {"field", targetLog_});
        const bool ready = started && QTest::qWaitFor(
                                          [&] {
                                              return kind_ == Kind::sway
                                                         ? focusedAppId() == "foot"
                                                         : readFile(targetLog_).contains("ready");
                                          },
                                          10000);
        if (!ready)
            return false;
    }
    return kind_ != Kind::x11 || focusWindowNamed("Mirvo test field");
}

QString TestDesktop::typed() const {
    return kind_ == Kind::sway ? QString::fromUtf8(readFile(targetLog_))
                               : TextField::textIn(targetLog_);
}

bool TestDesktop::dictate() {
    switch (kind_) {
    case Kind::x11: {
        fakeKey("Control_R", true);
        QTest::qWait(300);
        const bool played = pulse_.play(speech_);
        QTest::qWait(300);
        fakeKey("Control_R", false);
        return played;
    }
    case Kind::sway: {
        // Held through a virtual keyboard for the sample's length; sway runs the bindings.
        Subprocess key;
        if (!spawn(key, "wtype", {"-P", "Control_R", "-s", "6500", "-p", "Control_R"}))
            return false;
        QTest::qWait(400);
        return pulse_.play(speech_) && key.waitForSuccess(10000);
    }
    case Kind::kwin: {
        // Ctrl+Alt+H, as a person holds it: KWin reports the shortcut again and again.
        const QString letGo = root_.filePath("let-go");
        QFile::remove(letGo);
        Subprocess keys;
        if (!spawn(keys, MIRVO_TEST_HELPER, {"kwin-keys", letGo, "29", "56", "35"}))
            return false;
        QTest::qWait(400);
        return pulse_.play(speech_) && writeFile(letGo, {}) && keys.waitForSuccess(5000);
    }
    }
    return false;
}

bool TestDesktop::own(const ClipboardContents& contents) {
    QStringList arguments = {kind_ == Kind::x11 ? "clipboard-owner" : "wayland-clipboard-owner"};
    for (const auto& [type, bytes] : contents) {
        const QString file = root_.filePath(QStringLiteral("copied-%1").arg(++owned_));
        if (!writeFile(file, bytes))
            return false;
        giveToClient(file, 0644);
        arguments.append(type + "=" + file);
    }
    owner_.stop();
    return spawn(owner_, MIRVO_TEST_HELPER, arguments, {}, root_.filePath("owner.log")) &&
           clipboardHolds(contents);
}

QByteArray TestDesktop::clipboard(QString type) {
    if (type.isEmpty())
        type = kind_ == Kind::x11 ? "UTF8_STRING" : "text/plain";
    QByteArray bytes;
    if (kind_ != Kind::x11) {
        run("wl-paste", {"--no-newline", "--type", type}, &bytes);
        return bytes;
    }
    // The event loop keeps running while xclip reads: this process may be the owner that has
    // to answer.
    const QString out = root_.filePath("xclip.out");
    QFile::remove(out);
    Subprocess xclip;
    xclip.start("sh", {"-c", QStringLiteral("xclip -selection clipboard -t '%1' -o > '%2' "
                                            "2>/dev/null")
                                 .arg(type, out)});
    (void)QTest::qWaitFor([&] { return !xclip.isRunning(); }, 5000);
    return readFile(out);
}

bool TestDesktop::clipboardHolds(const ClipboardContents& contents, int ms) {
    return QTest::qWaitFor(
        [&] {
            for (const auto& [type, bytes] : contents)
                if (clipboard(type) != bytes)
                    return false;
            return true;
        },
        ms);
}

bool TestDesktop::startTray() {
    return tray_.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                  "--width", "120", "--height", "28"}) &&
           QTest::qWaitFor([&] { return windowNamed("panel").isValid(); }, 10000);
}

QList<QRect> TestDesktop::trayIcons() const {
    // The windows embedded in trayer's panel, beside a 1 × 1 of its own.
    QList<QRect> icons = mappedChildrenOf(QStringLiteral("panel"));
    icons.removeIf([](const QRect& r) { return r.width() < 8; });
    return icons;
}

void TestDesktop::pickFromTrayMenu(int downs) {
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

bool TestDesktop::closeChecklist(bool toTarget) {
    const QString title = QStringLiteral("Welcome to Mirvo");
    if (!QTest::qWaitFor([&] { return windowNamed(title).isValid(); }, 10000) ||
        !closeWindowNamed(title) ||
        !QTest::qWaitFor([&] { return !windowNamed(title).isValid(); }, 5000))
        return false;
    return !toTarget || focusTarget();
}
