#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "common/MirvoError.h"
#include "platform/Pasteboard.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <functional>
#include <optional>

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

// The types plain text goes by on Wayland and X11.
inline const QStringList textTypes = {QStringLiteral("text/plain;charset=utf-8"),
                                      QStringLiteral("text/plain"), QStringLiteral("UTF8_STRING"),
                                      QStringLiteral("STRING"), QStringLiteral("TEXT")};

// An item of the selection as it was listed; its data is read when asked for.
class LazyPasteboardItem final : public PasteboardItem {
public:
    LazyPasteboardItem(QStringList types,
                       std::function<std::optional<QByteArray>(const QString&)> read)
        : types_(std::move(types)), read_(std::move(read)) {}
    QStringList types() const override { return types_; }
    std::optional<QByteArray> data(const QString& type) const override {
        return types_.contains(type) ? read_(type) : std::nullopt;
    }

private:
    const QStringList types_;
    const std::function<std::optional<QByteArray>(const QString&)> read_;
};

// Reads `fd` to its end within what is left of `budget`, and closes it; throws when the owner
// of `type` did not finish in time or sent too much.
QByteArray readPipe(int fd, const QString& type, SnapshotBudget& budget);

// Writes all of `bytes` to `fd` unless its reader stops reading for `ms`; closes `fd`.
void writeAllAndClose(int fd, const QByteArray& bytes, int ms);
