#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/KeyboardEvents.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>

class QDBusMessage;

// The paste chord on GNOME, where no program may post keys but through the desktop portal's
// RemoteDesktop: a keyboard-only session, kept for Mirvo's whole run. The user allows it once,
// when the checklist's key step asks; the portal's restore token, kept in Mirvo's state folder
// (the user's alone) and replaced after every start since a token is good once, lets later runs
// start without asking. A portal before version 2 of the interface remembers nothing: its
// dialog comes at the first dictation of each run. Where the portal offers it, the session
// also carries the clipboard (PortalClipboard), which GNOME gives no other program that is not
// focused. Main thread only.
class PortalRemoteDesktop final : public QObject, public KeyboardEvents {
    Q_OBJECT
public:
    // None without a session bus, or with no portal on it to start. `consentPath`: where the
    // user's leave is remembered (the restore token, or an empty file where the portal keeps
    // none).
    static std::shared_ptr<PortalRemoteDesktop> create(const QString& consentPath);

    // Whether the user allowed the session before: a dictation starts it.
    bool allowed() const;
    // Why the last start failed ("declined by the user"); empty when none did.
    const QString& refusal() const { return refusal_; }
    // Starts the session now, with the desktop's dialog where it needs the user's leave; whether
    // the keyboard was granted. A start already under way is waited for, not repeated.
    QCoro::Task<bool> start();
    bool started() const { return !sessionPath_.isEmpty(); }
    // Whether the session carries the clipboard.
    bool clipboardEnabled() const { return started() && clipboard_; }
    const QString& sessionPath() const { return sessionPath_; }
    QDBusConnection bus() const { return bus_; }

    // A dictation begins: a session the user allowed before starts now, ready by the release.
    void prepare() override;
    bool canPostPasteChord() override { return started(); }
    // Ctrl+V: GNOME does not tell which window has the focus, so a terminal gets it too.
    void postPasteChord() override;

signals:
    // The session started or ended.
    void changed();

private slots:
    void onClosed(const QDBusMessage& message);

private:
    explicit PortalRemoteDesktop(const QDBusConnection& bus, QString consentPath);
    QCoro::Task<bool> starting();
    void remember(const QString& token);
    void forget(const QString& why);
    void sendKeysym(int keysym, bool pressed);

    QDBusConnection bus_;
    const QString consentPath_;
    QString sessionPath_;
    QString refusal_;
    bool clipboard_ = false;
    bool busy_ = false;
    int requests_ = 0;
};
