#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// Child processes for tests, started with posix_spawn. (QProcess clones the process in a way
// ThreadSanitizer cannot follow, so helpers that run under it use this instead.)
class Subprocess final {
public:
    Subprocess() = default;
    ~Subprocess(); // kills the child if it still runs
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Starts `program` (looked up on PATH). Standard input comes from `stdinPath`, output and
    // errors go to `outputPath` (both /dev/null when empty). `environment` entries
    // ("NAME=value") are added to this process's environment, replacing its own of that name.
    bool start(const QString& program, const QStringList& arguments,
               const QStringList& environment = {}, const QString& stdinPath = {},
               const QString& outputPath = {});
    bool isRunning();
    // Waits up to `timeoutMs`; true when the child exited with status 0.
    bool waitForSuccess(int timeoutMs) { return waitForExit(timeoutMs) == 0; }
    // Waits up to `timeoutMs`; the child's exit status, -1 when it did not exit by itself.
    int waitForExit(int timeoutMs);
    // SIGTERM, then SIGKILL if it has not gone after a second.
    void stop();
    pid_t pid() const { return pid_; }

    // Runs a program to its end; true when it exited with status 0 within the time.
    static bool run(const QString& program, const QStringList& arguments, int timeoutMs = 10000,
                    const QString& outputPath = {});

private:
    bool reap(int timeoutMs);

    pid_t pid_ = -1;
    int status_ = -1;
};
