#include "MirvoApp.h"

#include "DictationAssembly.h"
#include "ServiceCommands.h"
#include "common/Log.h"
#include "core/SettingKeys.h"
#include "gui/OnboardingWindow.h"
#include "gui/SettingsWindow.h"
#include "platform/LoginItem.h"
#include "platform/MediaPlayers.h"
#include "platform/PlatformServices.h"
#include "platform/SingleInstance.h"
#include "platform/Tray.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QDateTime>

#ifndef MIRVO_WEBSITE
#define MIRVO_WEBSITE ""
#endif

namespace {

const QString onboardingCompletedKey = QStringLiteral("ai.mirvo.onboardingCompleted");
// The manifest address tests may point at a loopback server; anything else is refused.
std::optional<QUrl> loopbackManifest(const QString& value) {
    const QUrl url(value, QUrl::StrictMode);
    if (url.scheme() == QLatin1String("http") && url.host() == QLatin1String("127.0.0.1") &&
        url.port() > 0)
        return url;
    return std::nullopt;
}

} // namespace

MirvoAppDelegate::MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                                   std::shared_ptr<UserDefaults> defaults, Timing timing)
    : platform_(platform), options_(std::move(options)), defaults_(std::move(defaults)),
      timing_(timing),
      history_(std::make_shared<DictationHistory>(
          DictationHistoryFile(DictationHistoryFile::defaultPath(platform.stateDirectory())),
          defaults_->boolForKey(SettingKeys::keepHistory))),
      loginItem_(platform.makeLoginItem()) {
    manifestURL_ = UpdateChecker::defaultManifestURL();
    if (options_.manifestURL) {
        if (const auto loopback = loopbackManifest(*options_.manifestURL))
            manifestURL_ = *loopback;
        else
            mirvoLog(QStringLiteral("[Mirvo] MIRVO_UPDATE_MANIFEST_URL ignored: only "
                                    "http://127.0.0.1:PORT/… is accepted"),
                     LogLevel::warning);
    }
}

MirvoAppDelegate::~MirvoAppDelegate() = default;

QString MirvoAppDelegate::websiteURLString() {
    return QStringLiteral(MIRVO_WEBSITE);
}

void MirvoAppDelegate::applicationDidFinishLaunching() {
    const bool test = options_.testMode;
    const bool force = options_.forceOnboarding;
    const bool seen = defaults_->boolForKey(onboardingCompletedKey);
    installMenuBar();
    mirvoLog(QStringLiteral("[Mirvo] launched (pid=%1, test=%2, seen=%3, force=%4)")
                 .arg(QString::number(QCoreApplication::applicationPid()), boolText(test),
                      boolText(seen), boolText(force)));
    if (test) {
        startCoordinator();
    } else {
        showOnboarding(); // at every launch
        if (seen && !force)
            startCoordinator();
        scheduleUpdateChecks();
    }
    for (const QString& argument : options_.arguments)
        handleURLEvent(argument);
}

void MirvoAppDelegate::handleURLEvent(const QString& url) {
    if (const std::optional<QUrl> parsed = launchURL(url))
        mirvoLog(QStringLiteral("[Mirvo] handleURLEvent: ") + parsed->toString());
}

void MirvoAppDelegate::handleCommand(const QString& command, const QStringList& arguments) {
    if (const std::optional<HotkeyCommand> hotkey = hotkeyCommandNamed(command)) {
        if (!coordinator_)
            mirvoLog(QStringLiteral("[Mirvo] --%1 ignored: dictation has not started yet (finish "
                                    "the setup checklist)")
                         .arg(command));
        emit hotkeyCommands_.issued(*hotkey);
        return;
    }
    if (command == SingleInstance::pasteLastCommand) {
        pasteLastDictation();
        return;
    }
    if (command == SingleInstance::settingsCommand) {
        openSettings();
        return;
    }
    if (command != SingleInstance::openCommand)
        return;
    mirvoLog(QStringLiteral("[Mirvo] another launch forwarded its command line"));
    // Without a tray, launching Mirvo again is how the checklist is reached. In test mode it
    // would take every later dictation into its try-it box.
    if (!options_.testMode)
        showOnboarding();
    for (const QString& argument : arguments)
        handleURLEvent(argument);
}

void MirvoAppDelegate::startCoordinator() {
    if (coordinator_) {
        mirvoLog(QStringLiteral("[Mirvo] startCoordinator() skipped (already running)"));
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] startCoordinator() entered"));
    if (options_.testMode) {
        startCoordinatorNow();
        mirvoLog(QStringLiteral("[Mirvo] coordinator up (test mode)"));
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    QTimer::singleShot(0, this, [weak] {
        const auto self = weak.lock();
        if (!self)
            return;
        // Two calls can pass the first check before either task runs: only one builds.
        if (self->coordinator_) {
            mirvoLog(QStringLiteral("[Mirvo] startCoordinator() skipped (already running)"));
            return;
        }
        mirvoLog(QStringLiteral("[Mirvo] checking permissions"));
        mirvoLog(QStringLiteral("[Mirvo] speech model installed=") +
                 boolText(self->platform_.speechModelInstalled()));
        const DesktopCapabilities& capabilities = self->platform_.capabilities();
        mirvoLog(QStringLiteral("[Mirvo] keys may be watched and posted=") +
                 boolText(capabilities.keysReady()));
        if (!capabilities.keysReady()) {
            mirvoLog(QStringLiteral("[Mirvo] keys cannot be watched and posted — reshowing the "
                                    "setup checklist"));
            self->defaults_->setValue(onboardingCompletedKey, false);
            // Without a screen there is no checklist to fix it from, and showing it would only
            // come back here: say what is missing, once.
            if (!capabilities.screen) {
                mirvoLog(QStringLiteral("[Mirvo] no screen to show the setup checklist on, and "
                                        "dictation cannot start: ") +
                             capabilities.missing,
                         LogLevel::error);
                self->platform_.notifyUser(capabilities.missing);
                return;
            }
            self->showOnboarding();
            return;
        }
        self->startCoordinatorNow();
        mirvoLog(QStringLiteral("[Mirvo] coordinator up"));
    });
}

void MirvoAppDelegate::startCoordinatorNow() {
    coordinator_ =
        makeDictationCoordinator(platform_, options_, *defaults_, &hotkeyCommands_, history_);
    // A desktop's shortcut gets its keys after the tray is shown.
    connect(&coordinator_->hotkey(), &HotkeyMonitor::holdKeysNamed, this,
            &MirvoAppDelegate::showTray);
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    if (!options_.testMode) {
        media_ = platform_.makeMediaPlayers();
        otherSounds_ = platform_.makeOtherSounds();
    }
    coordinator_->onRecordingStart = [weak] {
        if (auto self = weak.lock())
            self->pauseMedia();
    };
    coordinator_->onRecordingComplete = [weak] {
        if (auto self = weak.lock()) {
            self->resumeMedia();
            self->showUpdateWindowIfNeeded();
        }
    };
    coordinator_->onStartFailure = [weak](const QString& message) {
        if (auto self = weak.lock())
            self->notifyStartFailure(message);
    };
    refreshPasteRouting();
    coordinator_->start();
}

void MirvoAppDelegate::pauseMedia() {
    const QString choice = defaults_->stringForKey(SettingKeys::mediaWhileDictating);
    if (choice == QLatin1String("lower")) {
        if (otherSounds_)
            otherSounds_->lower(0.2);
    } else if (media_ && choice != QLatin1String("leave")) {
        media_->pausePlaying();
    }
}

void MirvoAppDelegate::resumeMedia() {
    if (media_)
        media_->resumePaused();
    if (otherSounds_)
        otherSounds_->restore();
}

void MirvoAppDelegate::notifyStartFailure(const QString& message) {
    // The HUD has room for two words; the tray shows the whole message, not over and over.
    if (!statusItem_ || !statusItem_->isAvailable())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto last = notifiedAt_.constFind(message);
    if (last != notifiedAt_.cend() && now - *last < qint64(timing_.notificationRepeat * 1000))
        return;
    notifiedAt_.insert(message, now);
    statusItem_->showMessage(QStringLiteral("Mirvo"), message);
}

void MirvoAppDelegate::showOnboarding() {
    // An invisible checklist would take every dictation into its try-it box.
    // Without a screen there is no checklist to finish: dictation starts when it can.
    if (!platform_.capabilities().screen) {
        mirvoLog(QStringLiteral("[Mirvo] no screen to show the setup checklist on"));
        // A finished checklist had the launch start dictation already.
        if (!defaults_->boolForKey(onboardingCompletedKey))
            startCoordinator();
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    QTimer::singleShot(0, this, [this, weak] {
        if (onboarding_) {
            onboarding_->show();
            refreshPasteRouting();
            return;
        }
        auto checker = std::make_shared<SystemOnboardingChecker>(
            platform_, defaults_, platform_.makeLoginItem(),
            platform_.speechRecognizers(recognitionSettings(*defaults_)));
        onboarding_ = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker,
            [weak] {
                if (auto self = weak.lock())
                    self->startCoordinator();
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->defaults_->setValue(onboardingCompletedKey, true);
                    self->onboarding_.reset();
                    self->refreshPasteRouting();
                    self->startCoordinator();
                }
            });
        onboarding_->onScreenChanged = [weak] {
            if (auto self = weak.lock())
                self->refreshPasteRouting();
        };
        onboarding_->show();
        refreshPasteRouting();
    });
}

void MirvoAppDelegate::openSettings() {
    if (!platform_.capabilities().screen) {
        mirvoLog(QStringLiteral("[Mirvo] no screen to show the Settings window on"));
        return;
    }
    if (!settings_) {
        SettingsActions actions;
        actions.holdKeyChanged = [this] {
            if (coordinator_)
                coordinator_->hotkey().watchChosenKey();
            showTray();
        };
        actions.servicesChanged = [this] {
            if (coordinator_ && coordinator_->reloadServices)
                coordinator_->reloadServices();
        };
        actions.testService = [this] { return testSpeechService(platform_); };
        settings_ = std::make_unique<SettingsWindow>(platform_, defaults_, history_, loginItem_,
                                                     std::move(actions));
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void MirvoAppDelegate::refreshPasteRouting() {
    if (!coordinator_)
        return;
    // Only while the user can see the box: text sent to a closed checklist would be lost.
    if (!onboarding_ || !onboarding_->isOnScreen()) {
        coordinator_->alternatePasteHandler = nullptr;
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    coordinator_->alternatePasteHandler = [weak](const QString& text) {
        if (auto self = weak.lock(); self && self->onboarding_)
            self->onboarding_->setDemoText(text);
    };
}
