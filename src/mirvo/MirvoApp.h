#pragma once

#include "DictationCoordinator.h"
#include "platform/LaunchOptions.h"

#include <QObject>

#include <memory>

class OnboardingWindowController;
class PlatformServices;
class UserDefaults;

// The process entry.
namespace Mirvo {
// Runs the application on `platform`: the Qt event loop is the one main loop. Returns the
// process's exit status when the loop ends.
int run(int argc, char** argv, PlatformServices& platform);
} // namespace Mirvo

// The application delegate: brings the dictation coordinator up and keeps the setup checklist.
class MirvoAppDelegate final : public QObject,
                               public std::enable_shared_from_this<MirvoAppDelegate> {
    Q_OBJECT
public:
    MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                     std::shared_ptr<UserDefaults> defaults);

    // The delegate of the running process.
    static inline std::shared_ptr<MirvoAppDelegate> shared;

    void applicationDidFinishLaunching();
    DictationCoordinator* coordinator() const { return coordinator_.get(); }

    // Shows the setup checklist, made on first use, once the current event is handled.
    void showOnboarding();
    // Sends dictations to the checklist's try-it box while the checklist is on screen, and to
    // the focused application otherwise.
    void refreshPasteRouting();
    OnboardingWindowController* onboarding() const { return onboarding_.get(); }

private:
    void startCoordinator();

    PlatformServices& platform_;
    const LaunchOptions options_;
    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<DictationCoordinator> coordinator_;
    std::shared_ptr<OnboardingWindowController> onboarding_;
};
