#pragma once

#include <QString>

#include <exception>

// The identity of a platform failure: a domain and a code, like a system error object. The
// coordinator maps some identities to user messages, so backends report their failures with the
// identities below and the dictation core tests for them with PlatformError::is().
struct ErrorIdentity {
    const char* domain;
    long code;
};

namespace PlatformErrors {
// No sound server or no input device.
inline constexpr ErrorIdentity noInputDevice{"com.apple.coreaudio.avfaudio", -10868};
// An audio file that cannot be opened or read ('wht?', the unspecified audio-file error).
inline constexpr ErrorIdentity audioFileUnreadable{"com.apple.coreaudio.avfaudio", 2003334207};
// The whole file does not fit one buffer.
inline constexpr ErrorIdentity audioFileTooLarge{"Mirvo.FileAudioRecorder", 1};
// On-device dictation is off: the recognizer cannot load its model.
inline constexpr ErrorIdentity dictationDisabled{"kLSRErrorDomain", 201};
// A recognition task was cancelled.
inline constexpr ErrorIdentity recognitionCanceled{"kLSRErrorDomain", 301};
// A recognition task ended without any audio to recognise.
inline constexpr ErrorIdentity noSpeechDetected{"kAFAssistantErrorDomain", 1110};
// A failed HTTP transfer; the codes are the URL-loading system's (-1001 timed out, …).
inline constexpr const char* urlDomain = "NSURLErrorDomain";
// A failed system call; the code is its errno.
inline constexpr const char* posixDomain = "NSPOSIXErrorDomain";
} // namespace PlatformErrors

// An error of the platform layer, identified by a domain and a code.
class PlatformError : public std::exception {
public:
    PlatformError(QString domain, long code, QString description);
    PlatformError(ErrorIdentity identity, QString description);

    const QString& domain() const { return domain_; }
    long code() const { return code_; }
    bool is(ErrorIdentity identity) const;
    // Human-readable reason, e.g. "No such file: /tmp/x.wav".
    const QString& localizedDescription() const { return description_; }
    // Printed form: <description> (<kind> error <code>), the kind in words: "Connection refused
    // (network error -1004)".
    const char* what() const noexcept override { return printed_.constData(); }

private:
    QString domain_;
    long code_;
    QString description_;
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
