#include "mirvo/ProxyClient.h"
#include "doubles/FakePlatform.h"
#include "mirvo/WAVEncoder.h"
#include "platform/JSONDecoding.h"
#include "platform/Log.h"
#include "platform/PlatformError.h"
#include "platform/linux/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LoopbackHTTPServer.h"
#include "support/ProxyConfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

namespace {

using Server = LoopbackHTTPServer;

struct Rig {
    explicit Rig(const QString& basePath = {}, ProxyClient::Limits limits = {})
        : client(proxyConfig(server.baseURL() + basePath), std::make_shared<NetworkHTTPSession>(),
                 limits) {}
    Server server;
    ProxyClient client;
};

const QByteArray wav = WAVEncoder::encode(std::vector<int16_t>{1, -2, 3, -4}, 16000, 1);

} // namespace

class ProxyClientTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void uploadIsByteExact() {
        Rig rig;
        rig.server.answer(200, R"({"text":"  hello there \n","duration":1.5})");
        const auto result = await(rig.client.transcribe(
            wav, {QStringLiteral("/v1/audio/transcriptions"), QStringLiteral("whisper-x")}));
        QVERIFY2(!result.error, qPrintable(result.errorText()));
        QCOMPARE(*result.value, QStringLiteral("  hello there \n")); // not trimmed

        const QByteArray request = rig.server.requests().at(0);
        QCOMPARE(Server::requestLine(request),
                 QByteArray("POST /v1/audio/transcriptions HTTP/1.1"));
        // Ours in this order (the transport adds its own around them).
        const QList<QByteArray> names = Server::headerNames(request);
        QVERIFY(names.indexOf("x-proxy-key") < names.indexOf("x-client-id"));
        QVERIFY(names.indexOf("x-client-id") < names.indexOf("Content-Type"));
        QCOMPARE(Server::header(request, "x-proxy-key"), QByteArray("key-123"));
        QCOMPARE(Server::header(request, "x-client-id"), QByteArray("client-9"));
        const QByteArray contentType = Server::header(request, "Content-Type");
        const QRegularExpression boundaryPattern(
            "^multipart/form-data; boundary=(mirvo-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
            "[0-9A-F]{12})$");
        const auto match = boundaryPattern.match(QString::fromLatin1(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray b = match.captured(1).toLatin1();
        const QByteArray expected =
            "--" + b + "\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-x\r\n" +
            "--" + b +
            "\r\nContent-Disposition: form-data; name=\"response_format\"\r\n\r\njson\r\n" + "--" +
            b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.wav\"\r\n" +
            "Content-Type: audio/wav\r\n\r\n" + wav + "\r\n--" + b + "--\r\n";
        QCOMPARE(Server::body(request), expected);
        QCOMPARE(Server::header(request, "Content-Length").toInt(), expected.size());

        // A fresh boundary for every call.
        await(rig.client.transcribe(wav, {QStringLiteral("/t"), QStringLiteral("m")}));
        QVERIFY(Server::header(rig.server.requests().at(1), "Content-Type") != contentType);
    }

    void urlsAreConcatenatedAsWritten() {
        Rig slash(QStringLiteral("/api/"));
        slash.server.answer(200, R"({"text":""})");
        const auto empty =
            await(slash.client.transcribe(wav, {QStringLiteral("/v1/t"), QStringLiteral("m")}));
        QCOMPARE(*empty.value, QString()); // an empty text is no error
        QCOMPARE(Server::requestLine(slash.server.requests().at(0)),
                 QByteArray("POST /api//v1/t HTTP/1.1"));

        Rig base(QStringLiteral("/api/transcribe"));
        base.server.answer(200, R"({"text":"x"})");
        await(base.client.transcribe(wav, {QString(), QStringLiteral("m")}));
        QCOMPARE(Server::requestLine(base.server.requests().at(0)),
                 QByteArray("POST /api/transcribe HTTP/1.1"));

        ProxyClient broken(proxyConfig(QStringLiteral("http://exa mple.com")),
                           std::make_shared<NetworkHTTPSession>());
        const auto bad = await(broken.transcribe(wav, {QStringLiteral("/t"), QStringLiteral("m")}));
        QCOMPARE(bad.errorText(), QStringLiteral("transcribe URL invalid: http://exa mple.com/t"));
        const auto badChat = await(broken.polish(QStringLiteral("x"), QStringLiteral("p")));
        QCOMPARE(badChat.errorText(),
                 QStringLiteral("chat URL invalid: http://exa mple.com/v1/chat/completions"));
    }

    void non200AnswersAreClientErrors() {
        Rig rig;
        // A model name with placeholders of its own stays as it is written.
        const TranscribeTarget target{QStringLiteral("/t"), QStringLiteral("m1%1%2")};
        rig.server.answer(201, R"({"text":"created"})");
        rig.server.answer(204, "");
        rig.server.answer(500, "");
        rig.server.answer(503, "upstream busy");
        // 399 ASCII bytes then "é": the 400-byte cut falls inside it.
        rig.server.answer(500, QByteArray(399, 'a') + "\xc3\xa9 and more");
        rig.server.answer(500, QByteArray(398, 'a') + "\xc3\xa9 and more");
        rig.server.answer(502, "\xff\xfe not text");
        const QStringList expected = {
            "transcribe[m1%1%2]: HTTP 201: {\"text\":\"created\"}",
            "transcribe[m1%1%2]: HTTP 204: ",
            "transcribe[m1%1%2]: HTTP 500: ",
            "transcribe[m1%1%2]: HTTP 503: upstream busy",
            "transcribe[m1%1%2]: HTTP 500: (non-utf8)",
            "transcribe[m1%1%2]: HTTP 500: " + QString(398, 'a') + "é",
            "transcribe[m1%1%2]: HTTP 502: (non-utf8)",
        };
        for (const QString& message : expected) {
            const auto r = await(rig.client.transcribe(wav, target));
            QVERIFY(r.errorAs<ProxyClient::ClientError>());
            QCOMPARE(r.errorText(), message);
        }
    }

    void malformedAndBrokenAnswersFail() {
        Rig rig(QString(), {0.5});
        const TranscribeTarget target{QStringLiteral("/t"), QStringLiteral("m")};
        rig.server.answer(200, "not json");
        rig.server.answer(200, "");
        rig.server.answer(200, R"({"txt":"hi"})");
        rig.server.answer(200, R"({"text":42})");
        rig.server.answer(200, R"(["text"])");
        const QStringList decoding = {
            "the data is not valid JSON (illegal value at byte 1)",
            "the data is empty, not JSON",
            "key \"text\" not found",
            "key \"text\" has the wrong type: expected a string, found a number",
            "expected a JSON object at the top level, found an array",
        };
        for (const QString& message : decoding) {
            const auto r = await(rig.client.transcribe(wav, target));
            QVERIFY(r.errorAs<DecodingError>());
            QCOMPARE(r.errorText(), message);
        }

        // Transport failures come through as the session's errors. (A connection closed under
        // a kept-alive request is retried once by the transport, so the close is scripted twice.)
        using B = Server::Response::Behaviour;
        rig.server.enqueue({200, {}, B::close});
        rig.server.enqueue({200, {}, B::close});
        rig.server.enqueue({200, {}, B::stall});
        rig.server.enqueue({200, {}, B::headersStall});
        for (long code : {-1005L, -1001L, -1001L}) {
            const auto r = await(rig.client.transcribe(wav, target));
            const PlatformError* e = r.errorAs<PlatformError>();
            QVERIFY2(e, qPrintable(r.errorText()));
            QCOMPARE(e->domain(), QStringLiteral("NSURLErrorDomain"));
            QCOMPARE(e->code(), code);
        }

        // Nobody listening.
        ProxyClient down(proxyConfig(QStringLiteral("http://127.0.0.1:1")),
                         std::make_shared<NetworkHTTPSession>());
        const auto refused = await(down.transcribe(wav, target));
        QVERIFY(refused.errorAs<PlatformError>());
        QCOMPARE(refused.errorAs<PlatformError>()->code(), -1004L);

        // HTTPS is spoken: a server answering in plain text fails the TLS handshake.
        QVERIFY(QSslSocket::supportsSsl());
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost));
        connect(&plain, &QTcpServer::newConnection, &plain, [&plain] {
            plain.nextPendingConnection()->write("HTTP/1.1 400 Bad Request\r\n\r\n");
        });
        ProxyClient tls(proxyConfig(QStringLiteral("https://127.0.0.1:%1").arg(plain.serverPort())),
                        std::make_shared<NetworkHTTPSession>(), {2});
        const auto handshake = await(tls.transcribe(wav, target));
        QVERIFY2(handshake.errorAs<PlatformError>(), qPrintable(handshake.errorText()));
        QCOMPARE(handshake.errorAs<PlatformError>()->code(), -1200L);

        // A scheme the transport cannot post to is an unsupported URL.
        ProxyClient file(proxyConfig(QStringLiteral("file:///dev/null")),
                         std::make_shared<NetworkHTTPSession>());
        const auto unsupported = await(file.transcribe(wav, {QString(), QStringLiteral("m")}));
        QVERIFY(unsupported.errorAs<PlatformError>());
        QCOMPARE(unsupported.errorAs<PlatformError>()->code(), -1002L);

        // A response that is not HTTP at all.
        auto session = std::make_shared<FakeHTTPSession>();
        session->script.append({HTTPResponse{false, 0, "{\"text\":\"x\"}"}, {}});
        session->script.append({HTTPResponse{false, 0, "{}"}, {}});
        ProxyClient nonHTTP(proxyConfig(QStringLiteral("http://127.0.0.1:9")), session);
        QCOMPARE(await(nonHTTP.transcribe(wav, {QString(), QStringLiteral("m")})).errorText(),
                 QStringLiteral("transcribe[m]: non-HTTP response"));
        QCOMPARE(await(nonHTTP.polish("x", "p")).errorText(),
                 QStringLiteral("polish: non-HTTP response"));
    }

    void oversizedAnswersEndTheRequest() {
        Rig rig;
        const TranscribeTarget target{QStringLiteral("/t"), QStringLiteral("m")};
        const QByteArray huge = "{\"text\":\"" + QByteArray(100 << 20, 'a') + "\"}";
        rig.server.answer(200, huge);
        const auto transcribed = await(rig.client.transcribe(wav, target), 30000);
        QVERIFY2(transcribed.errorAs<ProxyClient::ClientError>(),
                 qPrintable(transcribed.errorText()));
        QCOMPARE(transcribed.errorText(),
                 QStringLiteral("transcribe[m]: answer larger than 8 MiB"));
        rig.server.answer(200, huge);
        QCOMPARE(await(rig.client.polish("x", "p"), 30000).errorText(),
                 QStringLiteral("polish: answer larger than 8 MiB"));
        rig.server.answer(200, R"({"text":"fine"})");
        QCOMPARE(await(rig.client.transcribe(wav, target)).value, std::optional<QString>("fine"));
    }

    // Neither the key nor the audio goes anywhere but the configured proxy, and no answer
    // holds a dictation past its limit.
    void redirectsAndSlowAnswersEndTheRequest() {
        Rig rig(QString(), {5, 1.5, 1.0});
        Server elsewhere;
        const TranscribeTarget target{QStringLiteral("/t"), QStringLiteral("m")};
        for (int status : {301, 302, 307, 308})
            rig.server.enqueue({status,
                                {},
                                Server::Response::Behaviour::answer,
                                "text/plain",
                                {{"Location", elsewhere.baseURL().toLatin1() + "/stolen"}}});
        for (int status : {301, 302, 307, 308})
            QCOMPARE(await(rig.client.transcribe(wav, target)).errorText(),
                     QStringLiteral("transcribe[m]: HTTP %1: ").arg(status));
        QVERIFY(elsewhere.requests().isEmpty());

        using B = Server::Response::Behaviour;
        rig.server.enqueue({200, R"({"text":"a dripping answer"})", B::drip});
        const auto dripped = await(rig.client.transcribe(wav, target));
        QVERIFY2(dripped.errorAs<ProxyClient::ClientError>(), qPrintable(dripped.errorText()));
        QCOMPARE(dripped.errorText(),
                 QStringLiteral("transcribe[m]: no complete answer within 1.5 s"));
        rig.server.enqueue({200, R"({"choices":[]})", B::drip});
        QCOMPARE(await(rig.client.polish("x", "p")).errorText(),
                 QStringLiteral("polish: no complete answer within 1 s"));
    }

    void chatRequestAndAnswers() {
        Rig rig;
        rig.server.answer(
            200, R"({"id":"c1","choices":[{"message":{"role":"assistant","content":"  Tidy. \n"}},
                     {"message":{"content":"second"}}],"usage":{}})");
        const QString prompt = QStringLiteral("Rules:\n- keep \"quotes\" / slashes\tand tabs");
        const auto first = await(rig.client.polish(QStringLiteral("um tidy é"), prompt));
        QVERIFY2(!first.error, qPrintable(first.errorText()));
        QCOMPARE(*first.value, QStringLiteral("  Tidy. \n"));

        const QByteArray request = rig.server.requests().at(0);
        QCOMPARE(Server::requestLine(request), QByteArray("POST /v1/chat/completions HTTP/1.1"));
        const QList<QByteArray> names = Server::headerNames(request);
        QVERIFY(names.indexOf("Content-Type") < names.indexOf("x-proxy-key"));
        QVERIFY(names.indexOf("x-proxy-key") < names.indexOf("x-client-id"));
        QCOMPARE(Server::header(request, "Content-Type"), QByteArray("application/json"));
        const QByteArray body = Server::body(request);
        QVERIFY(body.contains("\"temperature\":0.2"));
        QVERIFY(!body.contains('\n'));       // compact
        QVERIFY(body.contains("/ slashes")); // nothing escaped beyond what JSON needs
        const QJsonObject sent = QJsonDocument::fromJson(body).object();
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent["model"].toString(), QStringLiteral("tidy-1"));
        QCOMPARE(sent["temperature"].toDouble(), 0.2);
        const QJsonArray messages = sent["messages"].toArray();
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0].toObject(), (QJsonObject{{"role", "system"}, {"content", prompt}}));
        QCOMPARE(messages[1].toObject(),
                 (QJsonObject{{"role", "user"}, {"content", QStringLiteral("um tidy é")}}));

        rig.server.answer(200, R"({"choices":[]})");
        QCOMPARE(*await(rig.client.polish(QString(), prompt)).value, QString());
        const QJsonObject emptyUser =
            QJsonDocument::fromJson(Server::body(rig.server.requests().at(1))).object();
        QCOMPARE(emptyUser["messages"].toArray()[1].toObject()["content"].toString(), QString());

        rig.server.answer(200, R"({"choices":[{"message":{"content":" \n "}}]})");
        QCOMPARE(*await(rig.client.polish("x", prompt)).value, QStringLiteral(" \n "));

        rig.server.answer(500, "model overloaded");
        QCOMPARE(await(rig.client.polish("x", prompt)).errorText(),
                 QStringLiteral("polish: HTTP 500: model overloaded"));
        rig.server.answer(200, R"({"object":"chat"})");
        QCOMPARE(await(rig.client.polish("x", prompt)).errorText(),
                 QStringLiteral("key \"choices\" not found"));
        rig.server.answer(200, R"({"choices":[{"message":{"content":"a"}},{"message":{}}]})");
        QCOMPARE(await(rig.client.polish("x", prompt)).errorText(),
                 QStringLiteral("key \"choices[1].message.content\" not found"));

        // An empty chat path posts to the base URL itself.
        MirvoConfig c = proxyConfig(rig.server.baseURL() + "/chat");
        c.chatPath.clear();
        ProxyClient bare(c, std::make_shared<NetworkHTTPSession>());
        rig.server.answer(200, R"({"choices":[]})");
        await(bare.polish("x", prompt));
        QCOMPARE(Server::requestLine(rig.server.requests().last()),
                 QByteArray("POST /chat HTTP/1.1"));
    }

    void emptyCredentialsAreStillSent() {
        Server server;
        MirvoConfig c = proxyConfig(server.baseURL());
        c.proxyKey.clear();
        c.clientId.clear();
        ProxyClient client(c, std::make_shared<NetworkHTTPSession>());
        server.answer(200, R"({"text":"ok"})");
        await(client.transcribe(wav, {QStringLiteral("/t"), QStringLiteral("m")}));
        const QList<QByteArray> names = Server::headerNames(server.requests().at(0));
        QVERIFY(names.contains("x-proxy-key"));
        QVERIFY(names.contains("x-client-id"));
        QCOMPARE(Server::header(server.requests().at(0), "x-proxy-key"), QByteArray());
    }
};

QTEST_GUILESS_MAIN(ProxyClientTest)
#include "ProxyClientTest.moc"
