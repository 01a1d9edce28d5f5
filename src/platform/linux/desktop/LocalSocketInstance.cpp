#include "LocalSocketInstance.h"

#include "common/Log.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int protocolVersion = 1;
constexpr qint64 maxMessageBytes = 64 * 1024;

QByteArray line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString lockPathFor(const QString& socketPath) {
    const QString base = socketPath.endsWith(QLatin1String(".socket"))
                             ? socketPath.chopped(int(qstrlen(".socket")))
                             : socketPath;
    return base + QStringLiteral(".lock");
}

// Why `dir` cannot hold the instance socket: anyone else who can enter it could answer in
// Mirvo's place or read its commands. Empty when it is the user's own, mode 0700.
QString privateFolderProblem(const QString& dir) {
    struct stat info {};
    if (::stat(QFile::encodeName(dir).constData(), &info) != 0)
        return QStringLiteral("%1 cannot be read: %2")
            .arg(dir, QString::fromLocal8Bit(strerror(errno)));
    if (info.st_uid != ::getuid())
        return QStringLiteral("%1 belongs to another user").arg(dir);
    if ((info.st_mode & 0777) != 0700)
        return QStringLiteral("%1 has mode %2, not 0700")
            .arg(dir, QString::number(info.st_mode & 0777, 8).rightJustified(4, QLatin1Char('0')));
    return QString();
}

// Whether the process at the other end of `client` runs as this user.
bool peerIsThisUser(QLocalSocket* client, uid_t* peer) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(client->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return false;
    *peer = credentials.uid;
    return credentials.uid == ::getuid();
}

// Whether this launch is the copy a restart started; the variable is not passed on.
bool takeRestartedFrom() {
    const bool restarted = qEnvironmentVariableIsSet(LocalSocketInstance::restartedFromVariable);
    qunsetenv(LocalSocketInstance::restartedFromVariable);
    return restarted;
}

} // namespace

LocalSocketInstance::LocalSocketInstance(QString path, Limits limits)
    : path_(path.isEmpty() ? sessionSocketPath() : std::move(path)), lockPath_(lockPathFor(path_)),
      limits_(limits) {}

LocalSocketInstance::~LocalSocketInstance() {
    // The socket goes before the lock: the next holder may already listen at the same path.
    server_.close();
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

QString LocalSocketInstance::sessionSocketPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // A compositor's key bindings run `mirvo --hold` with WAYLAND_DISPLAY, and with DISPLAY
    // only when it runs XWayland: the Wayland name is the one both sides always share.
    QString session = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (session.isEmpty()) {
        // ":0", ":0.0" and "unix:0" are one X server: its screen and the local host's name go.
        static const QRegularExpression screen(QStringLiteral("\\.[0-9]+$"));
        session = qEnvironmentVariable("DISPLAY").remove(screen);
        if (session.startsWith(QLatin1String("unix:")))
            session.remove(0, 4);
    }
    for (QChar& c : session)
        if (!c.isLetterOrNumber())
            c = QLatin1Char('_');
    return dir + QStringLiteral("/mirvo-") + (session.isEmpty() ? QStringLiteral("0") : session) +
           QStringLiteral(".socket");
}

SingleInstance::Delivery LocalSocketInstance::forward(const QString& command,
                                                      const QStringList& arguments,
                                                      const QDeadlineTimer& deadline) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(int(qMin<qint64>(deadline.remainingTime(), 1000))))
        return Delivery::noInstance;
    QJsonObject message{{"version", protocolVersion},
                        {"command", command},
                        {"arguments", QJsonArray::fromStringList(arguments)}};
    // Past its deadline the caller has reported failure: the command must not run after all.
    if (!deadline.isForever())
        message.insert(QStringLiteral("until"), double(deadline.deadline()));
    socket.write(line(message));
    socket.waitForBytesWritten(int(deadline.remainingTime()));
    // The kernel took the connection; the running Mirvo answers once its main thread is free.
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.state() == QLocalSocket::ConnectedState)
        socket.waitForReadyRead(int(deadline.remainingTime()));
    if (!socket.canReadLine()) {
        mirvoLog(QStringLiteral("[Mirvo] the running Mirvo did not answer the command \"%1\"")
                     .arg(command),
                 LogLevel::warning);
        return Delivery::unanswered;
    }
    const QJsonObject reply = QJsonDocument::fromJson(socket.readLine()).object();
    if (reply.value(QStringLiteral("ok")).toBool())
        return Delivery::delivered;
    mirvoLog(QStringLiteral("[Mirvo] the running Mirvo did not take the command \"%1\" (%2)")
                 .arg(command, reply.value(QStringLiteral("error")).toString()),
             LogLevel::warning);
    return Delivery::refused;
}

SingleInstance::Delivery LocalSocketInstance::deliver(const QString& command) {
    return forward(command, {}, QDeadlineTimer(limits_.patienceMs));
}

SingleInstance::Role LocalSocketInstance::claim(const QStringList& arguments) {
    const QString dir = QFileInfo(path_).absolutePath();
    if (const QString problem = privateFolderProblem(dir); !problem.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo] no single-instance channel (%1): running alone, and "
                                "another launch will start a second Mirvo")
                     .arg(problem),
                 LogLevel::warning);
        return Role::alone;
    }
    // Not inherited by programs Mirvo starts (a restarted copy among them): they would hold
    // the lock on after Mirvo ends.
    lockFd_ = ::open(QFile::encodeName(lockPath_).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        mirvoLog(QStringLiteral("[Mirvo] cannot open %1: %2 — running alone")
                     .arg(lockPath_, QString::fromLocal8Bit(strerror(errno))),
                 LogLevel::warning);
        return Role::alone;
    }
    const bool restarted = takeRestartedFrom();
    const QDeadlineTimer patience(limits_.patienceMs);
    for (;;) {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
            return becomePrimary();
        // A restarted copy's parent holds the lock until it has quit: forwarding to it would
        // leave no Mirvo at all.
        if (!restarted) {
            switch (forward(openCommand, arguments, patience)) {
            case Delivery::delivered:
                return Role::forwarded;
            case Delivery::refused:
            case Delivery::unanswered:
                return Role::unanswered;
            case Delivery::noInstance: // the holder is not listening yet
                break;
            }
        }
        if (patience.hasExpired())
            break;
        QThread::msleep(restarted ? 20 : 50);
    }
    mirvoLog(QStringLiteral("[Mirvo] another Mirvo holds %1 but cannot be reached at %2")
                 .arg(lockPath_, path_),
             LogLevel::warning);
    return Role::unanswered;
}

SingleInstance::Role LocalSocketInstance::becomePrimary() {
    struct stat info {};
    if (::lstat(QFile::encodeName(path_).constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            mirvoLog(QStringLiteral("[Mirvo] %1 is not a socket; leaving it alone — later "
                                    "launches cannot reach this Mirvo")
                         .arg(path_),
                     LogLevel::warning);
            return Role::alone;
        }
        // Whoever listened there let the lock go: it has ended.
        QLocalServer::removeServer(path_);
        mirvoLog(QStringLiteral("[Mirvo] replaced a stale instance socket at %1").arg(path_));
    }
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path_)) {
        mirvoLog(QStringLiteral("[Mirvo] cannot listen at %1: %2 — later launches cannot reach "
                                "this Mirvo")
                     .arg(path_, server_.errorString()),
                 LogLevel::warning);
        return Role::alone;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] { serve(); });
    return Role::primary;
}

std::optional<LocalSocketInstance::Command>
LocalSocketInstance::parseCommand(const QByteArray& line) {
    const QJsonObject message = QJsonDocument::fromJson(line).object();
    const QString name = message.value(QStringLiteral("command")).toString();
    static const QStringList known = QStringList{openCommand} + launchCommands();
    if (message.value(QStringLiteral("version")).toInt() != protocolVersion ||
        !known.contains(name))
        return std::nullopt;
    Command command{name, {}};
    for (const QJsonValue& v : message.value(QStringLiteral("arguments")).toArray())
        command.arguments.append(v.toString());
    // The same monotonic clock in both processes; an older launch sends no deadline.
    if (const QJsonValue until = message.value(QStringLiteral("until")); until.isDouble())
        command.expired = double(QDeadlineTimer::current().deadline()) > until.toDouble();
    return command;
}

void LocalSocketInstance::serve() {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
        uid_t peer = 0;
        if (!peerIsThisUser(client, &peer)) {
            mirvoLog(
                QStringLiteral("[Mirvo] dropped a connection from another user (uid %1)").arg(peer),
                LogLevel::warning);
            client->abort();
            client->deleteLater();
            continue;
        }
        if (clients_ >= limits_.maxClients) {
            client->abort();
            client->deleteLater();
            continue;
        }
        serveClient(client);
    }
}

void LocalSocketInstance::serveClient(QLocalSocket* client) {
    ++clients_;
    connect(client, &QObject::destroyed, this, [this] { --clients_; });
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    // A client that connects and says nothing must not hold a place for ever.
    QTimer::singleShot(limits_.readDeadlineMs, client, [client] {
        client->abort();
        client->deleteLater();
    });
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
        if (command->expired) {
            mirvoLog(QStringLiteral("[Mirvo] ignored the command \"%1\": it came after its "
                                    "caller had given up")
                         .arg(command->name),
                     LogLevel::warning);
            client->write(line({{"ok", false}, {"error", "too late"}}));
            client->disconnectFromServer();
            return;
        }
        client->write(line({{"ok", true}}));
        client->disconnectFromServer();
        emit commandReceived(command->name, command->arguments);
    });
}
