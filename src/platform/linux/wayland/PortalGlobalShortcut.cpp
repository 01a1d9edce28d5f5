#include "PortalGlobalShortcut.h"

#include "PortalRequest.h"

#include "common/AppIdentity.h"
#include "common/Log.h"

#include <QCoro/QCoroDBus>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QPointer>

namespace {

const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString registryInterface = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString shortcutId = QStringLiteral("hold-to-dictate");
// One token for every run: KDE keeps a key with the session token that first took it.
const QString sessionToken = QStringLiteral("mirvo");

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
    if (!Portal::reachable(bus))
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
    QDBusMessage registration = Portal::call(registryInterface, "Register");
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
    const QDBusMessage version = co_await bus_.asyncCall(Portal::versionQuery(shortcutsInterface));
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
        bus_.connect(Portal::service, Portal::path, shortcutsInterface, QLatin1String(name), this,
                     slot);

    const PortalShortcuts wanted = {{shortcutId,
                                     {{QStringLiteral("description"), description},
                                      {QStringLiteral("preferred_trigger"), trigger}}}};
    const auto call = [](const char* method) { return Portal::call(shortcutsInterface, method); };
    // KDE Plasma 5.27 registers shortcuts only from this option.
    const std::optional<QVariantMap> created =
        co_await request(call("CreateSession"),
                         {{QStringLiteral("session_handle_token"), sessionToken},
                          {QStringLiteral("shortcuts"), QVariant::fromValue(wanted)}},
                         "CreateSession");
    if (!self || !created)
        co_return;
    sessionPath_ = Portal::sessionPathOf(created->value(QStringLiteral("session_handle")));

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
    const PortalReply reply = co_await portalRequest(bus_, std::move(call), std::move(options),
                                                     QStringLiteral("mirvo%1").arg(++requests_));
    if (self && !reply.results)
        emit failed(QStringLiteral("%1: %2").arg(QLatin1String(name), reply.problem));
    co_return self ? reply.results : std::nullopt;
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
