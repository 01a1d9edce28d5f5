#pragma once

#include "core/Onboarding.h"

#include <QFont>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

// The checklist's widgets: the steps' cards and what they are drawn with.

// A label of the checklist's type: `pixelSize`, `weight`, wrapped plain text, dimmed when
// `secondary`.
QLabel* onboardingLabel(const QString& text, int pixelSize, QFont::Weight weight, bool secondary,
                        QWidget* parent);

// Mirvo's icon, 32 by 32.
class OnboardingIcon final : public QWidget {
public:
    explicit OnboardingIcon(QWidget* parent) : QWidget(parent) { setFixedSize(32, 32); }

protected:
    void paintEvent(QPaintEvent*) override;
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
