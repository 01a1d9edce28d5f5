#include "HUDWindowController.h"

#include "common/Log.h"
#include "common/MainThread.h"

#include <QPointer>

void HUDModel::setLevel(double level) {
    if (level == level_)
        return;
    level_ = level;
    emit levelChanged(level_);
}

void HUDModel::setMode(HUDMode mode) {
    if (mode == mode_)
        return;
    mode_ = std::move(mode);
    emit modeChanged();
    setHeard(QString());
}

void HUDModel::setHeard(const QString& words) {
    if (words == heard_)
        return;
    heard_ = words;
    emit heardChanged();
}

HUDWindowController::HUDWindowController(HUDPanelFactory panelFactory)
    : panelFactory_(std::move(panelFactory)) {}

HUDWindowController::~HUDWindowController() {
    cancelAutoHide();
}

bool HUDWindowController::ensurePanel() {
    if (panel_)
        return true;
    if (panelFactory_)
        panel_ = panelFactory_(model_);
    if (!panel_ && !loggedNoScreen_) {
        // Without a screen the HUD cannot be placed; dictation works on without it.
        mirvoLog(QStringLiteral("[Mirvo] HUD: no screen to show the panel on"));
        loggedNoScreen_ = true;
    }
    return panel_ != nullptr;
}

void HUDWindowController::cancelAutoHide() {
    if (autoHideWork_) {
        autoHideWork_->cancel();
        autoHideWork_.reset();
    }
}

bool HUDWindowController::enter(HUDMode mode) {
    const bool havePanel = ensurePanel();
    cancelAutoHide();
    model_.setMode(std::move(mode));
    model_.setLevel(0);
    if (havePanel)
        ++showGeneration_;
    return havePanel;
}

void HUDWindowController::fadeIn(double seconds) {
    panel_->setAlpha(0);
    panel_->showWithoutFocus();
    panel_->animateAlpha(1, seconds, {});
}

void HUDWindowController::show() {
    if (!enter(HUDMode::listening()))
        return;
    panel_->setIgnoresMouseEvents(false);
    fadeIn(0.15);
}

void HUDWindowController::showHeard(const QString& words) {
    if (model_.mode().kind == HUDMode::Kind::listening)
        model_.setHeard(words);
}

void HUDWindowController::showProcessing(const QString& message) {
    if (!enter(HUDMode::processing(message)))
        return;
    if (panel_->alpha() >= 1 && panel_->isVisible())
        return;
    fadeIn(0.1);
}

void HUDWindowController::showError(const QString& message, double duration) {
    // The message only shows for a few seconds; the log keeps it.
    mirvoLog(QStringLiteral("[Mirvo] HUD error: %1").arg(message));
    if (enter(HUDMode::error(message))) {
        panel_->setIgnoresMouseEvents(false);
        fadeIn(0.15);
    }
    QPointer<HUDWindowController> weakSelf(this);
    autoHideWork_ = std::make_shared<CancellableWork>([weakSelf] {
        if (weakSelf)
            weakSelf->hide();
    });
    autoHideSeconds_ = duration;
    scheduleOnMain(autoHideWork_, duration);
}

std::optional<double> HUDWindowController::pendingAutoHideSeconds() const {
    if (!autoHideWork_)
        return std::nullopt;
    return autoHideSeconds_;
}

void HUDWindowController::hide() {
    if (!panel_)
        return;
    cancelAutoHide();
    const quint64 generation = showGeneration_;
    QPointer<HUDWindowController> weakSelf(this);
    panel_->animateAlpha(0, 0.2, [weakSelf, generation] {
        // A show that started during the fade-out keeps its panel on screen.
        if (weakSelf && weakSelf->panel_ && weakSelf->showGeneration_ == generation)
            weakSelf->panel_->orderOut();
    });
}
