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

// The printed form of any caught exception, for log lines.
QString describeError(const std::exception_ptr& error);
