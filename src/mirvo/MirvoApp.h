#pragma once

#include "DictationCoordinator.h"
#include "UpdateChecker.h"
#include "platform/LaunchOptions.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QMenu>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class HTTPSession;
class LoginItemControlling;
class OnboardingWindowController;
class PlatformServices;
class Tray;
class UpdateWindowController;
class UserDefaults;

// The process entry.
namespace Mirvo {
// Runs the application on `platform`: the Qt event loop is the one main loop. Returns the
// process's exit status: 0 when it ends normally or handed its command to the running Mirvo,
// 1 without a desktop session.
int run(int argc, char** argv, PlatformServices& platform);
} // namespace Mirvo

// When the application shell acts, in seconds.
struct ShellTiming {
    double firstUpdateCheck = 5;
    double updateCheckInterval = 24 * 60 * 60;
    // A start failure's tray notification is not repeated within this time.
    double notificationRepeat = 60;
};

// The application delegate: launches Mirvo, keeps its tray menu, the setup checklist, the
// dictation coordinator and the update checks. Main thread only.
class MirvoAppDelegate final : public QObject,
                               public std::enable_shared_from_this<MirvoAppDelegate> {
    Q_OBJECT
public:
    using Timing = ShellTiming;

    MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                     std::shared_ptr<UserDefaults> defaults, Timing timing = {});
    ~MirvoAppDelegate() override;

    // The delegate of the running process.
    static inline std::shared_ptr<MirvoAppDelegate> shared;

    void applicationDidFinishLaunching();
    // Creates and starts the coordinator once: at launch, and when the checklist says dictation
    // can work. Outside test mode the permission check and the start run once the current event
    // is handled.
    void startCoordinator();
    // A mirvo: URL the process was given; logged.
    void handleURLEvent(const QString& url);
    // What a second launch forwarded: shows the checklist and handles its URLs.
    void handleCommand(const QString& command, const QStringList& arguments);

    // The setup checklist, made on first use; shown once the current event is handled.
    void showOnboarding();
    // Sends dictations to the checklist's try-it box while the checklist is on screen, and to
    // the focused application otherwise.
    void refreshPasteRouting();

    // The tray menu.
    void installMenuBar();
    void menuWillOpen();
    void openWebsite();
    void openChecklist();
    void toggleLaunchAtLogin();

    // Update checks.
    void scheduleUpdateChecks();
    QCoro::Task<> runUpdateCheck(bool notifyIfUpToDate);
    void manualUpdateCheck();
    void refreshUpdateMenuItem();
    void openPendingUpdate();
    void showUpdateWindowIfNeeded();

    DictationCoordinator* coordinator() const { return coordinator_.get(); }
    OnboardingWindowController* onboarding() const { return onboarding_.get(); }
    UpdateWindowController* updateWindow() const { return updateWindow_.get(); }
    const std::optional<UpdateInfo>& pendingUpdate() const { return pendingUpdate_; }
    QMenu* menu() const { return menu_.get(); }
    const QUrl& manifestURL() const { return manifestURL_; }

    // "https://…", set when Mirvo is built.
    static QString websiteURLString();

private:
    void startCoordinatorNow();
    void notifyStartFailure(const QString& message);
    QAction* menuItem(const QString& identifier) const;

    PlatformServices& platform_;
    const LaunchOptions options_;
    const std::shared_ptr<UserDefaults> defaults_;
    const Timing timing_;
    std::shared_ptr<DictationCoordinator> coordinator_;
    HotkeyCommands hotkeyCommands_;
    std::unique_ptr<Tray> statusItem_;
    std::unique_ptr<QMenu> menu_;
    std::shared_ptr<OnboardingWindowController> onboarding_;
    std::shared_ptr<UpdateWindowController> updateWindow_;
    const std::shared_ptr<LoginItemControlling> loginItem_;
    bool updateWindowShownThisLaunch_ = false;
    std::optional<UpdateInfo> pendingUpdate_;
    std::unique_ptr<QTimer> updateCheckTimer_;
    std::shared_ptr<HTTPSession> http_;
    QUrl manifestURL_;
    QHash<QString, qint64> notifiedAt_; // message → when, in ms since the epoch
};
