#include "MirvoApp.h"

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
    coordinator_->start();
    mirvoLog(options_.testMode ? QStringLiteral("[Mirvo] coordinator up (test mode)")
                               : QStringLiteral("[Mirvo] coordinator up"));
}
