#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "common/MirvoError.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <cerrno>

// A snapshot read of one type is bounded: a large image or a slow source must neither block
// the paste for long nor fill the memory.
inline constexpr int snapshotReadMs = 5000;
inline constexpr qint64 snapshotReadBytes = 64 * 1024 * 1024;

// What all the reads of one snapshot may take together, however many types the owner offers.
struct SnapshotBudget {
    QDeadlineTimer deadline{snapshotReadMs};
    qint64 bytesLeft = snapshotReadBytes;
};

// An image in another encoding than PNG, which the owner offers too: Mirvo restores the PNG
// and leaves the owner's dozen conversions unread.
inline bool isRedundantImage(const QString& type, const QStringList& allTypes) {
    return type.startsWith(QLatin1String("image/")) && type != QLatin1String("image/png") &&
           allTypes.contains(QStringLiteral("image/png"));
}

// A read of the clipboard that failed: thrown, so that a restore never replaces what could not
// be read with nothing.
[[noreturn]] inline void clipboardReadFailed(const QString& problem) {
    throw MirvoError(MirvoError::Kind::system, problem, EIO);
}
