#pragma once

#include "platform/GlobalShortcut.h"
#include "platform/linux/system/LinuxOnly.h"

#include <QCoro/QCoroTask>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QVariantMap>

#include <memory>
#include <optional>

class QDBusMessage;

// One shortcut as the portal's interface carries it (D-Bus "(sa{sv})").
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
using PortalShortcuts = QList<PortalShortcut>;
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);
Q_DECLARE_METATYPE(PortalShortcut)

// The hold key through the desktop portal's global shortcuts (KDE Plasma 5.27 and later,
// GNOME 48 and later, Hyprland), over one session-bus connection for the session's whole life:
// a portal session ends with the connection that made it.
class PortalGlobalShortcut final : public GlobalShortcut {
    Q_OBJECT
public:
    // None without a session bus, or with no portal on it to start.
    static std::unique_ptr<PortalGlobalShortcut> create();
    void bind(const QString& description, const QString& preferredKey) override;
    // As bind() named it to the desktop.
    const QString& description() const { return description_; }

    // The trigger to wish for, in the portal's notation: a chord the user wrote as such is
    // passed on, a key of its own (F9) is the trigger, and a lone modifier (no desktop takes
    // one as a shortcut) gives Ctrl+Alt+H.
    static QString preferredTrigger(const QString& key);

private slots:
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);

private:
    explicit PortalGlobalShortcut(const QDBusConnection& bus);
    QCoro::Task<> binding(QString description, QString trigger);
    // Sends `call`, whose last argument is its options, as a portal request and waits for the
    // request's Response; its results when the portal answered with success.
    QCoro::Task<std::optional<QVariantMap>> request(QDBusMessage call, QVariantMap options,
                                                    const char* name);
    bool isOurs(const QDBusMessage& message) const;

    QDBusConnection bus_;
    QString description_;
    QString sessionPath_;
    int requests_ = 0;
};
