#include "WaylandSession.h"

#include "MirvoProcess.h"
#include "platform/linux/wayland/WaylandKeyboardEvents.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const testUser = "mirvo-wayland";

bool asRoot() {
    return geteuid() == 0;
}

// The uid and gid that clients run as.
std::pair<uid_t, gid_t> clientIds() {
    if (!asRoot())
        return {getuid(), getgid()};
    const passwd* entry = getpwnam(testUser);
    return entry ? std::pair{entry->pw_uid, entry->pw_gid} : std::pair{uid_t(0), gid_t(0)};
}

void giveToClient(const QString& path, mode_t mode) {
    const auto [uid, gid] = clientIds();
    [[maybe_unused]] int ignored = ::chown(QFile::encodeName(path).constData(), uid, gid);
    ::chmod(QFile::encodeName(path).constData(), mode);
}

} // namespace

WaylandSession::WaylandSession(const QString& config) {
    runtime_ = root_.filePath("runtime");
    QDir().mkpath(runtime_);
    QDir().mkpath(root_.filePath("home"));
    QFile file(root_.filePath("sway.conf"));
    if (file.open(QIODevice::WriteOnly))
        file.write(("output HEADLESS-1 resolution 1280x720\n"
                    "default_border none\n" +
                    config + "\n")
                       .toUtf8());
}

WaylandSession::~WaylandSession() {
    portal_.stop();
    portalBackend_.stop();
    compositor_.stop();
    bus_.stop();
}

std::unique_ptr<WaylandSession> WaylandSession::kwin(const QString& desktopEntry,
                                                     const QString& program,
                                                     const QString& keyPresser) {
    auto session = std::make_unique<WaylandSession>(QString());
    session->kwin_ = true;
    const QString applications = session->root_.filePath("home/.local/share/applications");
    QDir().mkpath(applications);
    QFile in(desktopEntry), out(applications + "/" + QFileInfo(desktopEntry).fileName());
    if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly))
        out.write(in.readAll().replace("Exec=mirvo ", "Exec=" + QFile::encodeName(program) + ' '));
    QFile presser(applications + "/mirvo-test-keys.desktop");
    if (presser.open(QIODevice::WriteOnly))
        presser.write("[Desktop Entry]\nType=Application\nName=Mirvo test keys\nExec=" +
                      QFile::encodeName(keyPresser) +
                      "\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    return session;
}

bool WaylandSession::start() {
    if (asRoot() && !getpwnam(testUser) &&
        !Subprocess::run("useradd", {"--create-home", "--shell", "/bin/sh", testUser})) {
        error_ = QStringLiteral("cannot create the user %1 that runs sway").arg(testUser);
        return false;
    }
    giveToClient(root_.path(), 0755);
    giveToUser(root_.filePath("home"));
    giveToClient(root_.filePath("home"), 0755);
    giveToClient(runtime_, 0700);
    if (kwin_)
        return startKWin();
    // sway makes its own sockets: it gets none of its clients' variables.
    return launch(
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

bool WaylandSession::startKWin() {
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
    const QDeadlineTimer busDeadline(5000);
    if (bus_.start(busProgram, bus, {}, {}, root_.filePath("bus.log")))
        while (!QFile::exists(runtime_ + "/bus") && !busDeadline.hasExpired())
            QTest::qWait(10);
    if (!QFile::exists(runtime_ + "/bus")) {
        error_ = QStringLiteral("dbus-daemon did not come up");
        return false;
    }
    return launch(
        "kwin",
        command(copy,
                {"--virtual", "--no-lockscreen", "--socket", "wayland-1", "--width", "1280",
                 "--height", "720"},
                {"QT_QPA_PLATFORM=wayland-org.kde.kwin.qpa", busAddress()}, false),
        [this] { return QFile::exists(runtime_ + "/wayland-1") && run("wayland-info", {}); });
}

QString WaylandSession::busAddress() const {
    return "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus";
}

bool WaylandSession::startPortal() {
    // Started by hand: the bus would start the KDE backend on a screen it does not have.
    const QString kde = "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde";
    if (!spawn(portalBackend_, kde, {}, {"QT_QPA_PLATFORM=offscreen"},
               root_.filePath("portal-kde.log")) ||
        !spawn(portal_, "/usr/libexec/xdg-desktop-portal", {}, {}, root_.filePath("portal.log"))) {
        error_ = QStringLiteral("cannot start the desktop portal");
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && portal_.isRunning() && portalBackend_.isRunning()) {
        QByteArray answer;
        run("dbus-send",
            {"--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.portal.Desktop"},
            &answer);
        if (answer.contains("boolean true"))
            return true;
        QTest::qWait(50);
    }
    error_ = QStringLiteral("the desktop portal did not come up");
    return false;
}

bool WaylandSession::launch(const QString& name, QStringList line,
                            const std::function<bool()>& answers) {
    const QString program = line.takeFirst();
    const QString logPath = root_.filePath(name + ".log");
    if (!compositor_.start(program, line, {}, {}, logPath)) {
        error_ = QStringLiteral("cannot start ") + name;
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && compositor_.isRunning()) {
        if (answers())
            return true;
        QTest::qWait(50);
    }
    QFile log(logPath);
    error_ = name + QStringLiteral(" did not come up: ") +
             (log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll().right(600))
                                            : QStringLiteral("no log"));
    return false;
}

QStringList WaylandSession::environment() const {
    if (kwin_)
        return {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=wayland-1",
                "HOME=" + root_.filePath("home"), "XDG_CURRENT_DESKTOP=KDE", busAddress()};
    return {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=wayland-1", "SWAYSOCK=" + swaySocket_,
            "HOME=" + root_.filePath("home"), "XDG_CURRENT_DESKTOP=sway"};
}

QStringList WaylandSession::command(const QString& program, const QStringList& arguments,
                                    const QStringList& environment, bool client) const {
    QStringList line;
    if (asRoot())
        line << "runuser"
             << "-u" << testUser << "--";
    line << "env"
         << "-u"
         << "DISPLAY"
         << "-u"
         << "WAYLAND_DISPLAY"
         << "XDG_RUNTIME_DIR=" + runtime_ << "HOME=" + root_.filePath("home");
    // A coverage build's profiles: every process writes its own.
    if (const QString profile = qEnvironmentVariable("LLVM_PROFILE_FILE"); !profile.isEmpty())
        line << "LLVM_PROFILE_FILE=" + profile;
    if (client)
        line << this->environment();
    line << environment << program << arguments;
    return line;
}

bool WaylandSession::spawn(Subprocess& process, const QString& program,
                           const QStringList& arguments, const QStringList& environment,
                           const QString& outputPath) const {
    QStringList line = command(program, arguments, environment);
    const QString first = line.takeFirst();
    return process.start(first, line, {}, {}, outputPath);
}

QString WaylandSession::startMirvo(Subprocess& app, const QString& program) const {
    const QString home = root_.filePath("config");
    const QString log = root_.filePath("mirvo.log");
    if (!MirvoProcess::markChecklistCompleted(home))
        return {};
    giveToUser(home);
    return spawn(app, program, {}, {"XDG_CONFIG_HOME=" + home}, log) ? log : QString();
}

bool WaylandSession::run(const QString& program, const QStringList& arguments, QByteArray* output,
                         int timeoutMs) const {
    const QString path = root_.filePath("run.out");
    QFile::remove(path);
    Subprocess process;
    const bool ok = spawn(process, program, arguments, {}, output ? path : QString()) &&
                    process.waitForSuccess(timeoutMs);
    if (output) {
        QFile f(path);
        *output = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    return ok;
}

bool WaylandSession::holdClipboard(Subprocess& owner, const QString& helper,
                                   const std::map<QString, QByteArray>& contents) const {
    QStringList owned;
    for (const auto& [type, bytes] : contents) {
        const QString file = root_.filePath("owned" + QString::number(owned.size()));
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            return false;
        out.close();
        giveToUser(file);
        owned.append(type + "=" + file);
    }
    if (!spawn(owner, helper, QStringList{"wayland-clipboard-owner"} + owned, {},
               root_.filePath("owner.log")))
        return false;
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && owner.isRunning()) {
        QByteArray listed;
        bool all = run("wl-paste", {"--list-types"}, &listed);
        for (const auto& [type, bytes] : contents)
            all = all && listed.split('\n').contains(type.toUtf8());
        if (all)
            return true;
        QTest::qWait(50);
    }
    return false;
}

bool WaylandSession::clipboardHolds(const std::map<QString, QByteArray>& contents) const {
    for (const auto& [type, bytes] : contents) {
        QByteArray now;
        if (!run("wl-paste", {"--no-newline", "--type", type}, &now) || now != bytes)
            return false;
    }
    return true;
}

QString WaylandSession::focusedAppId() const {
    QByteArray tree;
    if (!run("swaymsg", {"-t", "get_tree"}, &tree))
        return QString();
    return WaylandKeyboardEvents::focusedAppIdInSwayTree(tree);
}

void WaylandSession::giveToUser(const QString& path) const {
    if (asRoot())
        Subprocess::run("chown", {"-R", testUser, path});
}

void WaylandSession::share(const QString& path) const {
    ::chmod(QFile::encodeName(QFileInfo(path).path()).constData(), 0755);
    ::chmod(QFile::encodeName(path).constData(), 0666);
}
