#pragma once

#include "common/Log.h"

#include <QStringList>

#include <mutex>

// Collects every line logged while it exists.
class LogCapture final {
public:
    LogCapture() {
        token_ = addLogObserver([this](const QString& line) {
            std::lock_guard lock(mutex_);
            lines_.append(line);
        });
    }
    ~LogCapture() { removeLogObserver(token_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const QString& line) const { return lines().contains(line); }
    int count(const QString& line) const { return int(lines().count(line)); }
    // Lines that begin with `prefix`.
    QStringList startingWith(const QString& prefix) const {
        QStringList out;
        for (const QString& line : lines())
            if (line.startsWith(prefix))
                out.append(line);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    QStringList lines_;
    int token_ = 0;
};
