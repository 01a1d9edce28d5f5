#pragma once

#include <functional>
#include <memory>

class HUDModel;

// The floating window that hosts the HUD view: on Linux an X11 window (through XWayland on
// Wayland) that never takes the focus. Main thread only.
class HUDPanel {
public:
    virtual ~HUDPanel() = default;

    virtual void setIgnoresMouseEvents(bool ignores) = 0;
    virtual double alpha() const = 0;
    virtual void setAlpha(double alpha) = 0;
    virtual bool isVisible() const = 0;
    // Shows the panel above other windows without activating Mirvo or taking focus.
    virtual void showWithoutFocus() = 0;
    // Fades the alpha to `target`; `completion` runs once the fade has ended, whether it ran to
    // its end or was superseded by another fade or alpha change.
    virtual void animateAlpha(double target, double seconds, std::function<void()> completion) = 0;
    // Removes the panel from the screen.
    virtual void orderOut() = 0;
};

// Makes the panel showing `model`; returns null when there is no screen to place it on.
using HUDPanelFactory = std::function<std::unique_ptr<HUDPanel>(HUDModel& model)>;
