#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QHostAddress>
#include <QList>
#include <QUrl>

#include <utility>

struct HTTPRequest {
    QUrl url;
    QByteArray method = "GET";
    // Sent in this order, after nothing but what the transport adds itself (length, host, …).
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers = {};
    // The request fails when the server sends nothing for this long.
    double timeoutSeconds = 60;
    // The request fails (timedOut) when the whole exchange takes longer; 0: no limit.
    double totalTimeoutSeconds = 0;
    // The request fails (answerTooLarge) when the body would be longer; -1: no limit.
    qint64 maxBodyBytes = -1;
    // Whether a 3xx answer is followed (the headers and body then go to where it points) or
    // returned as it is.
    bool followRedirects = true;
};

struct HTTPResponse {
    // False when the URL's scheme is not HTTP (a file: URL, for instance): no status then.
    bool isHTTP = true;
    int statusCode = 0;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers = {};

    // The first header of that name, case ignored; empty when there is none.
    QByteArray header(const QByteArray& name) const {
        for (const auto& [key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

// Whether `value` may stand in a header: a control character (a line break, say) would start a
// header of its own.
inline bool isHeaderValue(const QString& value) {
    for (const QChar c : value)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    return true;
}

// Whether `host` is this computer, where plain http keeps what it carries.
inline bool isLoopbackHost(const QString& host) {
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

// The transport of the proxy client.
class HTTPSession {
public:
    virtual ~HTTPSession() = default;
    // The whole response. Throws MirvoError (timedOut, answerTooLarge, unreachable, …) when the
    // transport fails: no connection, connection lost, timeout, unsupported URL, a body over the
    // limit.
    virtual QCoro::Task<HTTPResponse> data(HTTPRequest request) = 0;
};
