#include "Onboarding.h"

#include "HotkeyMonitor.h"
#include "common/Log.h"
#include "common/MainThread.h"
#include "platform/LoginItem.h"
#include "platform/PlatformServices.h"
#include "platform/UserDefaults.h"

#include <coroutine>
#include <mutex>

namespace {

// A question the system answers at once, as a step's check.
QCoro::Task<bool> answered(bool value) {
    co_return value;
}

OnboardingStepStatus statusOf(bool granted) {
    return granted ? OnboardingStepStatus::granted : OnboardingStepStatus::pending;
}

// Waits for the first verdict of an empty recognition: an error from the recognizer or, after
// the timeout, none. Whichever thread comes first resumes the caller, once, on the main thread.
class DictationProbe {
public:
    DictationProbe(std::shared_ptr<SpeechRecognizer> recognizer, double timeoutSeconds)
        : recognizer_(std::move(recognizer)), timeoutSeconds_(timeoutSeconds),
          state_(std::make_shared<State>()) {}

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> caller) {
        state_->caller = caller;
        auto request = std::make_shared<RecognitionRequest>();
        // No audio will ever come; saying so before the task starts lets the recognizer see an
        // empty request at once instead of preparing to decode.
        request->endAudio();
        std::weak_ptr<State> weakState = state_;
        std::shared_ptr<RecognitionTask> task;
        try {
            task = recognizer_->recognitionTask(
                request, [weakState](const std::optional<RecognitionResult>&,
                                     const std::optional<MirvoError>& error) {
                    const auto state = weakState.lock();
                    if (!state || !error)
                        return;
                    std::lock_guard lock(state->lock);
                    state->resumeLocked(!error->is(MirvoError::Kind::speechModelUnusable));
                });
        } catch (const MirvoError& e) {
            std::lock_guard lock(state_->lock);
            state_->resumeLocked(!e.is(MirvoError::Kind::speechModelUnusable));
            return;
        }
        {
            std::lock_guard lock(state_->lock);
            state_->task = task;
        }
        const std::shared_ptr<State> state = state_;
        scheduleOnBackground(std::make_shared<CancellableWork>([state] {
                                 std::lock_guard lock(state->lock);
                                 if (state->resumed)
                                     return;
                                 if (state->task)
                                     state->task->cancel();
                                 state->resumeLocked(true);
                             }),
                             timeoutSeconds_);
    }

    bool await_resume() const { return state_->result; }

private:
    struct State {
        std::mutex lock;
        bool resumed = false;
        bool result = true;
        std::shared_ptr<RecognitionTask> task;
        std::coroutine_handle<> caller;

        void resumeLocked(bool value) {
            if (resumed)
                return;
            resumed = true;
            result = value;
            task.reset();
            runOnMain([caller = caller] { caller.resume(); });
        }
    };

    const std::shared_ptr<SpeechRecognizer> recognizer_;
    const double timeoutSeconds_;
    const std::shared_ptr<State> state_;
};

} // namespace

using Step = OnboardingStep;
using Action = OnboardingAction;

const std::array<OnboardingStepInfo, 7> onboardingSteps = {{
    {Step::speechRecognition, "speechRecognition", "Allow Speech Recognition", "Allow", false,
     Action::askAgain, false, "speech-model", "speech", &OnboardingState::speech,
     [](OnboardingChecker& c) { return c.speechModelInstalled(); }},
    {Step::microphone, "microphone", "Allow Microphone Access", "Allow", false, Action::askAgain,
     false, "microphone", "microphone", &OnboardingState::microphone,
     [](OnboardingChecker& c) { return c.microphoneAvailable(); }},
    {Step::dictationEnabled, "dictationEnabled", "Install the Speech Model", "Open Settings", false,
     Action::openHelp, false, "speech-model", "dictation", &OnboardingState::dictation,
     [](OnboardingChecker& c) { return c.dictationEnabled(); }},
    {Step::accessibility, "accessibility", "Let Mirvo Watch the Key and Paste", "Open Settings",
     false, Action::askAgain, false, "x11", "accessibility", &OnboardingState::accessibility,
     [](OnboardingChecker& c) { return answered(c.keysReady()); }},
    {Step::fnKeyRemap, "fnKeyRemap", "Free up the %1 key", "Open Settings", false, Action::openHelp,
     true, "hold-key", "fnKey", &OnboardingState::fnKeyRemap,
     [](OnboardingChecker& c) { return answered(c.fnKeyManuallyConfirmed()); }},
    {Step::launchAtLogin, "launchAtLogin", "Launch Mirvo at Login", "Enable", true,
     Action::enableLogin, false, "autostart", "launchAtLogin", &OnboardingState::launchAtLogin,
     [](OnboardingChecker& c) { return answered(c.launchAtLoginEnabled()); }},
    {Step::fnKeyDemo, "fnKeyDemo", "Try pressing %1", nullptr, false, Action::none, true, nullptr,
     "fnKeyDemo", &OnboardingState::fnKeyDemo,
     [](OnboardingChecker& c) { return answered(c.fnKeyDemoConfirmed()); }},
}};

const OnboardingStepInfo& infoOf(OnboardingStep step) {
    return onboardingSteps[size_t(step)];
}

QString rawValue(OnboardingStep step) {
    return QString::fromLatin1(infoOf(step).rawValue);
}

std::optional<QUrl> settingsURL(OnboardingStep step, const QUrl& helpPage) {
    const char* section = infoOf(step).helpSection;
    if (!section)
        return std::nullopt;
    QUrl url = helpPage;
    url.setFragment(QString::fromLatin1(section));
    return url;
}

QString OnboardingTexts::title(OnboardingStep step) const {
    return QString::fromUtf8(infoOf(step).title).replace(QLatin1String("%1"), holdKey);
}

QString OnboardingTexts::description(OnboardingStep step) const {
    switch (step) {
    case OnboardingStep::speechRecognition:
        return platform.speechEngine;
    case OnboardingStep::microphone:
        return QStringLiteral("Mirvo needs microphone access to hear what you dictate.");
    case OnboardingStep::dictationEnabled:
        return platform.speechModel;
    case OnboardingStep::accessibility:
        return QString(keyStep).replace(QLatin1String("%1"), holdKey);
    case OnboardingStep::fnKeyRemap:
        return QStringLiteral("Make sure no desktop shortcut uses %1, or choose another hold "
                              "key (Open Settings shows how), so Mirvo can use it.")
            .arg(holdKey);
    case OnboardingStep::launchAtLogin:
        return QStringLiteral("So you can just log in and hold %1. Mirvo will start "
                              "automatically in the background. You can turn this off later "
                              "from the tray menu.")
            .arg(holdKey);
    case OnboardingStep::fnKeyDemo:
        return QStringLiteral("Click into the box below, then hold %1, say a word or two, and "
                              "release. Your transcript should appear in the box.")
            .arg(holdKey);
    }
    return QString();
}

QString OnboardingTexts::header() const {
    return QStringLiteral("Hold %1, speak, release. Transcript goes where your cursor is. Before "
                          "we can do that, Mirvo needs a few one-time permissions.")
        .arg(holdKey);
}

QString OnboardingTexts::demoPrompt(bool demoReady) const {
    return demoReady ? QStringLiteral("Click here, hold %1, speak, and release %1").arg(holdKey)
                     : QStringLiteral("Complete the steps above first.");
}

QString rawValue(OnboardingStepStatus status) {
    return status == OnboardingStepStatus::granted ? QStringLiteral("granted")
                                                   : QStringLiteral("pending");
}

OnboardingStepStatus& OnboardingState::operator[](OnboardingStep step) {
    return this->*infoOf(step).status;
}

OnboardingStepStatus OnboardingState::operator[](OnboardingStep step) const {
    return this->*infoOf(step).status;
}

bool OnboardingState::allGranted() const {
    return demoReady() && launchAtLogin == OnboardingStepStatus::granted &&
           fnKeyDemo == OnboardingStepStatus::granted;
}

bool OnboardingState::demoReady() const {
    for (OnboardingStepStatus s : {speech, microphone, dictation, accessibility, fnKeyRemap})
        if (s != OnboardingStepStatus::granted)
            return false;
    return true;
}

SystemOnboardingChecker::SystemOnboardingChecker(PlatformServices& platform,
                                                 std::shared_ptr<UserDefaults> defaults,
                                                 std::shared_ptr<LoginItemControlling> loginItem,
                                                 SpeechRecognizerProvider recognizers,
                                                 double probeTimeoutSeconds)
    : platform_(platform), defaults_(std::move(defaults)), loginItem_(std::move(loginItem)),
      recognizers_(std::move(recognizers)), probeTimeoutSeconds_(probeTimeoutSeconds) {}

QCoro::Task<bool> SystemOnboardingChecker::speechModelInstalled() {
    co_return platform_.speechModelInstalled();
}

QCoro::Task<bool> SystemOnboardingChecker::microphoneAvailable() {
    co_return co_await platform_.microphoneAvailable();
}

QCoro::Task<bool> SystemOnboardingChecker::dictationEnabled() {
    const std::shared_ptr<SpeechRecognizer> recognizer =
        recognizers_ ? recognizers_(QStringLiteral("en-US")) : nullptr;
    if (!recognizer || !recognizer->isAvailable())
        co_return false;
    co_return co_await DictationProbe(recognizer, probeTimeoutSeconds_);
}

bool SystemOnboardingChecker::keysReady() {
    const bool ready = platform_.capabilities().keysReady();
    mirvoLog(QStringLiteral("[Mirvo/Checklist] keys may be watched and posted: ") +
             boolText(ready));
    return ready;
}

bool SystemOnboardingChecker::fnKeyManuallyConfirmed() {
    return defaults_->boolForKey(fnKeyConfirmedDefaultsKey);
}

bool SystemOnboardingChecker::launchAtLoginEnabled() {
    return loginItem_->isEnabled();
}

bool SystemOnboardingChecker::fnKeyDemoConfirmed() {
    return defaults_->boolForKey(fnKeyDemoConfirmedDefaultsKey);
}

bool SystemOnboardingChecker::setLaunchAtLogin(bool enabled) {
    return loginItem_->setEnabled(enabled);
}

void SystemOnboardingChecker::setFnKeyManuallyConfirmed(bool value) {
    defaults_->setValue(fnKeyConfirmedDefaultsKey, value);
}

void SystemOnboardingChecker::setFnKeyDemoConfirmed(bool value) {
    defaults_->setValue(fnKeyDemoConfirmedDefaultsKey, value);
}

OnboardingTexts SystemOnboardingChecker::texts() {
    const DesktopCapabilities& capabilities = platform_.capabilities();
    return {platform_.holdKeyDisplayName(holdKey(*defaults_, platform_)),
            capabilities.keysReady() ? capabilities.keyInstructions : capabilities.missing,
            platform_.texts()};
}

QCoro::Task<OnboardingState> OnboardingDetector::evaluate() {
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] evaluate() start"));
    OnboardingState state;
    for (const OnboardingStepInfo& info : onboardingSteps) {
        const bool granted = co_await info.check(*checker_);
        mirvoLog(QStringLiteral("[Mirvo/Onboarding] ") + QLatin1String(info.logName) +
                 QLatin1Char('=') + boolText(granted));
        state.*info.status = statusOf(granted);
    }
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] evaluate() end, allGranted=") +
             boolText(state.allGranted()));
    co_return state;
}

void OnboardingViewModel::setState(const OnboardingState& state) {
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged();
}

void OnboardingViewModel::setIsRefreshing(bool refreshing) {
    if (refreshing == isRefreshing_)
        return;
    isRefreshing_ = refreshing;
    emit isRefreshingChanged();
}

void OnboardingViewModel::setDemoText(const QString& text) {
    if (text == demoText_)
        return;
    demoText_ = text;
    emit demoTextChanged();
}

void OnboardingViewModel::setKeyTexts(const QString& holdKey, const QString& keyStep) {
    if (holdKey == holdKey_ && keyStep == keyStep_)
        return;
    holdKey_ = holdKey;
    keyStep_ = keyStep;
    emit keyTextsChanged();
}
