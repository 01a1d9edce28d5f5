#pragma once

#include <QString>

#include <exception>

// A failure of the system beneath Mirvo, named by what went wrong. The coordinator turns some
// kinds into messages for the user, so the platform layer reports its failures with these kinds
// and the core tests for them with is().
class MirvoError : public std::exception {
public:
    enum class Kind {
        noMicrophone,        // no sound server, or it has no input device
        audioFileUnreadable, // an audio file that cannot be opened or decoded
        audioFileTooLarge,   // the whole file does not fit one buffer
        speechModelUnusable, // the recogniser cannot load its model
        recognitionCanceled,
        noSpeech, // a recognition ended without any audio to recognise
        recognition,
        timedOut, // a transfer or a wait ran out of time
        answerTooLarge,
        unreachable, // the host is not found, refuses the connection or drops it
        insecure,    // the TLS handshake failed
        network,
        system, // a failed system call; code() is its errno
    };

    MirvoError(Kind kind, QString reason, int code = 0);

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    // The errno of a failed system call; 0 otherwise.
    int code() const { return code_; }
    // What happened, e.g. "No such file: /tmp/x.wav".
    const QString& reason() const { return reason_; }
    // Printed form: <reason> (<kind in words>), "Connection refused (server unreachable)".
    const char* what() const noexcept override { return printed_.constData(); }

private:
    Kind kind_;
    int code_;
    QString reason_;
    QByteArray printed_;
};

// An error that is nothing but its message; its printed form is the message.
class MessageError : public std::exception {
public:
    explicit MessageError(QString message)
        : message_(std::move(message)), utf8_(message_.toUtf8()) {}
    const QString& message() const { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// The printed form of any caught exception, for log lines.
QString describeError(const std::exception_ptr& error);
