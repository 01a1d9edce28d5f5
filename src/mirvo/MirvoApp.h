#pragma once

#include "DictationCoordinator.h"

#include <QObject>

#include <memory>

class UserDefaults;

// The process entry.
namespace Mirvo {
// Runs the application: the Qt event loop is the one main loop. Exits the process at its end.
[[noreturn]] void run(int argc, char** argv);
} // namespace Mirvo

// The application delegate: brings the dictation coordinator up.
class MirvoAppDelegate final : public QObject {
    Q_OBJECT
public:
    explicit MirvoAppDelegate(std::shared_ptr<UserDefaults> defaults);

    // The delegate of the running process.
    static inline std::shared_ptr<MirvoAppDelegate> shared;

    void applicationDidFinishLaunching();
    DictationCoordinator* coordinator() const { return coordinator_.get(); }

private:
    void startCoordinator();

    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<DictationCoordinator> coordinator_;
};
