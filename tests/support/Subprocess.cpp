#include "Subprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

Subprocess::~Subprocess() {
    stop();
}

bool Subprocess::start(const QString& program, const QStringList& arguments,
                       const QStringList& environment, const QString& stdinPath,
                       const QString& outputPath) {
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString& a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    // The given variables replace inherited ones of the same name: with both, the child's
    // getenv() would see the inherited one first.
    std::vector<QByteArray> envStorage;
    for (const QString& e : environment)
        envStorage.push_back(e.toLocal8Bit());
    for (char** e = environ; *e; ++e) {
        const QByteArray inherited(*e);
        const QByteArray name = inherited.left(inherited.indexOf('=') + 1);
        if (std::none_of(envStorage.begin(), envStorage.end(),
                         [&](const QByteArray& given) { return given.startsWith(name); }))
            envStorage.push_back(inherited);
    }
    std::vector<char*> envp;
    for (QByteArray& s : envStorage)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    const QByteArray in = stdinPath.isEmpty() ? QByteArray("/dev/null") : stdinPath.toLocal8Bit();
    const QByteArray out =
        outputPath.isEmpty() ? QByteArray("/dev/null") : outputPath.toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.constData(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        pid_ = -1;
    status_ = -1;
    return pid_ > 0;
}

bool Subprocess::reap(int timeoutMs) {
    if (pid_ <= 0)
        return true;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_ || r < 0) {
            pid_ = -1;
            return true;
        }
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(5);
    }
}

bool Subprocess::isRunning() {
    return pid_ > 0 && !reap(0);
}

int Subprocess::waitForExit(int timeoutMs) {
    if (!reap(timeoutMs)) {
        stop();
        return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void Subprocess::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!reap(1000)) {
        kill(pid_, SIGKILL);
        reap(5000);
    }
}

bool Subprocess::run(const QString& program, const QStringList& arguments, int timeoutMs,
                     const QString& outputPath) {
    Subprocess p;
    return p.start(program, arguments, {}, {}, outputPath) && p.waitForSuccess(timeoutMs);
}
