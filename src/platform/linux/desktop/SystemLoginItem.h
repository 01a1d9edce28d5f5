#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/LoginItem.h"

#include <QString>

// Launch at login through an XDG autostart entry, $XDG_CONFIG_HOME/autostart/<app id>.desktop.
// Mirvo counts as registered when that entry exists, starts this executable and is switched on
// (not Hidden=true, not X-GNOME-Autostart-enabled=false). Entries Mirvo writes carry the key
// X-Mirvo-Autostart=true and are Mirvo's whatever program they start (an earlier install's, say).
// An unmarked entry that starts another program belongs to somebody else: it is never
// overwritten or removed. Mirvo's entry of the name before the app id, mirvo.desktop, moves to
// the new name.
class SystemLoginItem final : public LoginItemControlling {
public:
    // `executable`: the program the entry starts; by default the running one.
    explicit SystemLoginItem(QString executable = QString());
    // The entry as earlier Mirvos named it.
    static QString earlierEntryPath();

    bool isEnabled() const override;
    bool setEnabled(bool enabled) override;

    // Where the entry lives.
    static QString entryPath();
    // The Exec= value that starts `program` with no arguments, quoted and escaped for a desktop
    // entry; and the program an Exec= value starts (empty when it cannot be parsed).
    static QString execValue(const QString& program);
    static QString programOf(const QString& execValue);

private:
    enum class Status { notRegistered, enabled, disabled, foreign };
    Status status() const;

    const QString executable_;
    mutable bool loggedForeign_ = false;
};
