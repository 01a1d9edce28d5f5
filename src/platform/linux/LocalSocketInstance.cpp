#include "LocalSocketInstance.h"

#include "platform/Log.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

namespace {

constexpr int protocolVersion = 1;
constexpr qint64 maxMessageBytes = 64 * 1024;

QByteArray line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// A restarted Mirvo lets its parent finish quitting first (at most 2 s).
void waitForRestartedParent() {
    const QByteArray parent = qgetenv(LocalSocketInstance::restartedFromVariable);
    qunsetenv(LocalSocketInstance::restartedFromVariable);
    bool ok = false;
    const pid_t pid = pid_t(parent.toLong(&ok));
    if (!ok || pid <= 1)
        return;
    const QDeadlineTimer deadline(2000);
    while (!deadline.hasExpired() && (::kill(pid, 0) == 0 || errno != ESRCH))
        QThread::msleep(20);
}

} // namespace

LocalSocketInstance::LocalSocketInstance(QString path)
    : path_(path.isEmpty() ? sessionSocketPath() : std::move(path)) {}

QString LocalSocketInstance::sessionSocketPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // A compositor's key bindings run `mirvo --hold` with WAYLAND_DISPLAY, and with DISPLAY
    // only when it runs XWayland: the Wayland name is the one both sides always share.
    QString session = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (session.isEmpty())
        session = qEnvironmentVariable("DISPLAY");
    for (QChar& c : session)
        if (!c.isLetterOrNumber())
            c = QLatin1Char('_');
    return dir + QStringLiteral("/mirvo-") + (session.isEmpty() ? QStringLiteral("0") : session) +
           QStringLiteral(".socket");
}

SingleInstance::Delivery LocalSocketInstance::forward(const QString& command,
                                                      const QStringList& arguments) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(1000))
        return Delivery::noInstance;
    socket.write(line({{"version", protocolVersion},
                       {"command", command},
                       {"arguments", QJsonArray::fromStringList(arguments)}}));
    socket.waitForBytesWritten(1000);
    const QDeadlineTimer deadline(3000);
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.state() == QLocalSocket::ConnectedState)
        socket.waitForReadyRead(int(deadline.remainingTime()));
    const QJsonObject reply = QJsonDocument::fromJson(socket.readLine()).object();
    if (reply.value(QStringLiteral("ok")).toBool())
        return Delivery::delivered;
    mirvoLog(QStringLiteral("[Mirvo] the running Mirvo did not take the command \"%1\" (%2)")
                 .arg(command,
                      reply.value(QStringLiteral("error")).toString(QStringLiteral("no answer"))),
             LogLevel::warning);
    return Delivery::refused;
}

SingleInstance::Delivery LocalSocketInstance::deliver(const QString& command) {
    return forward(command, {});
}

SingleInstance::Role LocalSocketInstance::claim(const QStringList& arguments) {
    waitForRestartedParent();
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (forward(openCommand, arguments)) {
        case Delivery::delivered:
            return Role::forwarded;
        case Delivery::refused:
            return Role::alone;
        case Delivery::noInstance:
            break;
        }
        struct stat info {};
        if (::lstat(QFile::encodeName(path_).constData(), &info) == 0) {
            if (!S_ISSOCK(info.st_mode)) {
                mirvoLog(QStringLiteral("[Mirvo] %1 is not a socket; leaving it alone — another "
                                        "launch will start a second Mirvo")
                             .arg(path_),
                         LogLevel::warning);
                return Role::alone;
            }
            // Nobody answers on it: what a Mirvo that crashed leaves behind.
            QLocalServer::removeServer(path_);
            mirvoLog(QStringLiteral("[Mirvo] replaced a stale instance socket at %1").arg(path_));
        }
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        if (server_.listen(path_)) {
            connect(&server_, &QLocalServer::newConnection, this, [this] { serve(); });
            return Role::primary;
        }
        // Another launch took the name in the meantime: forward to it instead.
        if (server_.serverError() == QAbstractSocket::AddressInUseError)
            continue;
        break;
    }
    mirvoLog(QStringLiteral("[Mirvo] cannot listen at %1: %2 — another launch will start a "
                            "second Mirvo")
                 .arg(path_, server_.errorString()),
             LogLevel::warning);
    return Role::alone;
}

std::optional<LocalSocketInstance::Command>
LocalSocketInstance::parseCommand(const QByteArray& line) {
    const QJsonObject message = QJsonDocument::fromJson(line).object();
    const QString name = message.value(QStringLiteral("command")).toString();
    static const QStringList known = {openCommand, holdCommand, releaseCommand, toggleCommand};
    if (message.value(QStringLiteral("version")).toInt() != protocolVersion ||
        !known.contains(name))
        return std::nullopt;
    Command command{name, {}};
    for (const QJsonValue& v : message.value(QStringLiteral("arguments")).toArray())
        command.arguments.append(v.toString());
    return command;
}

void LocalSocketInstance::serve() {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (!client->canReadLine()) {
                if (client->bytesAvailable() > maxMessageBytes)
                    client->abort();
                return;
            }
            const std::optional<Command> command = parseCommand(client->readLine(maxMessageBytes));
            if (!command) {
                mirvoLog(QStringLiteral("[Mirvo] ignored a message from another launch that is "
                                        "no command of this version"),
                         LogLevel::warning);
                client->write(line({{"ok", false}, {"error", "unknown command"}}));
                client->disconnectFromServer();
                return;
            }
            client->write(line({{"ok", true}}));
            client->disconnectFromServer();
            emit commandReceived(command->name, command->arguments);
        });
    }
}
