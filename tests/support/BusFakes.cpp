#include "BusFakes.h"

#include "platform/linux/wayland/PortalGlobalShortcut.h"

#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <unistd.h>

bool FakePortal::handleMessage(const QDBusMessage& message, const QDBusConnection& bus) {
    std::lock_guard lock(mutex);
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    calls.append(member == "Register" ? "Register " + arguments.value(0).toString() : member);
    if (member == "Get")
        return bus.send(message.createReply(QVariant::fromValue(QDBusVariant(
            arguments.value(0) == "org.freedesktop.portal.RemoteDesktop" ? remoteDesktopVersion
                                                                         : 1u))));
    if (member == "NotifyKeyboardKeysym") {
        keys.append({arguments.value(2).toInt(), arguments.value(3).toInt()});
        lastKeyAt = std::chrono::steady_clock::now();
    }
    if (member == "SelectDevices")
        devices = qdbus_cast<QVariantMap>(arguments.value(1));
    if (member == "SetSelection")
        offered = qdbus_cast<QVariantMap>(arguments.value(1)).value("mime_types").toStringList();
    if (member == "SelectionWriteDone")
        written.append(arguments.value(2).toBool());
    if (member.startsWith("Selection") && member != "SelectionWriteDone") {
        // Mirvo writes into the pipe, or reads the user's words from it.
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        const bool read = member == "SelectionRead";
        if (read && ::write(fds[1], "user's words", 12) != 12)
            return false;
        const int given = fds[read ? 0 : 1];
        bus.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(given))));
        ::close(given);
        if (read)
            ::close(fds[1]);
        else
            pipeEnd = fds[0];
        return true;
    }
    if (!message.signature().contains("a{sv}") || member == "Register" ||
        member == "SetSelection" || member == "RequestClipboard" ||
        member == "NotifyKeyboardKeysym")
        return bus.send(message.createReply());
    // Where the documented interface has it: the sender and the caller's token.
    const QString request =
        portalPath + "/request/" + message.service().mid(1).replace('.', '_') + "/" +
        qdbus_cast<QVariantMap>(arguments.constLast()).value("handle_token").toString();
    bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    QVariantMap results{{"session_handle", session}};
    uint code = 0;
    if (member == "BindShortcuts") {
        auto shortcuts = qdbus_cast<PortalShortcuts>(arguments.value(1));
        for (PortalShortcut& shortcut : shortcuts)
            shortcut.properties = {{"trigger_description", "Ctrl+Alt+D"}};
        results["shortcuts"] = QVariant::fromValue(shortcuts);
        code = bindAnswer;
    }
    if (member == "Start") {
        results = {{"devices", 1u}, {"clipboard_enabled", true}};
        if (remoteDesktopVersion >= 2)
            results["restore_token"] = "token" + QString::number(calls.size());
        code = startAnswer;
    }
    QTimer::singleShot(1, [bus, request, code, results] {
        bus.send(QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response")
                 << code << results);
    });
    return true;
}

PortalBus::PortalBus() {
    daemon.start("dbus-daemon", {"--session", "--nofork", "--address=" + address});
    if (!QTest::qWaitFor([&] { return QFile::exists(dir.filePath("bus")); }, 5000))
        qWarning("the tests' session bus did not start");
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    connection = QDBusConnection::connectToBus(address, "portal");
    connection.registerVirtualObject(portalPath, &portal);
    connection.registerService("org.freedesktop.portal.Desktop");
    // Mirvo waits for some answers without running its event loop.
    thread.start();
    portal.moveToThread(&thread);
}

PortalBus::~PortalBus() {
    thread.quit();
    thread.wait();
}

void PortalBus::emitSignal(const QString& interface, const QString& name,
                           const QVariantList& rest) {
    QDBusMessage message = QDBusMessage::createSignal(portalPath, interface, name);
    message << QVariant::fromValue(QDBusObjectPath(portal.session));
    for (const QVariant& argument : rest)
        message << argument;
    connection.send(message);
}

PortalBus& portalBus() {
    static PortalBus bus;
    return bus;
}

FakeMediaPlayer::FakeMediaPlayer(const QString& name, const QString& status)
    : connectionName_("player " + name), status_(status) {
    PortalBus& bus = portalBus();
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address, connectionName_);
    connection.registerVirtualObject("/org/mpris/MediaPlayer2", this);
    connection.registerService("org.mpris.MediaPlayer2." + name);
    moveToThread(&bus.thread);
}

FakeMediaPlayer::~FakeMediaPlayer() {
    vanish();
}

bool FakeMediaPlayer::handleMessage(const QDBusMessage& message, const QDBusConnection& bus) {
    std::lock_guard lock(mutex_);
    if (status_.isEmpty())
        return bus.send(message.createErrorReply(QDBusError::Failed, "the player is broken"));
    const QString member = message.member();
    if (member == "Get")
        return bus.send(message.createReply(QVariant::fromValue(QDBusVariant(status_))));
    calls_.append(member);
    status_ = member == "Pause" ? "Paused" : "Playing";
    if (member == "Pause")
        pausedAt_ = std::chrono::steady_clock::now();
    return bus.send(message.createReply());
}

QStringList FakeMediaPlayer::calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::chrono::steady_clock::time_point FakeMediaPlayer::pausedAt() {
    std::lock_guard lock(mutex_);
    return pausedAt_;
}

void FakeMediaPlayer::vanish() {
    QDBusConnection(connectionName_).unregisterObject("/org/mpris/MediaPlayer2");
    QDBusConnection::disconnectFromBus(connectionName_);
}
