#pragma once

#include "platform/HUDPanel.h"

#include <QStringList>

#include <functional>

// Records what the controller asks of the panel. A fade stays pending until finishFade();
// starting another fade first ends the pending one, as a superseded animation does.
class FakeHUDPanel final : public HUDPanel {
public:
    void setIgnoresMouseEvents(bool ignores) override {
        ignoresMouseEvents = ignores;
        calls.append(ignores ? "ignoreMouse" : "acceptMouse");
    }
    double alpha() const override { return alpha_; }
    void setAlpha(double alpha) override {
        endPendingFade();
        alpha_ = alpha;
        calls.append(QStringLiteral("alpha=%1").arg(alpha));
    }
    bool isVisible() const override { return visible; }
    void orderFrontRegardless() override {
        visible = true;
        calls.append("orderFront");
    }
    void animateAlpha(double target, double seconds, std::function<void()> completion) override {
        endPendingFade();
        calls.append(QStringLiteral("fade to %1 over %2").arg(target).arg(seconds));
        pendingTarget_ = target;
        pendingCompletion_ = completion ? std::move(completion) : [] {};
        fadePending_ = true;
    }
    void orderOut() override {
        visible = false;
        calls.append("orderOut");
    }

    // Runs the pending fade to its end.
    void finishFade() { endPendingFade(); }
    bool fadePending() const { return fadePending_; }

    QStringList calls;
    bool visible = false;
    bool ignoresMouseEvents = true;

private:
    void endPendingFade() {
        if (!fadePending_)
            return;
        fadePending_ = false;
        alpha_ = pendingTarget_;
        auto completion = std::move(pendingCompletion_);
        completion();
    }

    double alpha_ = 1;
    double pendingTarget_ = 0;
    bool fadePending_ = false;
    std::function<void()> pendingCompletion_;
};
