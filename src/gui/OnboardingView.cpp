#include "OnboardingView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

OnboardingView::OnboardingView(OnboardingViewModel& model, const OnboardingTexts& texts,
                               OnboardingViewCallbacks callbacks, QWidget* parent)
    : QWidget(parent), model_(model), texts_(texts), callbacks_(std::move(callbacks)) {
    setFixedWidth(width);
    setAutoFillBackground(true);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(24, 18, 24, 10);
    header->setSpacing(4);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    titleRow->addWidget(new OnboardingIcon(this), 0, Qt::AlignVCenter);
    titleRow->addWidget(
        onboardingLabel(QStringLiteral("Welcome to Mirvo"), 22, QFont::Bold, false, this), 1,
        Qt::AlignVCenter);
    header->addLayout(titleRow);
    header_ = onboardingLabel(texts.header(), 12, QFont::Normal, true, this);
    header->addWidget(header_);
    stack->addLayout(header);

    auto* steps = new QVBoxLayout;
    steps->setContentsMargins(24, 4, 24, 0);
    steps->setSpacing(10);
    for (const OnboardingStepInfo& info : onboardingSteps) {
        const OnboardingStep step = info.step;
        if (step == OnboardingStep::fnKeyDemo) {
            demoRow_ = new FnDemoRow(model_, texts, callbacks_.onConfirmDemo, this);
            steps->addWidget(demoRow_);
            continue;
        }
        auto* row = new OnboardingRow(
            step, texts, [this, step] { callbacks_.onOpenSettings(step); }, callbacks_.onConfirmFn,
            callbacks_.onRestart, this);
        rows_.emplace_back(step, row);
        steps->addWidget(row);
    }
    stack->addLayout(steps);

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(24, 12, 24, 12);
    footer->addStretch();
    continueButton_ = new QPushButton(QStringLiteral("Start dictating"), this);
    continueButton_->setDefault(true);
    continueButton_->setStyleSheet(
        QStringLiteral("QPushButton { font-size: 13px; padding: 5px 16px; border: none; "
                       "border-radius: 6px; background: palette(highlight); "
                       "color: palette(highlighted-text); }"
                       "QPushButton:disabled { background: palette(midlight); "
                       "color: palette(mid); }"));
    QObject::connect(continueButton_, &QPushButton::clicked, this, [this] {
        if (callbacks_.onContinue)
            callbacks_.onContinue();
    });
    footer->addWidget(continueButton_);
    stack->addLayout(footer);
    stack->addStretch();

    // Return finishes, as a window's default button does.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(key, this);
        QObject::connect(shortcut, &QShortcut::activated, continueButton_, [this] {
            if (continueButton_->isEnabled())
                continueButton_->click();
        });
    }
    QObject::connect(&model_, &OnboardingViewModel::stateChanged, this, [this] { apply(); });
    // What the desktop lacks can change while the window is open (a package installed), and a
    // desktop's shortcut gets its keys once Mirvo has asked for it.
    QObject::connect(&model_, &OnboardingViewModel::keyTextsChanged, this, [this] {
        texts_.holdKey = model_.holdKey();
        texts_.keyStep = model_.keyStep();
        header_->setText(texts_.header());
        for (const auto& [step, row] : rows_)
            row->setTexts(texts_);
        demoRow_->setTexts(texts_);
    });
    apply();
}

void OnboardingView::apply() {
    const OnboardingState& state = model_.state();
    for (const auto& [step, row] : rows_)
        row->setStatus(state[step]);
    demoRow_->setStatus(state.fnKeyDemo);
    demoRow_->setDemoReady(state.demoReady());
    continueButton_->setEnabled(state.allGranted());
}

QSize OnboardingView::fittingSize() const {
    return {width, layout()->totalHeightForWidth(width)};
}

// The checklist window. Closing it only hides it; its owner hears of both.
