#pragma once

#include "OnboardingWidgets.h"

#include <functional>
#include <vector>

// What the checklist's buttons do.
struct OnboardingViewCallbacks {
    std::function<void(OnboardingStep)> onOpenSettings;
    std::function<void()> onConfirmFn;
    std::function<void()> onConfirmDemo;
    std::function<void()> onContinue;
    std::function<void()> onRestart;
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
