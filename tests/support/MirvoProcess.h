#pragma once

#include "Subprocess.h"

#include <QString>
#include <QStringList>

#include <memory>

// The built mirvo binary running in a child process, with its log in `dir`.
class MirvoProcess final {
public:
    MirvoProcess(const QString& dir, const QStringList& environment,
                 const QString& platform = QStringLiteral("xcb"),
                 const QStringList& arguments = {});
    // Mirvo started by `commandLine` (a wrapper that runs it as another user, say), its log in
    // `dir`.
    static std::unique_ptr<MirvoProcess> startedBy(const QString& dir, QStringList commandLine);
    QString log() const;
    int count(const QString& text) const { return int(log().count(text)); }
    // Waits until `text` was logged `times` times; false after `ms` or when mirvo has ended.
    bool waitFor(const QString& text, int times = 1, int ms = 30000);
    void signal(int signo);
    bool isRunning() { return process_.isRunning(); }
    // Waits up to `ms` for mirvo to end; true when it ended with status 0.
    bool exitsCleanly(int ms) { return process_.waitForSuccess(ms); }
    pid_t pid() const { return process_.pid(); }
    // Stores, in the user defaults under `configHome`, that the setup checklist was finished
    // on an earlier launch.
    static bool markChecklistCompleted(const QString& configHome);
    // Runs `mirvo ARGUMENTS` (such as "--hold") to its end; whether it exited with status 0,
    // with what it printed in `output`.
    static bool command(const QString& dir, const QStringList& environment,
                        const QStringList& arguments, QString* output = nullptr) {
        return commandStatus(dir, environment, arguments, output) == 0;
    }
    // The same, with its exit status (-1 when it had to be stopped), and standard input from
    // the file `input`.
    static int commandStatus(const QString& dir, const QStringList& environment,
                             const QStringList& arguments, QString* output = nullptr,
                             const QString& input = {});

private:
    explicit MirvoProcess(const QString& dir) : log_(dir + "/mirvo.log") {}

    QString log_;
    Subprocess process_;
};
