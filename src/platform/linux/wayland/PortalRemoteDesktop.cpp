#include "PortalRemoteDesktop.h"

#include "PortalRequest.h"

#include "common/Log.h"

#include <QCoro/QCoroDBus>
#include <QCoro/QCoroSignal>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>

#include <chrono>

namespace {

const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
constexpr uint keyboardDevice = 1;
// Until the user revokes it.
constexpr uint persistUntilRevoked = 2;
constexpr int controlKeysym = 0xffe3; // Control_L
constexpr int vKeysym = 0x0076;

} // namespace

std::shared_ptr<PortalRemoteDesktop> PortalRemoteDesktop::create(const QString& consentPath) {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!Portal::reachable(bus))
        return nullptr;
    return std::shared_ptr<PortalRemoteDesktop>(new PortalRemoteDesktop(bus, consentPath));
}

PortalRemoteDesktop::PortalRemoteDesktop(const QDBusConnection& bus, QString consentPath)
    : bus_(bus), consentPath_(std::move(consentPath)) {}

bool PortalRemoteDesktop::allowed() const {
    return QFileInfo::exists(consentPath_);
}

void PortalRemoteDesktop::prepare() {
    if (!started() && !busy_ && allowed())
        start();
}

QCoro::Task<bool> PortalRemoteDesktop::start() {
    QPointer<PortalRemoteDesktop> self(this);
    if (busy_) {
        co_await qCoro(this, &PortalRemoteDesktop::changed, std::chrono::minutes(5));
        co_return !self.isNull() && started();
    }
    if (started())
        co_return true;
    busy_ = true;
    const bool granted = co_await starting();
    if (!self)
        co_return false;
    busy_ = false;
    emit changed();
    co_return granted;
}

QCoro::Task<bool> PortalRemoteDesktop::starting() {
    QPointer<PortalRemoteDesktop> self(this);
    const QDBusMessage version =
        co_await bus_.asyncCall(Portal::versionQuery(remoteDesktopInterface));
    if (!self)
        co_return false;
    if (version.type() != QDBusMessage::ReplyMessage) {
        refusal_ = QStringLiteral("the desktop portal has no remote desktop (%1)")
                       .arg(version.errorMessage());
        mirvoLog(QStringLiteral("[Mirvo] paste: ") + refusal_, LogLevel::warning);
        co_return false;
    }
    // Version 2 of the interface added the restore token.
    const bool persists =
        version.arguments().value(0).value<QDBusVariant>().variant().toUInt() >= 2;

    const auto request = [this](QDBusMessage call, QVariantMap options) {
        return portalRequest(bus_, std::move(call), std::move(options),
                             QStringLiteral("mirvo_paste%1").arg(++requests_));
    };
    const auto failed = [this](const char* step, const PortalReply& reply) {
        refusal_ = reply.problem;
        // The user said no (to a remembered consent too, when the portal asked again): what
        // was allowed is no longer.
        if (reply.code)
            forget(reply.problem);
        else
            mirvoLog(QStringLiteral("[Mirvo] paste: the desktop portal failed at %1: %2; your "
                                    "words stay on the clipboard")
                         .arg(QLatin1String(step), reply.problem),
                     LogLevel::warning);
        return false;
    };

    const PortalReply created =
        co_await request(Portal::call(remoteDesktopInterface, "CreateSession"),
                         {{QStringLiteral("session_handle_token"),
                           QStringLiteral("mirvo_paste_session%1").arg(requests_ + 1)}});
    if (!self)
        co_return false;
    if (!created.results)
        co_return failed("CreateSession", created);
    const QString session =
        Portal::sessionPathOf(created.results->value(QStringLiteral("session_handle")));
    const QDBusObjectPath sessionObject(session);

    QVariantMap devices{{QStringLiteral("types"), keyboardDevice}};
    if (persists) {
        devices.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
        QFile consent(consentPath_);
        const QByteArray token =
            consent.open(QIODevice::ReadOnly) ? consent.read(4096).trimmed() : QByteArray();
        if (!token.isEmpty())
            devices.insert(QStringLiteral("restore_token"), QString::fromUtf8(token));
    }
    QDBusMessage select = Portal::call(remoteDesktopInterface, "SelectDevices");
    select << QVariant::fromValue(sessionObject);
    const PortalReply selected = co_await request(select, devices);
    if (!self)
        co_return false;
    if (!selected.results)
        co_return failed("SelectDevices", selected);

    // The clipboard is asked for before the start, and only where the portal has it.
    QDBusMessage clipboardCall =
        Portal::call(QStringLiteral("org.freedesktop.portal.Clipboard"), "RequestClipboard");
    clipboardCall << QVariant::fromValue(sessionObject) << QVariantMap();
    const QDBusMessage clipboard = co_await bus_.asyncCall(clipboardCall);
    if (!self)
        co_return false;

    QDBusMessage startCall = Portal::call(remoteDesktopInterface, "Start");
    startCall << QVariant::fromValue(sessionObject) << QString();
    const PortalReply startedReply = co_await request(startCall, {});
    if (!self)
        co_return false;
    if (!startedReply.results)
        co_return failed("Start", startedReply);
    const QVariantMap& results = *startedReply.results;
    if (!(results.value(QStringLiteral("devices")).toUInt() & keyboardDevice)) {
        QDBusMessage close = QDBusMessage::createMethodCall(
            Portal::service, session, sessionInterface, QStringLiteral("Close"));
        bus_.send(close);
        refusal_ = QStringLiteral("the keyboard was not allowed");
        forget(refusal_);
        co_return false;
    }
    bus_.connect(Portal::service, session, sessionInterface, QStringLiteral("Closed"), this,
                 SLOT(onClosed(QDBusMessage)));
    sessionPath_ = session;
    clipboard_ = clipboard.type() == QDBusMessage::ReplyMessage &&
                 results.value(QStringLiteral("clipboard_enabled")).toBool();
    refusal_.clear();
    remember(results.value(QStringLiteral("restore_token")).toString());
    mirvoLog(QStringLiteral("[Mirvo] paste: the desktop allows Mirvo's keyboard (remote desktop "
                            "portal, %1, clipboard %2)")
                 .arg(persists ? QStringLiteral("remembered") : QStringLiteral("this run only"),
                      clipboard_ ? QStringLiteral("through the portal")
                                 : QStringLiteral("through wl-clipboard")));
    co_return true;
}

void PortalRemoteDesktop::remember(const QString& token) {
    // The token lets any program of the user's that reads it control the keyboard unasked.
    QDir().mkpath(QFileInfo(consentPath_).path());
    QSaveFile file(consentPath_);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
        file.write(token.toUtf8()) != token.toUtf8().size() || !file.commit())
        mirvoLog(QStringLiteral("[Mirvo] paste: cannot keep the desktop's consent at %1: %2")
                     .arg(consentPath_, file.errorString()),
                 LogLevel::warning);
}

void PortalRemoteDesktop::forget(const QString& why) {
    QFile::remove(consentPath_);
    mirvoLog(QStringLiteral("[Mirvo] paste: the desktop does not allow Mirvo to paste (%1): your "
                            "words stay on the clipboard; the setup checklist asks again")
                 .arg(why),
             LogLevel::warning);
}

void PortalRemoteDesktop::onClosed(const QDBusMessage& message) {
    if (message.path() != sessionPath_)
        return;
    sessionPath_.clear();
    clipboard_ = false;
    mirvoLog(QStringLiteral("[Mirvo] paste: the desktop ended Mirvo's remote desktop session; "
                            "the next dictation starts another"));
    emit changed();
}

void PortalRemoteDesktop::sendKeysym(int keysym, bool pressed) {
    QDBusMessage call = Portal::call(remoteDesktopInterface, "NotifyKeyboardKeysym");
    call << QVariant::fromValue(QDBusObjectPath(sessionPath_)) << QVariantMap() << keysym
         << uint(pressed ? 1 : 0);
    bus_.send(call);
}

void PortalRemoteDesktop::postPasteChord() {
    if (!started()) {
        mirvoLog(QStringLiteral("[Mirvo] cannot post the paste chord: the desktop has not "
                                "allowed Mirvo's keyboard"),
                 LogLevel::warning);
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] paste chord Ctrl+V for \"\""));
    // Sent in order on one connection, which the portal keeps.
    sendKeysym(controlKeysym, true);
    sendKeysym(vKeysym, true);
    sendKeysym(vKeysym, false);
    sendKeysym(controlKeysym, false);
}
