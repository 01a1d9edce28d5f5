#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QLocalServer>

#include <optional>

class QLocalSocket;

struct InstanceLimits {
    // How long a launch keeps trying to reach the Mirvo that holds the lock (its main thread may
    // be busy for a while), and how long a restarted copy waits for its parent to let it go.
    int patienceMs = 10000;
    // A connection that has not sent its line by then is closed.
    int readDeadlineMs = 2000;
    // Connections served at once; more are closed at once.
    int maxClients = 8;
};

// One Mirvo per desktop session. The kernel decides who runs: the process holding flock() on
// $XDG_RUNTIME_DIR/mirvo-<session>.lock for its whole life is Mirvo, and it alone removes and
// listens on the Unix socket beside it, which only the user can reach. A later launch forwards
// its command over that socket. A command is one line of JSON:
//   {"version": 1, "command": "open", "arguments": ["mirvo:…"]}
// or "hold", "release" and "toggle" without arguments,
// answered by {"ok": true} or {"ok": false, "error": "…"}; a version-1 listener refuses commands
// it does not know, so later ones can be added.
class LocalSocketInstance final : public SingleInstance {
    Q_OBJECT
public:
    using Limits = InstanceLimits;

    // `path`: the socket; by default the session's. The lock is the same path ending in ".lock".
    explicit LocalSocketInstance(QString path = QString(), Limits limits = {});
    ~LocalSocketInstance() override;
    Role claim(const QStringList& arguments) override;
    Delivery deliver(const QString& command) override;

    static QString sessionSocketPath();

    struct Command {
        QString name;
        QStringList arguments;
        // Its sender gave up waiting before it was read.
        bool expired = false;
    };
    // The command in one line of another launch, or none when it is not one this version
    // knows.
    static std::optional<Command> parseCommand(const QByteArray& line);

private:
    Delivery forward(const QString& command, const QStringList& arguments,
                     const QDeadlineTimer& deadline);
    Role becomePrimary();
    void serve();
    void serveClient(QLocalSocket* client);

    const QString path_;
    const QString lockPath_;
    const Limits limits_;
    int lockFd_ = -1;
    int clients_ = 0;
    QLocalServer server_;
};
