#pragma once

#include "core/Onboarding.h"

#include <QCoro/QCoroTimer>
#include <QStringList>
#include <QTimer>

#include <array>
#include <vector>

// A checker whose answers the test sets; every asynchronous answer comes a moment later, so
// that questions asked at the same time would overlap in the record.
class ScriptedOnboardingChecker final : public OnboardingChecker {
public:
    QCoro::Task<bool> speechAuthorized() override { return later("speech", state[0]); }
    QCoro::Task<bool> microphoneAuthorized() override { return later("microphone", state[1]); }
    QCoro::Task<bool> dictationEnabled() override { return later("dictation", state[2]); }
    bool accessibilityTrusted() override { return now("accessibility", state[3]); }
    bool fnKeyManuallyConfirmed() override { return now("fnKey", state[4]); }
    bool launchAtLoginEnabled() override { return now("launchAtLogin", state[5]); }
    bool fnKeyDemoConfirmed() override { return now("fnKeyDemo", state[6]); }
    QCoro::Task<bool> requestSpeechAccess() override { return later("requestSpeech", true); }
    QCoro::Task<bool> requestMicrophoneAccess() override { return later("requestMic", true); }

    void grant(const std::vector<OnboardingStep>& steps) {
        state.fill(false);
        for (OnboardingStep step : steps)
            state[size_t(step)] = true;
    }

    std::array<bool, 7> state{};
    QStringList record;

private:
    QCoro::Task<bool> later(const char* name, bool value) {
        record.append(QStringLiteral("begin ") + name);
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(5);
        co_await timer;
        record.append(QStringLiteral("end ") + name);
        co_return value;
    }
    bool now(const char* name, bool value) {
        record.append(name);
        return value;
    }
};
