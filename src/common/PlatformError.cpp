#include "PlatformError.h"

PlatformError::PlatformError(QString domain, long code, QString description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {
    printed_ = QStringLiteral("Error Domain=%1 Code=%2 \"%3\"")
                   .arg(domain_, QString::number(code_), description_)
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
