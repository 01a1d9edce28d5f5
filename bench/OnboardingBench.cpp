// The setup checklist's and the Settings window's figures on the real Linux services: a private X
// server and sound server, the installed speech model, a temporary home.
//   checklist_evaluate_ms            one evaluation with everything present, probe excluded (p50)
//   dictation_probe_ms               the dictation probe with the model loaded (p50)
//   dictation_probe_cold_ms          the first probe, the model loading meanwhile
//   checklist_window_first_paint_ms  construct, show and first paint of the window (p50)
//   settings_window_open_ms          the same for the Settings window, its files read (p50)
#include "Figures.h"
#include "XvfbServer.h"
#include "core/DictationHistory.h"
#include "gui/OnboardingView.h"
#include "gui/OnboardingWindow.h"
#include "gui/SettingsWindow.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/desktop/SettingsUserDefaults.h"
#include "support/Await.h"
#include "support/PulseAudioServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace {

// Every answer of the system checker but the dictation probe, which is measured on its own.
class WithoutProbe final : public OnboardingChecker {
public:
    explicit WithoutProbe(std::shared_ptr<SystemOnboardingChecker> inner)
        : inner_(std::move(inner)) {}
    QCoro::Task<bool> speechModelInstalled() override { return inner_->speechModelInstalled(); }
    QCoro::Task<bool> microphoneAvailable() override { return inner_->microphoneAvailable(); }
    QCoro::Task<bool> dictationEnabled() override { co_return true; }
    bool keysReady() override { return inner_->keysReady(); }
    bool fnKeyManuallyConfirmed() override { return inner_->fnKeyManuallyConfirmed(); }
    bool launchAtLoginEnabled() override { return inner_->launchAtLoginEnabled(); }
    bool fnKeyDemoConfirmed() override { return inner_->fnKeyDemoConfirmed(); }

private:
    std::shared_ptr<SystemOnboardingChecker> inner_;
};

// Reports the first paint of a widget.
class FirstPaint final : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

double elapsedMs(const QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    XvfbServer xvfb;
    PulseAudioServer pulse;
    QTemporaryDir home;
    if (!xvfb.start(QStringLiteral("1280x1024")) || !pulse.start() || !home.isValid()) {
        std::fprintf(stderr, "cannot start the X server or the sound server\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QApplication app(argc, argv);

    LinuxPlatform platform;
    auto defaults = std::make_shared<SettingsUserDefaults>(home.filePath("defaults.conf"));
    auto checker = std::make_shared<SystemOnboardingChecker>(
        platform, defaults, platform.makeLoginItem(), platform.speechRecognizers({}));
    checker->setLaunchAtLogin(true);
    checker->setFnKeyManuallyConfirmed(true);
    checker->setFnKeyDemoConfirmed(true);

    QElapsedTimer clock;
    clock.start();
    if (!await(checker->dictationEnabled()).value.value_or(false)) {
        std::fprintf(stderr, "the dictation probe failed\n");
        return 1;
    }
    figure("dictation_probe_cold_ms", elapsedMs(clock), "ms");
    std::vector<double> probes;
    for (int i = 0; i < 20; ++i) {
        clock.restart();
        await(checker->dictationEnabled());
        probes.push_back(elapsedMs(clock));
    }
    figure("dictation_probe_ms", percentile(probes, 0.5), "ms");

    OnboardingDetector detector(std::make_shared<WithoutProbe>(checker));
    std::vector<double> evaluations;
    for (int i = 0; i < 20; ++i) {
        clock.restart();
        const auto state = await(detector.evaluate());
        evaluations.push_back(elapsedMs(clock));
        if (!state.value || !state.value->allGranted()) {
            std::fprintf(stderr, "not everything is present\n");
            return 1;
        }
    }
    figure("checklist_evaluate_ms", percentile(evaluations, 0.5), "ms");

    std::vector<double> paints;
    for (int i = 0; i < 10; ++i) {
        FirstPaint paint;
        clock.restart();
        auto controller = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(std::make_shared<WithoutProbe>(checker)), checker,
            [] {}, [] {});
        controller->show();
        controller->window()->findChild<OnboardingView*>()->installEventFilter(&paint);
        while (!paint.painted && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        paints.push_back(elapsedMs(clock));
        controller->close();
        QCoreApplication::processEvents();
    }
    figure("checklist_window_first_paint_ms", percentile(paints, 0.5), "ms");

    const auto history = std::make_shared<DictationHistory>();
    std::vector<double> opens;
    for (int i = 0; i < 10; ++i) {
        FirstPaint paint;
        clock.restart();
        SettingsWindow window(platform, defaults, history, platform.makeLoginItem(), {});
        // The window itself is covered by its children: any first paint counts.
        QCoreApplication::instance()->installEventFilter(&paint);
        window.show();
        while (!paint.painted && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        opens.push_back(elapsedMs(clock));
        QCoreApplication::instance()->removeEventFilter(&paint);
    }
    figure("settings_window_open_ms", percentile(opens, 0.5), "ms");
    return 0;
}
