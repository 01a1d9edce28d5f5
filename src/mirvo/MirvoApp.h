#pragma once

#include "DictationCoordinator.h"
#include "platform/LaunchOptions.h"

#include <QObject>

#include <memory>

class PlatformServices;
class UserDefaults;

// The process entry.
namespace Mirvo {
// Runs the application on `platform`: the Qt event loop is the one main loop. Returns the
// process's exit status when the loop ends.
int run(int argc, char** argv, PlatformServices& platform);
} // namespace Mirvo

// The application delegate: brings the dictation coordinator up.
class MirvoAppDelegate final : public QObject {
    Q_OBJECT
public:
    MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                     std::shared_ptr<UserDefaults> defaults);

    // The delegate of the running process.
    static inline std::shared_ptr<MirvoAppDelegate> shared;

    void applicationDidFinishLaunching();
    DictationCoordinator* coordinator() const { return coordinator_.get(); }

private:
    void startCoordinator();

    PlatformServices& platform_;
    const LaunchOptions options_;
    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<DictationCoordinator> coordinator_;
};
