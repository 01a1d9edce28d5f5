#include "PortalRequest.h"

#include <QCoro/QCoroDBus>
#include <QCoro/QCoroSignal>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>

#include <chrono>

namespace {

// One portal request's Response, which comes as a signal on the request's own object.
class PortalAnswer final : public QObject {
    Q_OBJECT
signals:
    void answered(uint code, QVariantMap results);
public slots:
    void take(const QDBusMessage& message) {
        const QList<QVariant> arguments = message.arguments();
        emit answered(arguments.value(0).toUInt(), qdbus_cast<QVariantMap>(arguments.value(1)));
    }
};

} // namespace

bool Portal::reachable(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface())
        return false;
    // The portal is usually started by the bus on the first call.
    return bus.interface()->isServiceRegistered(service).value() ||
           bus.interface()->activatableServiceNames().value().contains(service);
}

QDBusMessage Portal::call(const QString& interface, const char* method) {
    return QDBusMessage::createMethodCall(service, path, interface, QLatin1String(method));
}

QDBusMessage Portal::versionQuery(const QString& interface) {
    QDBusMessage query = call(QStringLiteral("org.freedesktop.DBus.Properties"), "Get");
    query << interface << QStringLiteral("version");
    return query;
}

QString Portal::sessionPathOf(const QVariant& handle) {
    return handle.typeId() == qMetaTypeId<QDBusObjectPath>()
               ? handle.value<QDBusObjectPath>().path()
               : handle.toString();
}

QCoro::Task<PortalReply> portalRequest(QDBusConnection bus, QDBusMessage call, QVariantMap options,
                                       QString token) {
    const QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    QString path = Portal::path + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    // Subscribed before the call, so that no answer comes before anyone listens.
    PortalAnswer answer;
    const auto listen = [&](const QString& at, bool on) {
        const QString interface = QStringLiteral("org.freedesktop.portal.Request");
        const QString member = QStringLiteral("Response");
        if (on)
            bus.connect(Portal::service, at, interface, member, &answer, SLOT(take(QDBusMessage)));
        else
            bus.disconnect(Portal::service, at, interface, member, &answer,
                           SLOT(take(QDBusMessage)));
    };
    listen(path, true);
    options.insert(QStringLiteral("handle_token"), token);
    call << options;
    const QDBusMessage reply = co_await bus.asyncCall(call);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        listen(path, false);
        co_return PortalReply{std::nullopt, reply.errorMessage(), std::nullopt};
    }
    // An older portal makes up a path of its own.
    const QString returned = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (returned != path) {
        listen(path, false);
        path = returned;
        listen(path, true);
    }
    // A desktop may ask the user first, who may take their time.
    const auto response = co_await qCoro(&answer, &PortalAnswer::answered, std::chrono::minutes(5));
    listen(path, false);
    if (!response)
        co_return PortalReply{std::nullopt, QStringLiteral("the portal never answered"),
                              std::nullopt};
    const auto& [code, results] = *response;
    if (code == 0)
        co_return PortalReply{results, QString(), code};
    co_return PortalReply{std::nullopt,
                          code == 1 ? QStringLiteral("declined by the user")
                                    : QStringLiteral("refused (response %1)").arg(code),
                          code};
}

#include "PortalRequest.moc"
