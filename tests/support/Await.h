#pragma once

#include "common/MirvoError.h"

#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <exception>
#include <memory>
#include <optional>

// What a coroutine ended with: a value, an exception, or neither before the time limit.
template <typename T> struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;

    // The exception's printed form, or empty.
    QString errorText() const { return error ? describeError(error) : QString(); }
    template <typename E> const E* errorAs() const {
        if (!error)
            return nullptr;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            static thread_local std::optional<E> kept;
            kept.emplace(e);
            return &*kept;
        } catch (...) {
            return nullptr;
        }
    }
};

namespace detail {
template <typename T>
QCoro::Task<> collect(QCoro::Task<T> task, Outcome<T>& outcome, QEventLoop& loop, bool& done) {
    try {
        outcome.value = co_await std::move(task);
    } catch (...) {
        outcome.error = std::current_exception();
    }
    done = true;
    loop.quit();
}
} // namespace detail

// Runs the event loop until `task` finishes or `timeoutMs` pass.
template <typename T> Outcome<T> await(QCoro::Task<T> task, int timeoutMs = 10000) {
    Outcome<T> outcome;
    QEventLoop loop;
    bool done = false;
    detail::collect(std::move(task), outcome, loop, done);
    if (!done) {
        QTimer::singleShot(timeoutMs, &loop, [&] { loop.quit(); });
        loop.exec();
    }
    return outcome;
}

// Waits for the last owner of `held` (a task still running, say) to let it go, so that it
// cannot outlive the objects of the test it uses.
template <typename T> void awaitRelease(const std::weak_ptr<T>& held) {
    if (!QTest::qWaitFor([&] { return held.expired(); }, 5000))
        qWarning("an object outlived its test");
}
