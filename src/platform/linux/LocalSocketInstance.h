#pragma once

#include "LinuxOnly.h"

#include "platform/SingleInstance.h"

#include <QLocalServer>

#include <optional>

// One Mirvo per desktop session through a Unix socket that only the user can reach, in
// $XDG_RUNTIME_DIR and named after the display. A command is one line of JSON:
//   {"version": 1, "command": "open", "arguments": ["mirvo:…"]}
// or "hold", "release" and "toggle" without arguments,
// answered by {"ok": true} or {"ok": false, "error": "…"}; a version-1 listener refuses commands
// it does not know, so later ones can be added.
class LocalSocketInstance final : public SingleInstance {
    Q_OBJECT
public:
    // `path`: the socket; by default the session's.
    explicit LocalSocketInstance(QString path = QString());
    Role claim(const QStringList& arguments) override;
    Delivery deliver(const QString& command) override;

    static QString sessionSocketPath();

    struct Command {
        QString name;
        QStringList arguments;
    };
    // The command in one line of another launch, or none when it is not one this version
    // knows.
    static std::optional<Command> parseCommand(const QByteArray& line);
    // A copy of Mirvo started by a restart names its parent here and waits for it to end.
    static inline const char* restartedFromVariable = "MIRVO_RESTARTED_FROM";

private:
    Delivery forward(const QString& command, const QStringList& arguments);
    void serve();

    const QString path_;
    QLocalServer server_;
};
