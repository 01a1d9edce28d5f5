#include "FakeTranscriber.h"

#include <QCoro/QCoroSignal>

// Coroutine bodies stay out of headers: clang 14 cannot emit inline coroutines under ASan.
QCoro::Task<QString> FakeTranscriber::finish() {
    {
        std::lock_guard lock(mutex_);
        finishCalled_ = true;
        finishCalledAt = ++FakeAudioRecorder::sequence;
    }
    if (!result_)
        co_await qCoro(this, &FakeTranscriber::resolved);
    co_return *result_;
}
