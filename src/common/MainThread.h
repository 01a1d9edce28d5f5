#pragma once

#include <atomic>
#include <functional>
#include <memory>

// Queues `work` on the main thread's event loop; it runs after the current event is handled.
// Callable from any thread. Dropped when no application object exists.
void runOnMain(std::function<void()> work);

// Work that can be cancelled before it runs.
class CancellableWork final {
public:
    explicit CancellableWork(std::function<void()> work) : work_(std::move(work)) {}
    void cancel() { cancelled_ = true; }
    // Runs the work unless it was cancelled.
    void perform();

private:
    std::function<void()> work_;
    std::atomic<bool> cancelled_{false};
};

// Runs `item` on the main thread `seconds` from now, unless it is cancelled first.
void scheduleOnMain(std::shared_ptr<CancellableWork> item, double seconds);

// Runs `item` on a background thread `seconds` from now, unless it is cancelled first: for
// deadlines that a busy main thread must not delay. Items due together run one after another.
void scheduleOnBackground(std::shared_ptr<CancellableWork> item, double seconds);
