#pragma once

#include "core/Onboarding.h"

#include <QCoro/QCoroTask>
#include <QSize>

#include <functional>
#include <memory>

class QObject;
class QTimer;
class QWidget;

// How often the checklist re-checks, and how long after a step's action.
struct OnboardingTiming {
    double pollInterval = 1.2;
    double delayedRefresh = 1.5;
};

// Owns the "Welcome to Mirvo" window and keeps the checklist current: it re-evaluates every
// step on a timer and whenever Mirvo becomes active, turns button presses into system requests,
// tells its owner once that dictation can work, and when the user is done. Main thread only.
class OnboardingWindowController final
    : public std::enable_shared_from_this<OnboardingWindowController> {
public:
    using Timing = OnboardingTiming;
    static constexpr int minimumWidth = 540;
    static constexpr int minimumHeight = 420;

    OnboardingWindowController(std::shared_ptr<OnboardingDetector> detector,
                               std::shared_ptr<SystemOnboardingChecker> systemChecker,
                               std::function<void()> onPermissionsReady,
                               std::function<void()> onComplete, Timing timing = {});
    ~OnboardingWindowController();

    void show();
    void close();
    // While the window exists, on screen or closed with its close button.
    bool isVisible() const { return window_ != nullptr; }
    // While the window is shown: the user has not closed it.
    bool isOnScreen() const;
    void setDemoText(const QString& text);

    // Told whenever the user closes the window or it is shown again.
    std::function<void()> onScreenChanged;

    OnboardingViewModel& model() { return model_; }
    QWidget* window() const;
    bool isAutoRefreshing() const { return pollTimer_ != nullptr; }

    // The window's size for content of `fitting` size, no taller than `screen` (when given):
    // on a short screen the checklist scrolls rather than reaching past the bottom.
    static QSize windowSize(QSize fitting, QSize screen = {});
    // Starts a new copy of Mirvo and ends this one 0.2 s later.
    static void restartApp();

private:
    class Window;

    void refresh();
    static QCoro::Task<> refreshing(std::shared_ptr<OnboardingWindowController> self);
    void startAutoRefresh();
    void stopAutoRefresh();
    void openSettings(OnboardingStep step);
    // The section of the help page that says how to fix `step`.
    void openHelp(OnboardingStep step);
    void confirmFn();
    void confirmDemo();
    void refreshLater();
    void bringToFront();
    void forgetWindow();
    void screenChanged();

    std::unique_ptr<Window> window_;
    const std::shared_ptr<OnboardingDetector> detector_;
    const std::shared_ptr<SystemOnboardingChecker> systemChecker_;
    OnboardingViewModel model_;
    const std::function<void()> onComplete_;
    std::unique_ptr<QTimer> pollTimer_;
    std::unique_ptr<QObject> activationObserver_;
    const std::function<void()> onPermissionsReady_;
    bool permissionsReadyFired_ = false;
    const Timing timing_;
};
