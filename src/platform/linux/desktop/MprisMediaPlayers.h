#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/MediaPlayers.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QStringList>

#include <memory>

// The media players on the session bus that speak MPRIS (browsers, Spotify, mpv, VLC…).
class MprisMediaPlayers final : public MediaPlayers {
public:
    explicit MprisMediaPlayers(const QDBusConnection& bus);
    void pausePlaying() override;
    void resumePaused() override;

private:
    // What one dictation paused; a later dictation starts another.
    struct Pause {
        QStringList players;
        bool over = false;
    };
    static QCoro::Task<> pausing(QDBusConnection bus, std::shared_ptr<Pause> pause);

    QDBusConnection bus_;
    std::shared_ptr<Pause> pause_;
};
