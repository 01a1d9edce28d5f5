#include "NetworkHTTPSession.h"

#include "common/MirvoError.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <cmath>
#include <optional>

namespace {

MirvoError::Kind kindOf(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return MirvoError::Kind::timedOut;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
        return MirvoError::Kind::unreachable;
    case QNetworkReply::SslHandshakeFailedError:
        return MirvoError::Kind::insecure;
    default:
        return MirvoError::Kind::network;
    }
}

} // namespace

NetworkHTTPSession::NetworkHTTPSession() : manager_(std::make_unique<QNetworkAccessManager>()) {}

NetworkHTTPSession::~NetworkHTTPSession() = default;

QCoro::Task<HTTPResponse> NetworkHTTPSession::data(HTTPRequest request) {
    QNetworkRequest networkRequest(request.url);
    for (const auto& [name, value] : request.headers) {
        // A null value would remove the header; an empty one is still sent.
        networkRequest.setRawHeader(name, value.isNull() ? QByteArray("", 0) : value);
    }
    networkRequest.setTransferTimeout(int(std::lround(request.timeoutSeconds * 1000)));
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                request.followRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy
                                                        : QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        manager_->sendCustomRequest(networkRequest, request.method, request.body),
        [](QNetworkReply* r) { r->deleteLater(); });
    // The limits end the transfer from inside; which one did decides the error.
    std::optional<MirvoError::Kind> limitHit;
    QTimer deadline;
    if (request.totalTimeoutSeconds > 0) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, reply.get(), [&limitHit, r = reply.get()] {
            limitHit = MirvoError::Kind::timedOut;
            r->abort();
        });
        deadline.start(int(std::lround(request.totalTimeoutSeconds * 1000)));
    }
    if (request.maxBodyBytes >= 0)
        QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(),
                         [&limitHit, max = request.maxBodyBytes, r = reply.get()](qint64 received,
                                                                                  qint64 total) {
                             if (!limitHit && (received > max || total > max)) {
                                 limitHit = MirvoError::Kind::answerTooLarge;
                                 r->abort();
                             }
                         });
    co_await reply.get();
    if (limitHit == MirvoError::Kind::timedOut)
        throw MirvoError(MirvoError::Kind::timedOut, QStringLiteral("The request timed out."));
    // Progress reports are throttled: a body can arrive whole before the first one.
    if (limitHit == MirvoError::Kind::answerTooLarge ||
        (request.maxBodyBytes >= 0 && reply->bytesAvailable() > request.maxBodyBytes))
        throw MirvoError(MirvoError::Kind::answerTooLarge,
                         QStringLiteral("The resource exceeds the maximum size."));

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // An HTTP error status is an answer; a connection that broke or stalled after the status
    // line is still a transport failure (its body would be cut short).
    const QNetworkReply::NetworkError error = reply->error();
    const bool transportFailed = error != QNetworkReply::NoError &&
                                 (!status.isValid() || error < QNetworkReply::ContentAccessDenied);
    if (transportFailed)
        throw MirvoError(kindOf(error), reply->errorString());
    HTTPResponse response;
    response.isHTTP = status.isValid();
    response.statusCode = status.toInt();
    for (const QNetworkReply::RawHeaderPair& header : reply->rawHeaderPairs())
        response.headers.append(header);
    response.body = reply->readAll();
    co_return response;
}
