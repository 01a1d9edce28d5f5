#pragma once

#include "platform/KeyboardEvents.h"

#include <QString>
#include <QStringList>

// Posts Ctrl+V through XTest, or Ctrl+Shift+V when the focused window is a terminal emulator
// (terminals paste the clipboard with that chord; Ctrl+V means "insert the next key literally").
class XTestKeyboardEvents final : public KeyboardEvents {
public:
    void postPasteChord() override;

    // WM_CLASS names (class or instance, compared without case) of terminal emulators.
    static const QStringList terminalClasses;
    static bool isTerminal(const QString& wmClassName, const QString& wmClassClass);
};
