#include "ClipboardReads.h"

#include <cstring>
#include <poll.h>
#include <unistd.h>

QByteArray readPipe(int fd, const QString& type, SnapshotBudget& budget) {
    QByteArray bytes;
    QString problem;
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        const int waited = poll(&ready, 1, int(budget.deadline.remainingTime()));
        if (waited <= 0) {
            problem = waited == 0
                          ? QStringLiteral("the snapshot took over %1 ms").arg(snapshotReadMs)
                          : QString::fromLocal8Bit(std::strerror(errno));
            if (waited < 0 && errno == EINTR)
                continue;
            break;
        }
        char chunk[65536];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            problem = QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        bytes.append(chunk, got);
        budget.bytesLeft -= got;
        if (budget.bytesLeft < 0) {
            problem = QStringLiteral("the snapshot is over %1 bytes").arg(snapshotReadBytes);
            break;
        }
    }
    ::close(fd);
    if (!problem.isEmpty())
        clipboardReadFailed(QStringLiteral("reading %1 from the clipboard: %2").arg(type, problem));
    return bytes;
}

void writeAllAndClose(int fd, const QByteArray& bytes, int ms) {
    const char* next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        pollfd ready = {fd, POLLOUT, 0};
        if (poll(&ready, 1, ms) <= 0)
            break;
        const ssize_t put = ::write(fd, next, size_t(left));
        if (put < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (put <= 0)
            break;
        next += put;
        left -= put;
    }
    ::close(fd);
}
