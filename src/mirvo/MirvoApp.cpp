#include "MirvoApp.h"

#include "LoginItem.h"
#include "OnboardingWindow.h"
#include "platform/Log.h"
#include "platform/PlatformServices.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QTimer>

#include <unistd.h>

int Mirvo::run(int argc, char** argv, PlatformServices& platform) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mirvo"));
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    // Mirvo has no main window: hiding the HUD must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    MirvoAppDelegate::shared = std::make_shared<MirvoAppDelegate>(
        platform, LaunchOptions::fromEnvironment(QProcessEnvironment::systemEnvironment()),
        platform.makeUserDefaults());
    QTimer::singleShot(0, [] { MirvoAppDelegate::shared->applicationDidFinishLaunching(); });
    const int status = app.exec();
    // The coordinator's components are the application's: they go before it does.
    MirvoAppDelegate::shared.reset();
    return status;
}

MirvoAppDelegate::MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                                   std::shared_ptr<UserDefaults> defaults)
    : platform_(platform), options_(std::move(options)), defaults_(std::move(defaults)) {}

void MirvoAppDelegate::applicationDidFinishLaunching() {
    const bool seen = defaults_->boolForKey(QStringLiteral("ai.mirvo.onboardingCompleted"));
    mirvoLog(QStringLiteral("[Mirvo] launched (pid=%1, test=%2, seen=%3, force=%4)")
                 .arg(QString::number(getpid()), boolText(options_.testMode), boolText(seen),
                      boolText(options_.forceOnboarding)));
    // TODO: the setup checklist, permission checks and update checks come with the application
    // shell; until then a normal launch starts the coordinator directly.
    startCoordinator();
}

void MirvoAppDelegate::startCoordinator() {
    if (coordinator_) {
        mirvoLog(QStringLiteral("[Mirvo] startCoordinator() skipped (already running)"));
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] startCoordinator() entered"));
    coordinator_ = DictationCoordinator::make(platform_, options_, *defaults_);
    refreshPasteRouting();
    coordinator_->start();
    mirvoLog(options_.testMode ? QStringLiteral("[Mirvo] coordinator up (test mode)")
                               : QStringLiteral("[Mirvo] coordinator up"));
}

void MirvoAppDelegate::showOnboarding() {
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    QTimer::singleShot(0, this, [this, weak] {
        if (onboarding_) {
            onboarding_->show();
            refreshPasteRouting();
            return;
        }
        auto checker = std::make_shared<SystemOnboardingChecker>(
            platform_, defaults_, platform_.makeLoginItem(),
            platform_.speechRecognizers(DictationCoordinator::recognitionProfile(*defaults_)));
        onboarding_ = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker,
            [weak] {
                if (auto self = weak.lock())
                    self->startCoordinator();
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->defaults_->setValue(QStringLiteral("ai.mirvo.onboardingCompleted"), true);
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
