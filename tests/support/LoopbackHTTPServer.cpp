#include "LoopbackHTTPServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

LoopbackHTTPServer::LoopbackHTTPServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackHTTPServer::onConnection);
}

QString LoopbackHTTPServer::baseURL() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
}

void LoopbackHTTPServer::enqueue(Response response) {
    script_.append(std::move(response));
}

void LoopbackHTTPServer::onConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto* buffer = new QByteArray;
        connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            for (;;) {
                const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
                if (headerEnd < 0)
                    return;
                const qsizetype length = header(*buffer, "content-length").toLongLong();
                const qsizetype total = headerEnd + 4 + length;
                if (buffer->size() < total)
                    return;
                const QByteArray request = buffer->left(total);
                buffer->remove(0, total);
                requests_.append(request);

                const QByteArray path = requestLine(request).split(' ').value(1);
                const Response r = routes_.contains(path) ? routes_.value(path)
                                   : script_.isEmpty()    ? Response{200, "{}"}
                                                          : script_.takeFirst();
                switch (r.behaviour) {
                case Response::Behaviour::stall:
                    return;
                case Response::Behaviour::close:
                    socket->abort();
                    return;
                case Response::Behaviour::headersStall:
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Content-Length: 1000\r\n\r\n{\"te");
                    return;
                case Response::Behaviour::answer:
                    if (r.delayMs > 0) {
                        QTimer::singleShot(r.delayMs, socket, [socket, r] { write(socket, r); });
                        return;
                    }
                    write(socket, r);
                    break;
                case Response::Behaviour::drip:
                    write(socket, r);
                    return;
                }
            }
        });
    }
}

void LoopbackHTTPServer::write(QTcpSocket* socket, const Response& r) {
    socket->write("HTTP/1.1 " + QByteArray::number(r.status) + " Scripted\r\n");
    socket->write("Content-Type: " + r.contentType + "\r\n");
    for (const auto& [name, value] : r.headers)
        socket->write(name + ": " + value + "\r\n");
    socket->write("Content-Length: " + QByteArray::number(r.body.size()) + "\r\n\r\n");
    if (r.behaviour == Response::Behaviour::drip)
        drip(socket, r.body);
    else
        socket->write(r.body);
}

void LoopbackHTTPServer::drip(QTcpSocket* socket, const QByteArray& body) {
    auto* timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, body, sent, timer] {
        if (*sent == body.size()) {
            timer->stop();
            return;
        }
        socket->write(body.mid((*sent)++, 1));
    });
    timer->start(1000);
}

QByteArray LoopbackHTTPServer::requestLine(const QByteArray& request) {
    return request.left(request.indexOf("\r\n"));
}

QList<QByteArray> LoopbackHTTPServer::headerNames(const QByteArray& request) {
    QList<QByteArray> names;
    const QList<QByteArray> lines = request.left(request.indexOf("\r\n\r\n")).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i)
        names.append(lines[i].left(lines[i].indexOf(':')).trimmed());
    return names;
}

QByteArray LoopbackHTTPServer::header(const QByteArray& request, const QByteArray& name) {
    const QList<QByteArray> lines = request.left(request.indexOf("\r\n\r\n")).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == name.toLower())
            return lines[i].mid(colon + 1).trimmed();
    }
    return {};
}

QByteArray LoopbackHTTPServer::body(const QByteArray& request) {
    return request.mid(request.indexOf("\r\n\r\n") + 4);
}
