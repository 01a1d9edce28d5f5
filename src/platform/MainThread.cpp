#include "MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Work travels in an event of its own: posting takes the event queue's lock, which orders the
// work's captures before their use on the main thread in a way ThreadSanitizer can see (the
// reference count of a queued functor lives inside Qt, out of its sight).
class MainThreadWork final : public QEvent {
public:
    static QEvent::Type kind() {
        static const auto type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    explicit MainThreadWork(std::function<void()> work) : QEvent(kind()), work(std::move(work)) {}
    std::function<void()> work;
};

class MainThreadRunner final : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() != MainThreadWork::kind())
            return QObject::event(event);
        static_cast<MainThreadWork*>(event)->work();
        return true;
    }
};

QObject* runnerFor(QCoreApplication* app) {
    static std::mutex mutex;
    static QPointer<MainThreadRunner> runner;
    std::lock_guard lock(mutex);
    if (!runner) {
        runner = new MainThreadRunner;
        runner->moveToThread(app->thread());
        // Goes with the application.
        QObject::connect(app, &QObject::destroyed, runner, &QObject::deleteLater);
    }
    return runner;
}

} // namespace

void runOnMain(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QCoreApplication::postEvent(runnerFor(app), new MainThreadWork(std::move(work)));
}

void WorkItem::perform() {
    if (!cancelled_)
        work_();
}

void scheduleOnMain(std::shared_ptr<WorkItem> item, double seconds) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    const int ms = int(std::lround(std::max(0.0, seconds) * 1000.0));
    auto arm = [item = std::move(item), ms, app] {
        QTimer::singleShot(ms, Qt::PreciseTimer, app, [item] { item->perform(); });
    };
    if (QThread::currentThread() == app->thread())
        arm();
    else
        runOnMain(std::move(arm));
}

namespace {

// One thread that sleeps until the earliest deadline. It lives as long as the process: a pending
// deadline may be due during shutdown, and a joined thread would make exit wait for it.
class BackgroundTimer final {
public:
    using Clock = std::chrono::steady_clock;

    static BackgroundTimer& instance() {
        static auto* timer = new BackgroundTimer; // never destroyed; see above
        return *timer;
    }

    void add(Clock::time_point due, std::shared_ptr<WorkItem> item) {
        {
            std::lock_guard lock(mutex_);
            due_.emplace(due, std::move(item));
        }
        changed_.notify_one();
    }

private:
    BackgroundTimer() {
        std::thread([this] { run(); }).detach();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (due_.empty()) {
                changed_.wait(lock);
                continue;
            }
            const auto next = due_.begin();
            if (Clock::now() < next->first) {
                changed_.wait_until(lock, next->first);
                continue;
            }
            std::shared_ptr<WorkItem> item = std::move(next->second);
            due_.erase(next);
            lock.unlock();
            item->perform();
            item.reset();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<Clock::time_point, std::shared_ptr<WorkItem>> due_;
};

} // namespace

void scheduleOnBackground(std::shared_ptr<WorkItem> item, double seconds) {
    const auto delay = std::chrono::duration<double>(std::max(0.0, seconds));
    BackgroundTimer::instance().add(
        BackgroundTimer::Clock::now() +
            std::chrono::duration_cast<BackgroundTimer::Clock::duration>(delay),
        std::move(item));
}
