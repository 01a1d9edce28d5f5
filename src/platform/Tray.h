#pragma once

#include <QIcon>
#include <QString>

class QMenu;

// Mirvo's icon in the desktop's system tray, its only permanent presence. Main thread only.
class Tray {
public:
    virtual ~Tray() = default;
    // Shows the icon with its tooltip and menu (which stays the caller's). A tray that starts
    // later, or starts again, gets the icon too.
    virtual void show(const QIcon& icon, const QString& toolTip, QMenu* menu) = 0;
    // Whether a tray shows the icon now.
    virtual bool isAvailable() const = 0;
    // A short notification from the icon; nothing without a tray.
    virtual void showMessage(const QString& title, const QString& message) = 0;
};
