#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// Rewrites a raw transcript. Never throws: on its own failure it returns the raw text.
class Polisher {
public:
    virtual ~Polisher() = default;
    virtual QCoro::Task<QString> polish(QString text) = 0;
};
