#pragma once

#include <QObject>
#include <QString>

// A shortcut that the desktop itself watches for Mirvo and reports pressed and released: the
// hold key where no program may watch the keyboard (Wayland). Main thread.
class GlobalShortcut : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Asks the desktop for the shortcut, shown to the user as `description`, wishing for
    // `preferredKey` (a key name of the platform, or a chord such as "CTRL+ALT+h"). The answer
    // comes as `bound` or `failed`; presses may come before it.
    virtual void bind(const QString& description, const QString& preferredKey) = 0;

signals:
    // A desktop may repeat `pressed` while the keys are held.
    void pressed();
    void released();
    // The keys the desktop assigned, as it writes them ("Ctrl+Alt+H"); empty when it assigned
    // none (the user may still set them in the desktop's settings).
    void bound(const QString& trigger);
    void failed(const QString& reason);
};
