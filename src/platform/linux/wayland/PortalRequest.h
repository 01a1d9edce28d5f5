#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <optional>

// The desktop portal's address on the session bus.
namespace Portal {
inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

// Whether the session bus has a portal, or can start one.
bool reachable(const QDBusConnection& bus);
// A method call on the portal's object.
QDBusMessage call(const QString& interface, const char* method);
// The call that asks the version of the portal's `interface`: an error where it has none.
QDBusMessage versionQuery(const QString& interface);
// A session handle as a portal returns it: a string in the documented interface, an object path
// from some portals.
QString sessionPathOf(const QVariant& handle);
} // namespace Portal

// How a portal request ended.
struct PortalReply {
    // Its results when the portal answered with success.
    std::optional<QVariantMap> results;
    // What went wrong otherwise, for a log line: "declined by the user" and the like.
    QString problem;
    // The Response code: 0 success, 1 the user declined, 2 ended another way; none when the
    // request never got that far.
    std::optional<uint> code;
};

// Sends `call`, whose last argument is its options, as a portal request on `bus` and waits for
// the request's Response (as long as a user may take to answer a dialog). `token` names the
// request among the caller's own.
QCoro::Task<PortalReply> portalRequest(QDBusConnection bus, QDBusMessage call, QVariantMap options,
                                       QString token);
