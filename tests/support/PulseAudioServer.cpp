#include "PulseAudioServer.h"

#include <QDeadlineTimer>
#include <QThread>

PulseAudioServer::PulseAudioServer(bool withSpeaker)
    : withSpeaker_(withSpeaker), dir_(QStringLiteral("/tmp/mirvo-pulse-XXXXXX")) {
    previousServer_ = qgetenv("PULSE_SERVER");
}

PulseAudioServer::~PulseAudioServer() {
    keepAlive_.stop();
    daemon_.stop();
    if (previousServer_.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", previousServer_);
}

bool PulseAudioServer::start() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary directory");
        return false;
    }
    const QString socket = dir_.filePath(QStringLiteral("pulse.sock"));
    QStringList arguments = {
        QStringLiteral("-n"),
        QStringLiteral("--daemonize=no"),
        QStringLiteral("--exit-idle-time=-1"),
        QStringLiteral("--disallow-exit"),
        QStringLiteral("--use-pid-file=no"),
        QStringLiteral("--disable-shm=yes"),
        QStringLiteral("-L"),
        QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket),
    };
    if (withSpeaker_)
        arguments << QStringLiteral("-L") << QStringLiteral("module-null-sink sink_name=speaker");
    const QStringList env = {"HOME=" + dir_.path(), "XDG_RUNTIME_DIR=" + dir_.path(),
                             "XDG_CONFIG_HOME=" + dir_.path()};
    if (!daemon_.start(QStringLiteral("pulseaudio"), arguments, env, {},
                       dir_.filePath(QStringLiteral("daemon.log")))) {
        error_ = QStringLiteral("pulseaudio did not start");
        return false;
    }
    qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());

    const QDeadlineTimer deadline(10000);
    while (!Subprocess::run(QStringLiteral("pactl"), {QStringLiteral("info")}, 3000)) {
        if (deadline.hasExpired() || !daemon_.isRunning()) {
            error_ = QStringLiteral("pulseaudio did not answer");
            return false;
        }
        QThread::msleep(50);
    }
    if (!withSpeaker_)
        return true;
    if (!Subprocess::run(QStringLiteral("pactl"),
                         {QStringLiteral("set-default-source"), QStringLiteral("speaker.monitor")},
                         3000)) {
        error_ = QStringLiteral("cannot make speaker.monitor the default source");
        return false;
    }
    // An idle null sink renders nothing, so its monitor would be silent in time as well as in
    // sound. Playing silence at a short latency keeps it rendering in real time: a microphone
    // that hears the room.
    if (!keepAlive_.start(QStringLiteral("pacat"),
                          {QStringLiteral("--playback"), QStringLiteral("--device=speaker"),
                           QStringLiteral("--latency-msec=20"), QStringLiteral("--raw"),
                           QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
                           QStringLiteral("--channels=2")},
                          {}, QStringLiteral("/dev/zero"))) {
        error_ = QStringLiteral("pacat did not start");
        return false;
    }
    return true;
}

bool PulseAudioServer::play(const QString& path) {
    // A short playback latency, so the monitor hears the sound when it is played rather than
    // when a large buffer is rendered ahead.
    return Subprocess::run(
        QStringLiteral("paplay"),
        {QStringLiteral("--device=speaker"), QStringLiteral("--latency-msec=20"), path}, 30000);
}
