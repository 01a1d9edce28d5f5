#include "MirvoApp.h"

#include "platform/Log.h"
#include "platform/linux/SettingsUserDefaults.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <unistd.h>

namespace {

bool isSet(const char* name) {
    return qgetenv(name) == "1";
}

QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

void Mirvo::run(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mirvo"));
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    // Mirvo has no main window: hiding the HUD must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    MirvoAppDelegate::shared =
        std::make_shared<MirvoAppDelegate>(std::make_shared<SettingsUserDefaults>());
    QTimer::singleShot(0, [] { MirvoAppDelegate::shared->applicationDidFinishLaunching(); });
    app.exec();
    std::exit(0);
}

MirvoAppDelegate::MirvoAppDelegate(std::shared_ptr<UserDefaults> defaults)
    : defaults_(std::move(defaults)) {}

void MirvoAppDelegate::applicationDidFinishLaunching() {
    const bool test = isSet("MIRVO_TEST_MODE");
    const bool force = isSet("MIRVO_FORCE_ONBOARDING");
    const bool seen = defaults_->boolForKey(QStringLiteral("ai.mirvo.onboardingCompleted"));
    mirvoLog(QStringLiteral("[Mirvo] launched (pid=%1, test=%2, seen=%3, force=%4)")
                 .arg(getpid())
                 .arg(boolText(test), boolText(seen), boolText(force)));
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
    coordinator_ = DictationCoordinator::make();
    coordinator_->start();
    mirvoLog(isSet("MIRVO_TEST_MODE") ? QStringLiteral("[Mirvo] coordinator up (test mode)")
                                      : QStringLiteral("[Mirvo] coordinator up"));
}
