#pragma once

#include <QStringList>

#include <mutex>

// The calls made to a test's doubles, in order, from any thread. Doubles of one test share one
// log, so the test can check what happened before what.
class CallLog {
public:
    void record(const QString& call) {
        std::lock_guard lock(mutex_);
        calls_.append(call);
    }
    QStringList calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int count(const QString& call) const { return int(calls().count(call)); }
    // Whether `first` was recorded, and before any `second`.
    bool before(const QString& first, const QString& second) const {
        const QStringList all = calls();
        const qsizetype a = all.indexOf(first), b = all.indexOf(second);
        return a >= 0 && (b < 0 || a < b);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    mutable std::mutex mutex_;
    QStringList calls_;
};
