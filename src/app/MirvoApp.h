#pragma once

#include "UpdateSchedule.h"
#include "common/LaunchOptions.h"
#include "core/DictationCoordinator.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class HTTPSession;
class LoginItemControlling;
class MediaPlayers;
class OtherSounds;
class OnboardingWindowController;
class Pasteboard;
class PlatformServices;
class SettingsWindow;
class Tray;
class UpdateWindowController;
class UserDefaults;

// When the application shell acts, in seconds.
struct ShellTiming {
    double firstUpdateCheck = 5;
    double updateCheckInterval = 24 * 60 * 60;
    // A start failure's tray notification is not repeated within this time.
    double notificationRepeat = 60;
};

// The application delegate: launches Mirvo, keeps its tray menu (TrayMenu.cpp), the setup
// checklist, the dictation coordinator and the update checks. Main thread only.
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
    // The Settings window, made on first use and raised when open.
    void openSettings();
    SettingsWindow* settingsWindow() const { return settings_.get(); }
    void toggleLaunchAtLogin();
    // Between the speech service of the user's settings and this computer alone; remembered.
    void toggleSpeechService();
    // "Paste Last Dictation" and `mirvo --paste-last`.
    void pasteLastDictation();
    // A "Recent Dictations" entry: its text on the clipboard for the user to paste.
    void copyDictation(const QString& text);
    void clearRecentDictations();
    // How an entry shows in the menu: its first 40 characters on one line, as typed.
    static QString menuTitle(const DictationEntry& entry);
    DictationHistory& history() { return *history_; }

    // Update checks, kept by the update schedule (made with the menu).
    void scheduleUpdateChecks() { updates_->start(); }
    QCoro::Task<> runUpdateCheck(bool notifyIfUpToDate) {
        return updates_->check(notifyIfUpToDate);
    }
    void manualUpdateCheck() { updates_->check(true); }
    void openPendingUpdate() { updates_->openPendingUpdate(); }
    void showUpdateWindowIfNeeded() { updates_->showWindowIfNeeded(); }

    DictationCoordinator* coordinator() const { return coordinator_.get(); }
    OnboardingWindowController* onboarding() const { return onboarding_.get(); }
    UpdateWindowController* updateWindow() const { return updates_->window(); }
    const std::optional<UpdateInfo>& pendingUpdate() const { return updates_->pendingUpdate(); }
    QMenu* menu() const { return menu_.get(); }
    const QUrl& manifestURL() const { return manifestURL_; }

    // "https://…", set when Mirvo is built.
    static QString websiteURLString();

private:
    void startCoordinatorNow();
    // The tray's icon, and a tooltip naming the hold key as the desktop names it now.
    void showTray();
    void notifyStartFailure(const QString& message);
    // Pauses the playing media players for a dictation, or lowers every other sound, as the
    // user chose; and undoes it.
    void pauseMedia();
    void resumeMedia();

    PlatformServices& platform_;
    const LaunchOptions options_;
    const std::shared_ptr<UserDefaults> defaults_;
    const Timing timing_;
    std::shared_ptr<DictationCoordinator> coordinator_;
    // Made with the coordinator outside test mode (tests must not pause the machine's players);
    // none where the platform has none.
    std::unique_ptr<MediaPlayers> media_;
    std::unique_ptr<OtherSounds> otherSounds_;
    HotkeyCommands hotkeyCommands_;
    std::unique_ptr<Tray> statusItem_;
    QIcon trayIcon_;
    std::unique_ptr<QMenu> menu_;
    QAction* launchAtLoginItem_ = nullptr;
    QAction* speechEngineItem_ = nullptr;
    QAction* speechServiceItem_ = nullptr;
    QAction* pasteLastItem_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    const std::shared_ptr<DictationHistory> history_;
    std::shared_ptr<Pasteboard> pasteboard_;
    std::shared_ptr<OnboardingWindowController> onboarding_;
    std::unique_ptr<SettingsWindow> settings_;
    std::shared_ptr<UpdateSchedule> updates_;
    const std::shared_ptr<LoginItemControlling> loginItem_;
    QUrl manifestURL_;
    QHash<QString, qint64> notifiedAt_; // message → when, in ms since the epoch
};
