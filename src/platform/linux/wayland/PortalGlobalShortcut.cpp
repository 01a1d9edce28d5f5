#include "PortalGlobalShortcut.h"

#include "common/AppIdentity.h"
#include "common/Log.h"

#include <QCoro/QCoroDBus>
#include <QCoro/QCoroSignal>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QPointer>

#include <chrono>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString registryInterface = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString shortcutId = QStringLiteral("hold-to-dictate");
// One token for every run: KDE keeps a key with the session token that first took it.
const QString sessionToken = QStringLiteral("mirvo");

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

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

// The keys given to Mirvo's shortcut in a portal's results, when they list it.
std::optional<QString> triggerIn(const QVariantMap& results) {
    for (const PortalShortcut& shortcut :
         qdbus_cast<PortalShortcuts>(results.value(QStringLiteral("shortcuts"))))
        if (shortcut.id == shortcutId)
            return shortcut.properties.value(QStringLiteral("trigger_description")).toString();
    return std::nullopt;
}

} // namespace

std::unique_ptr<PortalGlobalShortcut> PortalGlobalShortcut::create() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return nullptr;
    // The portal is usually started by the bus on the first call.
    if (!bus.interface()->isServiceRegistered(portalService).value() &&
        !bus.interface()->activatableServiceNames().value().contains(portalService))
        return nullptr;
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
    return std::unique_ptr<PortalGlobalShortcut>(new PortalGlobalShortcut(bus));
}

PortalGlobalShortcut::PortalGlobalShortcut(const QDBusConnection& bus) : bus_(bus) {}

QString PortalGlobalShortcut::preferredTrigger(const QString& key) {
    if (key.contains(QLatin1Char('+')))
        return key;
    static const QStringList modifiers = {
        "Control", "Shift", "Alt", "Super", "Meta", "Hyper", "ISO_Level3_Shift", "Caps_Lock"};
    QString base = key;
    if (key.endsWith(QLatin1String("_L")) || key.endsWith(QLatin1String("_R")))
        base.chop(2);
    if (key.isEmpty() || modifiers.contains(base))
        return QStringLiteral("CTRL+ALT+h");
    return key;
}

void PortalGlobalShortcut::bind(const QString& description, const QString& preferredKey) {
    description_ = description;
    binding(description, preferredTrigger(preferredKey));
}

QCoro::Task<> PortalGlobalShortcut::binding(QString description, QString trigger) {
    QPointer<PortalGlobalShortcut> self(this);
    // Portals 1.19.4 and later know a program outside Flatpak by the app id it registers before
    // any other call (GNOME 49 binds no shortcut for a program without one); older portals
    // have no registry, and nothing is lost.
    QDBusMessage registration = QDBusMessage::createMethodCall(
        portalService, portalPath, registryInterface, QStringLiteral("Register"));
    registration << mirvoAppId << QVariantMap();
    const QDBusMessage registered = co_await bus_.asyncCall(registration);
    if (!self)
        co_return;
    if (registered.type() == QDBusMessage::ReplyMessage)
        mirvoLog(QStringLiteral("[Mirvo] hold key: known to the desktop portal as ") + mirvoAppId);
    else if (registered.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") &&
             registered.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownInterface"))
        mirvoLog(QStringLiteral("[Mirvo] hold key: the desktop portal did not register ") +
                     mirvoAppId + QStringLiteral(": ") + registered.errorMessage(),
                 LogLevel::warning);
    QDBusMessage versionCall = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    versionCall << shortcutsInterface << QStringLiteral("version");
    const QDBusMessage version = co_await bus_.asyncCall(versionCall);
    if (!self)
        co_return;
    if (version.type() != QDBusMessage::ReplyMessage) {
        emit failed(QStringLiteral("the desktop portal has no global shortcuts (%1)")
                        .arg(version.errorMessage()));
        co_return;
    }
    // Presses can come as soon as the session exists.
    for (const auto& [name, slot] :
         {std::pair{"Activated", SLOT(onActivated(QDBusMessage))},
          std::pair{"Deactivated", SLOT(onDeactivated(QDBusMessage))},
          std::pair{"ShortcutsChanged", SLOT(onShortcutsChanged(QDBusMessage))}})
        bus_.connect(portalService, portalPath, shortcutsInterface, QLatin1String(name), this,
                     slot);

    const PortalShortcuts wanted = {{shortcutId,
                                     {{QStringLiteral("description"), description},
                                      {QStringLiteral("preferred_trigger"), trigger}}}};
    const auto call = [](const char* method) {
        return QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface,
                                              QLatin1String(method));
    };
    // KDE Plasma 5.27 registers shortcuts only from this option.
    const std::optional<QVariantMap> created =
        co_await request(call("CreateSession"),
                         {{QStringLiteral("session_handle_token"), sessionToken},
                          {QStringLiteral("shortcuts"), QVariant::fromValue(wanted)}},
                         "CreateSession");
    if (!self || !created)
        co_return;
    const QVariant handle = created->value(QStringLiteral("session_handle"));
    // A string in the documented interface, an object path from some portals.
    sessionPath_ = handle.typeId() == qMetaTypeId<QDBusObjectPath>()
                       ? handle.value<QDBusObjectPath>().path()
                       : handle.toString();

    // Listed first, so that a desktop that asks the user asks only once.
    QDBusMessage list = call("ListShortcuts");
    list << QVariant::fromValue(QDBusObjectPath(sessionPath_));
    const std::optional<QVariantMap> listed = co_await request(list, {}, "ListShortcuts");
    if (!self || !listed)
        co_return;
    if (const std::optional<QString> trigger = triggerIn(*listed)) {
        emit bound(*trigger);
        co_return;
    }
    QDBusMessage bindCall = call("BindShortcuts");
    bindCall << QVariant::fromValue(QDBusObjectPath(sessionPath_)) << QVariant::fromValue(wanted)
             << QString();
    const std::optional<QVariantMap> boundNow = co_await request(bindCall, {}, "BindShortcuts");
    if (self && boundNow)
        emit bound(triggerIn(*boundNow).value_or(QString()));
}

QCoro::Task<std::optional<QVariantMap>>
PortalGlobalShortcut::request(QDBusMessage call, QVariantMap options, const char* name) {
    QPointer<PortalGlobalShortcut> self(this);
    const QString token = QStringLiteral("mirvo%1").arg(++requests_);
    const QString sender = bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    QString path = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    // Subscribed before the call, so that no answer comes before anyone listens.
    PortalAnswer answer;
    const auto listen = [&](const QString& at, bool on) {
        const QString interface = QStringLiteral("org.freedesktop.portal.Request");
        const QString member = QStringLiteral("Response");
        if (on)
            bus_.connect(portalService, at, interface, member, &answer, SLOT(take(QDBusMessage)));
        else
            bus_.disconnect(portalService, at, interface, member, &answer,
                            SLOT(take(QDBusMessage)));
    };
    listen(path, true);
    options.insert(QStringLiteral("handle_token"), token);
    call << options;
    const QDBusMessage reply = co_await bus_.asyncCall(call);
    if (!self)
        co_return std::nullopt;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        listen(path, false);
        emit failed(QStringLiteral("%1 failed: %2").arg(QLatin1String(name), reply.errorMessage()));
        co_return std::nullopt;
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
    if (!self)
        co_return std::nullopt;
    if (!response) {
        emit failed(QStringLiteral("%1: the portal never answered").arg(QLatin1String(name)));
        co_return std::nullopt;
    }
    const auto& [code, results] = *response;
    if (code != 0) {
        emit failed(QStringLiteral("%1: %2").arg(
            QLatin1String(name), code == 1 ? QStringLiteral("declined by the user")
                                           : QStringLiteral("refused (response %1)").arg(code)));
        co_return std::nullopt;
    }
    co_return results;
}

bool PortalGlobalShortcut::isOurs(const QDBusMessage& message) const {
    const QList<QVariant> arguments = message.arguments();
    return !sessionPath_.isEmpty() &&
           arguments.value(0).value<QDBusObjectPath>().path() == sessionPath_ &&
           arguments.value(1).toString() == shortcutId;
}

void PortalGlobalShortcut::onActivated(const QDBusMessage& message) {
    if (isOurs(message))
        emit pressed();
}

void PortalGlobalShortcut::onDeactivated(const QDBusMessage& message) {
    if (isOurs(message))
        emit released();
}

void PortalGlobalShortcut::onShortcutsChanged(const QDBusMessage& message) {
    if (message.arguments().value(0).value<QDBusObjectPath>().path() == sessionPath_)
        emit bound(triggerIn({{QStringLiteral("shortcuts"), message.arguments().value(1)}})
                       .value_or(QString()));
}

#include "PortalGlobalShortcut.moc"
