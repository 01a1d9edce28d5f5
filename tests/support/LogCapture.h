#pragma once

#include "common/Log.h"
#include "doubles/CallLog.h"

// Collects every line logged while it exists.
class LogCapture final : public CallLog {
public:
    LogCapture() {
        token_ = addLogObserver([this](const QString& line) { record(line); });
    }
    ~LogCapture() { removeLogObserver(token_); }

    QStringList lines() const { return calls(); }
    bool contains(const QString& line) const { return calls().contains(line); }
    // Lines that begin with `prefix`.
    QStringList startingWith(const QString& prefix) const {
        QStringList out;
        for (const QString& line : calls())
            if (line.startsWith(prefix))
                out.append(line);
        return out;
    }

private:
    int token_ = 0;
};
