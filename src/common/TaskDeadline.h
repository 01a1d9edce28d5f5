#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <memory>
#include <optional>

// The task's text if it finishes within `seconds`, none otherwise. A task that takes longer
// runs on to its end in the background and its text is dropped: work that cannot be cancelled
// (a request under way) must not hold its caller past a deadline. `owner`, the object whose
// member the task runs, is kept until the task ends. Main thread only.
QCoro::Task<std::optional<QString>> withinSeconds(QCoro::Task<QString> task, double seconds,
                                                  std::shared_ptr<const void> owner);
