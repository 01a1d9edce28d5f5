#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/KeyboardEvents.h"

#include <QString>
#include <QStringList>

#include <memory>

class X11Connection;

// Posts Ctrl+V through XTest, or Ctrl+Shift+V when the focused window is a terminal emulator
// (terminals paste the clipboard with that chord; Ctrl+V means "insert the next key literally").
class XTestKeyboardEvents final : public KeyboardEvents {
public:
    explicit XTestKeyboardEvents(std::shared_ptr<X11Connection> connection);
    void postPasteChord() override;
    std::optional<QString> focusedApplication() override;

private:
    const std::shared_ptr<X11Connection> connection_;
};
