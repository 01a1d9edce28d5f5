#include "SystemTray.h"

#include "common/Log.h"

SystemTray::SystemTray() {
    // Qt tells nobody when a tray appears or goes; its own state is cheap to ask.
    watch_.setInterval(2000);
    QObject::connect(&watch_, &QTimer::timeout, &icon_, [this] { checkAvailability(); });
}

void SystemTray::show(const QIcon& icon, const QString& toolTip, QMenu* menu) {
    icon_.setIcon(icon);
    icon_.setToolTip(toolTip);
    icon_.setContextMenu(menu);
    icon_.show();
    checkAvailability();
    watch_.start();
}

bool SystemTray::isAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemTray::showMessage(const QString& title, const QString& message) {
    if (isAvailable())
        icon_.showMessage(title, message, QSystemTrayIcon::Information, 8000);
}

void SystemTray::checkAvailability() {
    const bool now = isAvailable();
    if (available_ == now)
        return;
    const bool first = !available_;
    available_ = now;
    if (now)
        mirvoLog(QStringLiteral("[Mirvo] system tray available"));
    else if (first)
        mirvoLog(QStringLiteral("[Mirvo] no system tray yet — the icon appears when one starts; "
                                "launch Mirvo again to open the setup checklist"),
                 LogLevel::warning);
    else
        mirvoLog(QStringLiteral("[Mirvo] system tray gone — the icon comes back with it"),
                 LogLevel::warning);
}
