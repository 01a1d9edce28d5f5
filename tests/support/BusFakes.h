#pragma once

// The desktop's services on a session bus of the tests' own: the portal, media players.

#include "support/Subprocess.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

#include <chrono>
#include <mutex>

inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The desktop portal as GNOME 49 offers it: the host registry; global shortcuts bound by
// BindShortcuts, which the user may refuse; a remote desktop whose Start the user may refuse,
// with the clipboard. It runs on a thread of its own: Mirvo waits for some answers without
// running its event loop.
class FakePortal final : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override;
    QString introspect(const QString&) const override { return {}; }

    QStringList takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

    const QString session = portalPath + "/session/mirvo";
    std::mutex mutex;
    QStringList calls;
    uint bindAnswer = 0;
    uint startAnswer = 0;
    uint remoteDesktopVersion = 2;
    QVariantMap devices;
    QList<std::pair<int, int>> keys; // keysym, pressed
    std::chrono::steady_clock::time_point lastKeyAt;
    QStringList offered;
    QList<bool> written;
    int pipeEnd = -1; // what Mirvo wrote for the last SelectionWrite
};

// A session bus of the tests' own with the fake portal on it: the process's session bus from
// its first use on, so one for the whole process.
struct PortalBus {
    PortalBus();
    ~PortalBus();
    // A signal of the portal's about Mirvo's session.
    void emitSignal(const QString& interface, const QString& name, const QVariantList& rest);

    QTemporaryDir dir;
    const QString address = "unix:path=" + dir.filePath("bus");
    Subprocess daemon;
    QDBusConnection connection{QString()};
    QThread thread;
    FakePortal portal;
};

// The process's one PortalBus, started on first use.
PortalBus& portalBus();

// A media player on the tests' session bus as MPRIS describes one: its PlaybackStatus, Pause
// and Play. An empty `status` answers every call with an error. Lives on the bus's thread.
class FakeMediaPlayer final : public QDBusVirtualObject {
public:
    FakeMediaPlayer(const QString& name, const QString& status);
    ~FakeMediaPlayer() override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override;
    QString introspect(const QString&) const override { return {}; }

    // "Pause" and "Play", as they came.
    QStringList calls();
    // The player quits: its name leaves the bus.
    void vanish();
    // When the last Pause came.
    std::chrono::steady_clock::time_point pausedAt();

private:
    const QString connectionName_;
    std::mutex mutex_;
    QString status_;
    QStringList calls_;
    std::chrono::steady_clock::time_point pausedAt_;
};
