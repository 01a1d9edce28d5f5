#include "FakeComponents.h"

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

// Coroutine bodies stay out of headers: clang 14 cannot emit inline coroutines under ASan.
QCoro::Task<QString> FakeTranscriber::finish() {
    {
        std::lock_guard lock(mutex_);
        finishCalled_ = true;
    }
    log_->record(name_ + QStringLiteral(".finish"));
    if (!result_)
        co_await qCoro(this, &FakeTranscriber::resolved);
    co_return *result_;
}

QCoro::Task<QString> FakePolisher::polish(QString text) {
    inputs.append(text);
    if (delayMs > 0)
        co_await QCoro::sleepFor(std::chrono::milliseconds(delayMs));
    co_return answer;
}
