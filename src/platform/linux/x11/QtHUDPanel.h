#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/HUDPanel.h"

#include <QPropertyAnimation>
#include <QWidget>

#include <functional>
#include <memory>

class QScreen;
typedef struct _XDisplay Display;

// The HUD's window: borderless, above normal windows, on every workspace, never focused and
// never activating Mirvo (an override-redirect popup on X11). As large as its content (104 × 32
// but while words show), centred on the primary screen, its bottom edge 100 points above the
// bottom of the screen. Main thread only.
class QtHUDPanel final : public HUDPanel {
public:
    // Null when there is no screen. The panel owns `content`.
    static std::unique_ptr<HUDPanel> create(QWidget* content);
    ~QtHUDPanel() override;

    void setIgnoresMouseEvents(bool ignores) override;
    double alpha() const override;
    void setAlpha(double alpha) override;
    bool isVisible() const override;
    void showWithoutFocus() override;
    void animateAlpha(double target, double seconds, std::function<void()> completion) override;
    void orderOut() override;

    QWidget* window() const { return window_.get(); }
    // The frame for content of `size` on a screen's full geometry.
    static QRect frameOn(const QRect& screenGeometry, const QSize& size);
    // Whether a compositing manager runs on `display`, so that translucency shows.
    static bool compositorRunning(Display* display);

private:
    explicit QtHUDPanel(QWidget* content, QScreen* screen);
    void endFade();

    std::unique_ptr<QWidget> window_;
    QPropertyAnimation fade_;
    std::function<void()> fadeCompletion_;
};
