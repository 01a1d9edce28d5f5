#pragma once

#include "platform/linux/LinuxOnly.h"

#include "common/PlatformError.h"

#include <QString>

#include <cerrno>

// A snapshot read of one type is bounded: a large image or a slow source must neither block
// the paste for long nor fill the memory.
inline constexpr int snapshotReadMs = 5000;
inline constexpr qint64 snapshotReadBytes = 64 * 1024 * 1024;

// A read of the clipboard that failed: thrown, so that a restore never replaces what could not
// be read with nothing.
[[noreturn]] inline void clipboardReadFailed(const QString& problem) {
    throw PlatformError(QString::fromLatin1(PlatformErrors::posixDomain), EIO, problem);
}
