#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/SignalSource.h"

#include <QObject>
#include <QPointer>

// SIGUSR1/SIGUSR2 through a self-pipe. Linux discards a signal whose disposition is "ignore",
// so start() installs a handler instead; it does only async-signal-safe work (an atomic flag and
// one byte written to a non-blocking pipe). A socket notifier drains the pipe on the main thread
// and queues one call per live source and signal kind. The pipe and the handler are
// process-wide, as signals are; the pipe is never closed, since a signal may come at any moment.
class PosixSignalSource final : public QObject, public SignalSource {
    Q_OBJECT
public:
    PosixSignalSource();
    ~PosixSignalSource() override;
    void start(std::function<void(Signal)> handler) override;

private:
    friend struct SignalDispatch;
    std::function<void(Signal)> handler_;
};

// Makes SIGTERM, SIGINT and SIGHUP run `handler` on the main thread instead of ending the
// process. Throws MirvoError (system) when the signals cannot be observed.
void watchTerminationSignals(std::function<void()> handler);
