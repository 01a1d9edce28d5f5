#include "TaskDeadline.h"

#include <QCoro/QCoroSignal>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

namespace {

class Race final : public QObject {
    Q_OBJECT
public:
    std::optional<QString> result;
    std::shared_ptr<const void> owner;
signals:
    void finished();
};

// Detached: keeps the task and the race alive until the task is done.
QCoro::Task<> runToEnd(QCoro::Task<QString> task, std::shared_ptr<Race> race) {
    race->result = co_await std::move(task);
    emit race->finished();
}

} // namespace

QCoro::Task<std::optional<QString>> withinSeconds(QCoro::Task<QString> task, double seconds,
                                                  std::shared_ptr<const void> owner) {
    auto race = std::make_shared<Race>();
    race->owner = std::move(owner);
    runToEnd(std::move(task), race);
    if (race->result)
        co_return race->result;
    // A coarse timer may fire 5 % late: 300 ms of a six-second ceiling.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, race.get(), &Race::finished);
    deadline.start(std::chrono::milliseconds(qint64(seconds * 1000)));
    co_await qCoro(race.get(), &Race::finished);
    co_return race->result;
}

#include "TaskDeadline.moc"
