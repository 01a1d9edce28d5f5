#include "MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cmath>

void runOnMain(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
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
