#pragma once

#include "Subprocess.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <memory>

// A headless compositor for one test, and its clients: sway, or KDE Plasma's KWin in its own
// D-Bus session. Neither will run as root, so a test run as root runs the compositor and every
// client as an unprivileged user (created the first time), with a private runtime folder that
// user owns; otherwise as the current user.
class WaylandSession final {
public:
    // `config`: the lines of sway's configuration, after the session's own.
    explicit WaylandSession(const QString& config);
    // KWin instead, with `desktopEntry` (a .desktop file) among the user's applications naming
    // `program` by its path, as installing writes it: KWin grants the protocols it asks for.
    // `keyPresser` is granted KWin's fake input as well, to press keys as a person.
    static std::unique_ptr<WaylandSession> kwin(const QString& desktopEntry, const QString& program,
                                                const QString& keyPresser);
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // Starts the compositor and waits until it answers; false (with error()) when it cannot.
    bool start();
    // KWin only: starts the desktop portal on the session's bus and waits for it.
    bool startPortal();
    const QString& error() const { return error_; }
    // A folder the session's user may write in.
    QString dir() const { return root_.path(); }
    // What a client needs to reach the compositor (and swaymsg, sway).
    QStringList environment() const;
    // The compositor's socket, for a client in this process (WAYLAND_DISPLAY).
    QByteArray socketPath() const { return QFile::encodeName(runtime_ + "/wayland-1"); }

    // Starts `program` as the session's user, output to `outputPath`.
    bool spawn(Subprocess& process, const QString& program, const QStringList& arguments,
               const QStringList& environment = {}, const QString& outputPath = {}) const;
    // Starts Mirvo (`program`) as the session's user, its checklist done; the path of its log,
    // empty when it could not start.
    QString startMirvo(Subprocess& app, const QString& program) const;
    // Runs `program` to its end as the session's user; true when it exited with status 0.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
             int timeoutMs = 10000) const;
    // Starts `owner`, the test helper at `helper`, holding the clipboard in `contents`' types
    // as an application the user copied from; true once the clipboard lists them all.
    bool holdClipboard(Subprocess& owner, const QString& helper,
                       const std::map<QString, QByteArray>& contents) const;
    // Whether the clipboard gives every type of `contents` byte for byte.
    bool clipboardHolds(const std::map<QString, QByteArray>& contents) const;
    // The app id of the focused window, "" when none.
    QString focusedAppId() const;
    // Lets the session's user reach `path` (a PulseAudio socket made by root, say).
    void share(const QString& path) const;
    // Makes the session's user the owner of `path` and everything in it.
    void giveToUser(const QString& path) const;

private:
    QStringList command(const QString& program, const QStringList& arguments,
                        const QStringList& environment, bool client = true) const;

    bool startKWin();
    QString busAddress() const;
    // Starts the compositor's command `line`, its output in NAME.log, and waits until `answers`.
    bool launch(const QString& name, QStringList line, const std::function<bool()>& answers);

    bool kwin_ = false;
    QTemporaryDir root_;
    QString runtime_;
    QString swaySocket_;
    Subprocess bus_;
    Subprocess compositor_;
    Subprocess portalBackend_;
    Subprocess portal_;
    QString error_;
};
