#pragma once

#include "mirvo/Polisher.h"

#include <QStringList>

// Answers every polish() with `answer`, recording the inputs.
class FakePolisher final : public Polisher {
public:
    explicit FakePolisher(QString answer) : answer(std::move(answer)) {}
    QCoro::Task<QString> polish(QString text) override;
    QString answer;
    QStringList inputs;
};
