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
    const QString socket = dir_.filePath("pulse.sock");
    QStringList arguments = {"-n",
                             "--daemonize=no",
                             "--exit-idle-time=-1",
                             "--disallow-exit",
                             "--use-pid-file=no",
                             "--disable-shm=yes",
                             "-L",
                             "module-native-protocol-unix auth-anonymous=1 socket=" + socket};
    if (withSpeaker_)
        arguments << "-L"
                  << "module-null-sink sink_name=speaker";
    const QStringList env = {"HOME=" + dir_.path(), "XDG_RUNTIME_DIR=" + dir_.path(),
                             "XDG_CONFIG_HOME=" + dir_.path()};
    if (!daemon_.start("pulseaudio", arguments, env, {}, dir_.filePath("daemon.log"))) {
        error_ = QStringLiteral("pulseaudio did not start");
        return false;
    }
    qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());

    const QDeadlineTimer deadline(10000);
    while (!Subprocess::run("pactl", {"info"}, 3000)) {
        if (deadline.hasExpired() || !daemon_.isRunning()) {
            error_ = QStringLiteral("pulseaudio did not answer");
            return false;
        }
        QThread::msleep(50);
    }
    if (!withSpeaker_)
        return true;
    if (!Subprocess::run("pactl", {"set-default-source", "speaker.monitor"}, 3000)) {
        error_ = QStringLiteral("cannot make speaker.monitor the default source");
        return false;
    }
    // An idle null sink renders nothing, so its monitor would be silent in time as well as in
    // sound. Playing silence at a short latency keeps it rendering in real time: a microphone
    // that hears the room.
    if (!keepAlive_.start("pacat",
                          {"--playback", "--device=speaker", "--latency-msec=20", "--raw",
                           "--format=s16le", "--rate=44100", "--channels=2"},
                          {}, "/dev/zero")) {
        error_ = QStringLiteral("pacat did not start");
        return false;
    }
    return true;
}

bool PulseAudioServer::play(const QString& path) {
    // A short playback latency, so the monitor hears the sound when it is played rather than
    // when a large buffer is rendered ahead.
    return Subprocess::run("paplay", {"--device=speaker", "--latency-msec=20", path}, 30000);
}
