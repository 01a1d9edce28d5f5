#pragma once

#include "core/Onboarding.h"

#include <QCoro/QCoroTask>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// What the checklist's buttons do.
struct OnboardingViewCallbacks {
    std::function<void(OnboardingStep)> onOpenSettings;
    std::function<void()> onConfirmFn;
    std::function<void()> onConfirmDemo;
    std::function<void()> onContinue;
    std::function<void()> onRestart;
};

// The round mark left of each step: a green check when granted, an empty ring when pending.
class OnboardingStatusBadge final : public QWidget {
    Q_OBJECT
public:
    explicit OnboardingStatusBadge(QWidget* parent = nullptr);
    void setStatus(OnboardingStepStatus status);
    OnboardingStepStatus status() const { return status_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    OnboardingStepStatus status_ = OnboardingStepStatus::pending;
};

// The rounded card every step is drawn on.
class OnboardingCard : public QWidget {
public:
    explicit OnboardingCard(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override;
};

// One step other than the try-it step: badge, title, description and, while pending, the
// buttons that act on it.
class OnboardingRow final : public OnboardingCard {
public:
    OnboardingRow(OnboardingStep step, const OnboardingTexts& texts, std::function<void()> onAction,
                  std::function<void()> onConfirmManual, std::function<void()> onRestart,
                  QWidget* parent = nullptr);
    void setStatus(OnboardingStepStatus status);
    void setTexts(const OnboardingTexts& texts);

private:
    const OnboardingStep step_;
    OnboardingStatusBadge* badge_;
    QLabel* title_;
    QLabel* description_;
    QWidget* buttons_;
};

// The try-it step: a text box that the first dictations land in.
class FnDemoRow final : public OnboardingCard {
public:
    FnDemoRow(OnboardingViewModel& model, const OnboardingTexts& texts,
              std::function<void()> onConfirm, QWidget* parent = nullptr);
    void setStatus(OnboardingStepStatus status);
    void setDemoReady(bool ready);
    void setTexts(const OnboardingTexts& texts);
    QLineEdit* textBox() const { return textBox_; }

private:
    void textChanged();

    OnboardingViewModel& model_;
    OnboardingTexts texts_;
    bool ready_ = false;
    QLabel* title_;
    QLabel* description_;
    const std::function<void()> onConfirm_;
    OnboardingStepStatus status_ = OnboardingStepStatus::pending;
    OnboardingStatusBadge* badge_;
    QWidget* box_;
    QLineEdit* textBox_;
    QPushButton* markDone_;
};

// The whole checklist: header, one row per step, and the button that finishes it. Everything
// shown follows the model.
class OnboardingView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int width = 540;

    OnboardingView(OnboardingViewModel& model, const OnboardingTexts& texts,
                   OnboardingViewCallbacks callbacks, QWidget* parent = nullptr);
    QPushButton* continueButton() const { return continueButton_; }
    FnDemoRow* demoRow() const { return demoRow_; }
    // The height the content needs at its fixed width.
    QSize fittingSize() const;

private:
    void apply();

    OnboardingViewModel& model_;
    OnboardingTexts texts_;
    QLabel* header_ = nullptr;
    const OnboardingViewCallbacks callbacks_;
    std::vector<std::pair<OnboardingStep, OnboardingRow*>> rows_;
    FnDemoRow* demoRow_ = nullptr;
    QPushButton* continueButton_ = nullptr;
};

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
