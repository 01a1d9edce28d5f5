#include "PlatformError.h"

PlatformError::PlatformError(QString domain, long code, QString description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {
    printed_ = QStringLiteral("Error Domain=%1 Code=%2 \"%3\"")
                   .arg(domain_)
                   .arg(code_)
                   .arg(description_)
                   .toUtf8();
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
