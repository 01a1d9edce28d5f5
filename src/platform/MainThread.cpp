#include "MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <mutex>

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
