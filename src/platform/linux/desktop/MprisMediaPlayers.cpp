#include "MprisMediaPlayers.h"

#include "common/Log.h"

#include <QCoro/QCoroDBus>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>

namespace {

const QString playerPrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString playerPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
// A player that takes longer to say whether it plays is left alone.
constexpr int answerMs = 500;

QDBusMessage playerCall(const QString& player, const char* method) {
    return QDBusMessage::createMethodCall(player, playerPath, playerInterface,
                                          QLatin1String(method));
}

} // namespace

MprisMediaPlayers::MprisMediaPlayers(const QDBusConnection& bus) : bus_(bus) {}

void MprisMediaPlayers::pausePlaying() {
    resumePaused();
    pause_ = std::make_shared<Pause>();
    pausing(bus_, pause_);
}

QCoro::Task<> MprisMediaPlayers::pausing(QDBusConnection bus, std::shared_ptr<Pause> pause) {
    const QDBusMessage names = co_await bus.asyncCall(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListNames")),
        answerMs);
    // Every player is asked at once: the pause comes as soon as the quickest answers.
    std::vector<std::pair<QString, QDBusPendingCall>> asked;
    for (const QString& name : names.arguments().value(0).toStringList())
        if (name.startsWith(playerPrefix)) {
            QDBusMessage status = QDBusMessage::createMethodCall(
                name, playerPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("Get"));
            status << playerInterface << QStringLiteral("PlaybackStatus");
            asked.emplace_back(name, bus.asyncCall(status, answerMs));
        }
    for (auto& [player, call] : asked) {
        const QDBusMessage status = co_await call;
        if (pause->over)
            co_return;
        if (status.arguments().value(0).value<QDBusVariant>().variant().toString() !=
            QLatin1String("Playing"))
            continue;
        bus.send(playerCall(player, "Pause"));
        pause->players.append(player);
        mirvoLog(QStringLiteral("[Mirvo] paused %1 while dictating").arg(player));
    }
}

void MprisMediaPlayers::resumePaused() {
    if (!pause_)
        return;
    pause_->over = true;
    // A player that has gone meanwhile gets a call nobody answers.
    for (const QString& player : std::exchange(pause_->players, {})) {
        bus_.send(playerCall(player, "Play"));
        mirvoLog(QStringLiteral("[Mirvo] resumed %1").arg(player));
    }
    pause_.reset();
}
