#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QTemporaryFile>

#include <memory>

// The class of the window KDE Plasma's KWin has focused, which Wayland keeps from other
// programs: a small script of Mirvo's, loaded into KWin over D-Bus, reports every window KWin
// activates to this object, so that asking costs nothing at paste time.
class KWinFocusWatch final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "ai.mirvo.KWinFocus")
public:
    // None without KWin's scripting on the session bus.
    static std::unique_ptr<KWinFocusWatch> start();
    // Takes the script out of KWin again.
    ~KWinFocusWatch() override;

    // The focused window's class (its Wayland app id, or its X11 class), "" while none is.
    const QString& focusedClass() const { return focused_; }

public slots:
    Q_SCRIPTABLE void report(const QString& windowClass);

private:
    explicit KWinFocusWatch(const QDBusConnection& bus);
    bool load();
    // What KWin runs: it reports to the bus name `service`.
    static QString script(const QString& service);

    QDBusConnection bus_;
    QString kwin_; // KWin's own name on the bus: nobody else reports
    QTemporaryFile file_;
    QString focused_;
};
