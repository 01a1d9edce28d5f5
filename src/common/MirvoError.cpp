#include "MirvoError.h"

namespace {

QString wordsFor(MirvoError::Kind kind, int code) {
    using K = MirvoError::Kind;
    switch (kind) {
    case K::noMicrophone:
        return QStringLiteral("no microphone");
    case K::audioFileUnreadable:
        return QStringLiteral("unreadable audio file");
    case K::audioFileTooLarge:
        return QStringLiteral("audio file too large");
    case K::speechModelUnusable:
        return QStringLiteral("speech model unusable");
    case K::recognitionCanceled:
        return QStringLiteral("recognition canceled");
    case K::noSpeech:
        return QStringLiteral("no speech");
    case K::recognition:
        return QStringLiteral("recognition error");
    case K::timedOut:
        return QStringLiteral("timed out");
    case K::answerTooLarge:
        return QStringLiteral("answer too large");
    case K::unreachable:
        return QStringLiteral("server unreachable");
    case K::insecure:
        return QStringLiteral("secure connection failed");
    case K::network:
        return QStringLiteral("network error");
    case K::system:
        return QStringLiteral("system error %1").arg(code);
    }
    return QString();
}

} // namespace

MirvoError::MirvoError(Kind kind, QString reason, int code)
    : kind_(kind), code_(code), reason_(std::move(reason)) {
    printed_ = QStringLiteral("%1 (%2)").arg(reason_, wordsFor(kind_, code_)).toUtf8();
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
