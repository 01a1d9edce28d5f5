#pragma once

#include "platform/PlatformServices.h"
#include "platform/Speech.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <memory>
#include <optional>

class LoginItemControlling;
class PlatformServices;
class UserDefaults;

// The setup checklist's steps, in display order.
enum class OnboardingStep {
    speechRecognition,
    microphone,
    dictationEnabled,
    accessibility,
    fnKeyRemap,
    launchAtLogin,
    fnKeyDemo
};

QString rawValue(OnboardingStep step);
// Where the step's settings are explained, a section of Mirvo's help page `helpPage`; none for
// the try-it step.
std::optional<QUrl> settingsURL(OnboardingStep step, const QUrl& helpPage);

// What the checklist says; the texts name the hold key as the user reads it ("Right Ctrl").
struct OnboardingTexts {
    QString holdKey = QStringLiteral("Right Ctrl");
    // The key step's words: what the desktop lacks for the key and the paste, or, when it lacks
    // nothing, what the user needs to know of them here (%1: the hold key).
    QString keyStep;
    // What the platform's own services are called.
    PlatformTexts platform;

    QString title(OnboardingStep step) const;
    QString description(OnboardingStep step) const;
    QString header() const;
    QString demoPrompt(bool demoReady) const;
};

enum class OnboardingStepStatus { pending, granted };

// "pending" or "granted", as log lines show it.
QString rawValue(OnboardingStepStatus status);

struct OnboardingState {
    OnboardingStepStatus speech = OnboardingStepStatus::pending;
    OnboardingStepStatus microphone = OnboardingStepStatus::pending;
    OnboardingStepStatus dictation = OnboardingStepStatus::pending;
    OnboardingStepStatus accessibility = OnboardingStepStatus::pending;
    OnboardingStepStatus fnKeyRemap = OnboardingStepStatus::pending;
    OnboardingStepStatus launchAtLogin = OnboardingStepStatus::pending;
    OnboardingStepStatus fnKeyDemo = OnboardingStepStatus::pending;

    OnboardingStepStatus& operator[](OnboardingStep step);
    OnboardingStepStatus operator[](OnboardingStep step) const;
    // Every step, the optional ones included.
    bool allGranted() const;
    // Dictation can work: the first five steps.
    bool demoReady() const;
    bool operator==(const OnboardingState&) const = default;
};

// The questions the checklist asks of the system.
class OnboardingChecker {
public:
    virtual ~OnboardingChecker() = default;
    virtual QCoro::Task<bool> speechModelInstalled() = 0;
    virtual QCoro::Task<bool> microphoneAvailable() = 0;
    virtual QCoro::Task<bool> dictationEnabled() = 0;
    virtual bool keysReady() = 0;
    virtual bool fnKeyManuallyConfirmed() = 0;
    virtual bool launchAtLoginEnabled() = 0;
    virtual bool fnKeyDemoConfirmed() = 0;
};

// What a step's button does.
enum class OnboardingAction {
    askAgain, // asks the system again, and opens the help when it still says no
    enableLogin,
    openHelp,
    none
};

// A step: its identity, what the checklist shows of it, how it is checked and what its button
// does. One row per step, in display order, in `onboardingSteps`.
struct OnboardingStepInfo {
    OnboardingStep step;
    const char* rawValue;
    const char* title;  // %1: the hold key as the user reads it
    const char* button; // null: none
    bool prominentButton;
    OnboardingAction action;
    bool manual;             // no system query detects it: the user confirms it
    const char* helpSection; // Mirvo's help page's section on it; null: none
    const char* logName;     // as the checklist's evaluation logs it
    OnboardingStepStatus OnboardingState::*status;
    QCoro::Task<bool> (*check)(OnboardingChecker& checker);
};

extern const std::array<OnboardingStepInfo, 7> onboardingSteps;
const OnboardingStepInfo& infoOf(OnboardingStep step);

// The checklist's questions answered by the platform.
class SystemOnboardingChecker final : public OnboardingChecker {
public:
    static inline const QString fnKeyConfirmedDefaultsKey =
        QStringLiteral("ai.mirvo.fnKeyConfirmed");
    static inline const QString fnKeyDemoConfirmedDefaultsKey =
        QStringLiteral("ai.mirvo.fnKeyDemoConfirmed");

    // `recognizers` are the ones dictation uses, so the probe warms them up;
    // `probeTimeoutSeconds` is how long the dictation probe waits for a verdict.
    SystemOnboardingChecker(PlatformServices& platform, std::shared_ptr<UserDefaults> defaults,
                            std::shared_ptr<LoginItemControlling> loginItem,
                            SpeechRecognizerProvider recognizers, double probeTimeoutSeconds = 2.0);

    QCoro::Task<bool> speechModelInstalled() override;
    QCoro::Task<bool> microphoneAvailable() override;
    QCoro::Task<bool> dictationEnabled() override;
    bool keysReady() override;
    bool fnKeyManuallyConfirmed() override;
    bool launchAtLoginEnabled() override;
    bool fnKeyDemoConfirmed() override;

    bool setLaunchAtLogin(bool enabled);
    void setFnKeyManuallyConfirmed(bool value);
    void setFnKeyDemoConfirmed(bool value);

    LoginItemControlling& loginItem() { return *loginItem_; }
    // The desktop services the checklist's buttons use.
    PlatformServices& platform() { return platform_; }
    // The texts for this desktop and the user's hold key.
    OnboardingTexts texts();

private:
    PlatformServices& platform_;
    const std::shared_ptr<UserDefaults> defaults_;
    const std::shared_ptr<LoginItemControlling> loginItem_;
    const SpeechRecognizerProvider recognizers_;
    const double probeTimeoutSeconds_;
};

// Asks every question once, one after another, and gathers the answers.
class OnboardingDetector final {
public:
    explicit OnboardingDetector(std::shared_ptr<OnboardingChecker> checker)
        : checker_(std::move(checker)) {}
    QCoro::Task<OnboardingState> evaluate();

private:
    const std::shared_ptr<OnboardingChecker> checker_;
};

// What the checklist shows. Each setter tells observers when the value changes.
class OnboardingViewModel final : public QObject {
    Q_OBJECT
public:
    const OnboardingState& state() const { return state_; }
    bool isRefreshing() const { return isRefreshing_; }
    const QString& demoText() const { return demoText_; }
    // As of the last refresh: the hold key as the user reads it (the keys a desktop's shortcut
    // got, once it answered), and the key step's words (OnboardingTexts::keyStep).
    const QString& holdKey() const { return holdKey_; }
    const QString& keyStep() const { return keyStep_; }

    void setState(const OnboardingState& state);
    void setIsRefreshing(bool refreshing);
    void setDemoText(const QString& text);
    void setKeyTexts(const QString& holdKey, const QString& keyStep);

signals:
    void stateChanged();
    void isRefreshingChanged();
    void demoTextChanged();
    void keyTextsChanged();

private:
    OnboardingState state_;
    bool isRefreshing_ = false;
    QString demoText_;
    QString holdKey_;
    QString keyStep_;
};
