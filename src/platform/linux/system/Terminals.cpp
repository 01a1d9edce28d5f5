#include "Terminals.h"

#include <QStringList>

namespace {

// WM_CLASS names (class or instance) and Wayland app ids of terminal emulators.
const QStringList terminalNames = {
    "xterm",
    "uxterm",
    "urxvt",
    "rxvt",
    "gnome-terminal",
    "gnome-terminal-server",
    "konsole",
    "xfce4-terminal",
    "terminator",
    "tilix",
    "alacritty",
    "kitty",
    "st",
    "st-256color",
    "lxterminal",
    "mate-terminal",
    "qterminal",
    "terminology",
    "sakura",
    "guake",
    "tilda",
    "wezterm",
    "org.wezfurlong.wezterm",
    "foot",
    "deepin-terminal",
    "eterm",
    "x-terminal-emulator",
    "cool-retro-term",
    "yakuake",
    "kgx",
    // Wayland app ids in reverse-DNS form.
    "org.kde.konsole",
    "org.kde.yakuake",
    "org.gnome.Console",
    "org.gnome.Terminal",
    "org.gnome.Ptyxis",
    "com.mitchellh.ghostty",
    "io.elementary.terminal",
};

} // namespace

bool isTerminal(const QString& name) {
    return terminalNames.contains(name, Qt::CaseInsensitive);
}
