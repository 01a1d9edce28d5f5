#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/Tray.h"

#include <QSystemTrayIcon>
#include <QTimer>

// The tray icon through Qt: a StatusNotifierItem when a watcher is on the session bus at
// start-up, an XEmbed icon otherwise, which Qt embeds again whenever a tray (re)appears. Says
// in the log when the tray comes and goes.
class SystemTray final : public Tray {
public:
    SystemTray();
    void show(const QIcon& icon, const QString& toolTip, QMenu* menu) override;
    bool isAvailable() const override;
    void showMessage(const QString& title, const QString& message) override;

private:
    void checkAvailability();

    QSystemTrayIcon icon_;
    QTimer watch_;
    std::optional<bool> available_;
};
