#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A scripted HTTP/1.1 server on 127.0.0.1 for tests. It records every request byte for byte
// and answers each with the next scripted response (200 "{}" once the script runs out).
class LoopbackHTTPServer final : public QObject {
    Q_OBJECT
public:
    struct Response {
        enum class Behaviour {
            answer,       // status line, headers, body
            stall,        // read the request, then say nothing
            headersStall, // status and headers promising a body that never comes
            close,        // close the connection without a word
            drip,         // status and headers, then the body one byte a second
        };
        int status = 200;
        QByteArray body;
        Behaviour behaviour = Behaviour::answer;
        QByteArray contentType = "application/json";
        QList<std::pair<QByteArray, QByteArray>> headers = {};
        // An answer sent this long after the request.
        int delayMs = 0;

        // The same answer with one more header.
        Response with(const QByteArray& name, const QByteArray& value) const {
            Response more = *this;
            more.headers.append({name, value});
            return more;
        }
    };

    LoopbackHTTPServer();
    // "http://127.0.0.1:<port>"
    QString baseURL() const;
    void enqueue(Response response);
    void answer(int status, const QByteArray& body) { enqueue({status, body}); }
    // Answers every request for `path` with `response`, before the script is consulted.
    void route(const QByteArray& path, Response response) { routes_[path] = std::move(response); }

    // Every complete request received: request line, headers and body.
    const QList<QByteArray>& requests() const { return requests_; }
    // Parts of one raw request.
    static QByteArray requestLine(const QByteArray& request);
    static QList<QByteArray> headerNames(const QByteArray& request);
    static QByteArray header(const QByteArray& request, const QByteArray& name);
    static QByteArray body(const QByteArray& request);

private:
    void onConnection();
    static void write(QTcpSocket* socket, const Response& response);
    static void drip(QTcpSocket* socket, const QByteArray& body);

    QTcpServer server_;
    QList<Response> script_;
    QHash<QByteArray, Response> routes_;
    QList<QByteArray> requests_;
};
