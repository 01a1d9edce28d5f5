#include "MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// Work from the main thread itself travels as an event of its own. Work from other threads goes
// through a queue of ours and a self-pipe that a socket notifier watches: a Qt event posted from
// another thread races (for ThreadSanitizer, which cannot see Qt's internal locks) with the main
// thread's own posts, while our mutex orders the work's captures before their use visibly.
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
    MainThreadRunner() {
        int ends[2] = {-1, -1};
        if (pipe(ends) != 0)
            return;
        for (int end : ends) {
            fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
            fcntl(end, F_SETFD, FD_CLOEXEC);
        }
        readFd_ = ends[0];
        wakeFd_ = ends[1];
        auto* notifier = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &MainThreadRunner::drain);
    }
    ~MainThreadRunner() override {
        for (int end : {readFd_, wakeFd_})
            if (end >= 0)
                close(end);
    }

    bool event(QEvent* event) override {
        if (event->type() != MainThreadWork::kind())
            return QObject::event(event);
        static_cast<MainThreadWork*>(event)->work();
        return true;
    }

    // Any thread.
    void enqueue(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        if (wakeFd_ < 0)
            return;
        queue_.push_back(std::move(work));
        if (!signalled_) {
            signalled_ = true;
            const char one = 1;
            [[maybe_unused]] ssize_t ignored = write(wakeFd_, &one, 1);
        }
    }

private:
    void drain() {
        std::deque<std::function<void()>> due;
        {
            std::lock_guard lock(mutex_);
            char bytes[16];
            while (read(readFd_, bytes, sizeof bytes) > 0) {
            }
            signalled_ = false;
            due.swap(queue_);
        }
        for (auto& work : due)
            work();
    }

    int readFd_ = -1;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool signalled_ = false;
};

std::mutex runnerMutex;
MainThreadRunner* runner = nullptr;

// Made on the main thread as the application object is, and gone with it.
void installRunner() {
    {
        std::lock_guard lock(runnerMutex);
        runner = new MainThreadRunner;
    }
    QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [] {
        std::lock_guard lock(runnerMutex);
        delete std::exchange(runner, nullptr);
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installRunner)

void runOnMain(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    std::lock_guard lock(runnerMutex);
    if (!runner)
        return;
    if (QThread::currentThread() == app->thread())
        QCoreApplication::postEvent(runner, new MainThreadWork(std::move(work)));
    else
        runner->enqueue(std::move(work));
}

void CancellableWork::perform() {
    if (!cancelled_)
        work_();
}

void scheduleOnMain(std::shared_ptr<CancellableWork> item, double seconds) {
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

    void add(Clock::time_point due, std::shared_ptr<CancellableWork> item) {
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
            std::shared_ptr<CancellableWork> item = std::move(next->second);
            due_.erase(next);
            lock.unlock();
            item->perform();
            item.reset();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<Clock::time_point, std::shared_ptr<CancellableWork>> due_;
};

} // namespace

void scheduleOnBackground(std::shared_ptr<CancellableWork> item, double seconds) {
    const auto delay = std::chrono::duration<double>(std::max(0.0, seconds));
    BackgroundTimer::instance().add(
        BackgroundTimer::Clock::now() +
            std::chrono::duration_cast<BackgroundTimer::Clock::duration>(delay),
        std::move(item));
}
