#pragma once

#include "Subprocess.h"

#include <QString>
#include <QTemporaryDir>

// A private PulseAudio daemon for one test. With a speaker, its default source is the null
// sink's monitor: a clocked microphone that hears whatever play() sends to the speaker. The
// daemon's address is exported as PULSE_SERVER for this process and its children.
class PulseAudioServer final {
public:
    explicit PulseAudioServer(bool withSpeaker = true);
    ~PulseAudioServer();
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    // Starts the daemon and waits until it answers; false (with error()) when it cannot.
    bool start();
    const QString& error() const { return error_; }
    // Plays a sound file into the speaker and waits until it has been played.
    bool play(const QString& path);

private:
    bool withSpeaker_;
    QTemporaryDir dir_;
    Subprocess daemon_;
    Subprocess keepAlive_;
    QByteArray previousServer_;
    QString error_;
};
