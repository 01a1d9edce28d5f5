#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/PlatformServices.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The kind of desktop session Mirvo runs in, decided once at start-up from the environment.
// MIRVO_SESSION=x11 or =wayland overrides what the environment says (for tests).
struct DesktopSession {
    enum class Kind { x11, wayland };
    Kind kind = Kind::x11;
    // The compositor's name where the environment tells it ("sway", "Hyprland", "GNOME"…).
    QString compositor;
    // Sway, Hyprland, river and the other wlroots compositors offer ordinary clients the
    // clipboard (data-control) and key posting (virtual keyboard); KWin offers data-control
    // but posts keys only through its own fake input; GNOME offers neither.
    bool wlroots = false;
    // KDE Plasma's KWin offers Mirvo its fake input (Mirvo's .desktop file asks for it): Mirvo
    // types the paste chord there too.
    bool kwinFakeInput = false;
    // GNOME's Mutter posts keys for no program but through the desktop portal's remote desktop,
    // with the user's leave.
    bool gnome = false;
    // XWayland is there to show Mirvo's windows.
    bool xwayland = false;

    static DesktopSession detect(const QProcessEnvironment& environment);
    bool isWayland() const { return kind == Kind::wayland; }
    // Whether Mirvo types the paste chord in this Wayland session without asking the user.
    bool typesPasteChord() const { return wlroots || kwinFakeInput; }
    // "x11", or "wayland (sway)" and the like.
    QString description() const;

    // In a Wayland session: what it offers Mirvo (but whether windows are translucent, which
    // XWayland's X11 side answers, and the key instructions).
    DesktopCapabilities waylandCapabilities() const;
    // In a Wayland session: what the user needs to know of the key and the paste, which
    // reaches the focused application by `chord`; `holdShortcut`, what the desktop's hold
    // shortcut is, once it answered.
    QString keyInstructions(const QString& holdShortcut,
                            DesktopCapabilities::PasteChord chord) const;

private:
    QString waylandProblem(const QStringList& globals) const;
};

// The interface names of the globals a Wayland compositor offers, as listed by its registry;
// empty when no compositor answers (WAYLAND_DISPLAY is unset or wrong).
QStringList waylandGlobals();
