#include "PlatformError.h"

namespace {

// What kind of failure a domain stands for, in the words of a log line.
QString kindOf(const QString& domain) {
    if (domain == QLatin1String(PlatformErrors::urlDomain))
        return QStringLiteral("network");
    if (domain == QLatin1String(PlatformErrors::posixDomain))
        return QStringLiteral("system");
    if (domain == QLatin1String(PlatformErrors::noInputDevice.domain) ||
        domain == QLatin1String(PlatformErrors::audioFileTooLarge.domain))
        return QStringLiteral("audio");
    if (domain == QLatin1String(PlatformErrors::dictationDisabled.domain) ||
        domain == QLatin1String(PlatformErrors::noSpeechDetected.domain))
        return QStringLiteral("speech");
    return domain;
}

} // namespace

PlatformError::PlatformError(QString domain, long code, QString description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {
    printed_ = QStringLiteral("%1 (%2 error %3)")
                   .arg(description_, kindOf(domain_), QString::number(code_))
                   .toUtf8();
}

PlatformError::PlatformError(ErrorIdentity identity, QString description)
    : PlatformError(QString::fromLatin1(identity.domain), identity.code, std::move(description)) {}

bool PlatformError::is(ErrorIdentity identity) const {
    return code_ == identity.code && domain_ == QLatin1String(identity.domain);
}

QString describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}
