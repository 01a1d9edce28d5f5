#pragma once

#include <QString>

#include <exception>

// An error of the platform layer, identified like a system error object by a domain and a code.
// The coordinator maps some (domain, code) pairs to user messages, so backends report their
// failures with the domains and codes the dictation core expects.
class PlatformError : public std::exception {
public:
    PlatformError(QString domain, long code, QString description);

    const QString& domain() const { return domain_; }
    long code() const { return code_; }
    // Human-readable reason, e.g. "No such file: /tmp/x.wav".
    const QString& localizedDescription() const { return description_; }
    // Printed form: Error Domain=<domain> Code=<code> "<description>".
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
