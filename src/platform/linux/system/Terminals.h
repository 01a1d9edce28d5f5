#pragma once

#include "LinuxOnly.h"

#include <QString>

// Whether `name` (an X11 WM_CLASS name or class, a Wayland app id; case does not matter) is a
// terminal emulator's: terminals paste with Ctrl+Shift+V, on X11 and Wayland alike.
bool isTerminal(const QString& name);
