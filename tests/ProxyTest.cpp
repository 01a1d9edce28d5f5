#include "common/JSONDecoding.h"
#include "common/Log.h"
#include "common/PlatformError.h"
#include "core/CloudTranscriber.h"
#include "core/HybridTranscriber.h"
#include "core/MirvoConfig.h"
#include "core/Polisher.h"
#include "core/ProxyClient.h"
#include "core/WAVEncoder.h"
#include "doubles/FakeComponents.h"
#include "doubles/FakePlatform.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/LoopbackHTTPServer.h"
#include "support/ProxyConfig.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const char* secret = "sk-live-7f3a9c";

QJsonObject validObject() {
    return QJsonObject{
        {"proxyBaseURL", "https://proxy.example/api"},
        {"proxyKey", secret},
        {"clientId", "laptop-1"},
        {"transcribeTargets", QJsonArray{QJsonObject{{"path", "/v1/a"}, {"model", "m1"}},
                                         QJsonObject{{"path", "/v1/b"}, {"model", "m2"}}}},
        {"chatPath", "/v1/chat/completions"},
        {"polishModel", "small-chat"},
        {"enableCloudTranscription", true},
        {"enablePolish", false},
    };
}

QByteArray json(const QJsonObject& o) {
    return QJsonDocument(o).toJson();
}

// The decode error for `data`, or empty when it decodes.
QString decodeError(const QByteArray& data) {
    try {
        MirvoConfig::decode(data);
        return {};
    } catch (const DecodingError& e) {
        return e.message();
    }
}

using Server = LoopbackHTTPServer;

struct Rig {
    explicit Rig(const QString& basePath = {}, ProxyClient::Limits limits = {})
        : client(proxyConfig(server.baseURL() + basePath), std::make_shared<NetworkHTTPSession>(),
                 limits) {}
    Server server;
    ProxyClient client;
};

const QByteArray wav = WAVEncoder::encode(std::vector<int16_t>{1, -2, 3, -4}, 16000, 1);

AudioBufferPtr samples(uint32_t count) {
    auto b = AudioBuffer::make(makeSpeechFormat(), count);
    b->setFrameLength(count);
    return b;
}

// Log lines with the elapsed time replaced by "<t>".
QStringList withoutTimes(const QStringList& lines) {
    QStringList out;
    for (QString line : lines)
        out.append(line.replace(QRegularExpression("\\d+\\.\\d\\ds"), "<t>"));
    return out;
}

} // namespace

class ProxyTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void decodesEveryField() {
        const MirvoConfig c = MirvoConfig::decode(json(validObject()));
        QCOMPARE(c.proxyBaseURL, QStringLiteral("https://proxy.example/api"));
        QCOMPARE(c.proxyKey, QString::fromLatin1(secret));
        QCOMPARE(c.clientId, QStringLiteral("laptop-1"));
        QVERIFY(c.transcribeTargets == (QList<TranscribeTarget>{{"/v1/a", "m1"}, {"/v1/b", "m2"}}));
        QVERIFY(!c.transcribePath && !c.transcribeModel);
        QCOMPARE(c.chatPath, QStringLiteral("/v1/chat/completions"));
        QCOMPARE(c.polishModel, QStringLiteral("small-chat"));
        QVERIFY(c.enableCloudTranscription);
        QVERIFY(!c.enablePolish);

        // Optional keys may be null; unknown keys are ignored.
        QJsonObject o = validObject();
        o["transcribeTargets"] = QJsonValue::Null;
        o["transcribePath"] = QJsonValue::Null;
        o["//"] = "a comment";
        o["extra"] = QJsonObject{{"nested", 1}};
        QVERIFY(!MirvoConfig::decode(json(o)).transcribeTargets);

        for (const char* local : {"http://127.0.0.1:8080", "http://localhost/api", "http://[::1]:9",
                                  "HTTPS://proxy.example"}) {
            o = validObject();
            o["proxyBaseURL"] = local;
            QCOMPARE(MirvoConfig::decode(json(o)).proxyBaseURL, QString::fromLatin1(local));
        }
    }

    void rejectsTheWholeFileOnAnyFault_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << QByteArray() << "the data is empty, not JSON";
        QTest::newRow("blank") << QByteArray(" \n") << "the data is empty, not JSON";
        QTest::newRow("empty object") << QByteArray("{}") << "key \"proxyBaseURL\" not found";
        QTest::newRow("array") << QByteArray("[1]")
                               << "expected a JSON object at the top level, found an array";
        QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0", 11)
                                << "the data is not valid JSON (illegal value at byte 1)";
        QTest::newRow("truncated") << json(validObject()).left(40)
                                   << "the data is not valid JSON (unterminated string at byte 40)";
        for (const char* key : {"proxyBaseURL", "proxyKey", "clientId", "chatPath", "polishModel",
                                "enableCloudTranscription", "enablePolish"}) {
            QJsonObject o = validObject();
            o.remove(key);
            QTest::newRow(qPrintable(QStringLiteral("missing %1").arg(key)))
                << json(o) << QStringLiteral("key \"%1\" not found").arg(key);
            o[key] = QJsonValue::Null;
            const bool isSwitch = QByteArray(key).startsWith("enable");
            QTest::newRow(qPrintable(QStringLiteral("null %1").arg(key)))
                << json(o)
                << QStringLiteral("key \"%1\" is null; expected %2")
                       .arg(key, isSwitch ? "a boolean" : "a string");
        }
        QJsonObject o = validObject();
        o["enablePolish"] = "true";
        QTest::newRow("switch as string")
            << json(o)
            << "key \"enablePolish\" has the wrong type: expected a boolean, found a string";
        o = validObject();
        o["enableCloudTranscription"] = 1;
        QTest::newRow("switch as number")
            << json(o)
            << "key \"enableCloudTranscription\" has the wrong type: expected a boolean, found a "
               "number";
        o = validObject();
        o["proxyKey"] = 424242;
        QTest::newRow("key as number")
            << json(o) << "key \"proxyKey\" has the wrong type: expected a string, found a number";
        o = validObject();
        o["transcribeTargets"] =
            QJsonArray{QJsonObject{{"path", "/a"}, {"model", "m"}}, QJsonObject{{"path", "/b"}}};
        QTest::newRow("target without model")
            << json(o) << "key \"transcribeTargets[1].model\" not found";
        o["transcribeTargets"] = QJsonArray{QJsonObject{{"model", "m"}}};
        QTest::newRow("target without path")
            << json(o) << "key \"transcribeTargets[0].path\" not found";
        o["transcribeTargets"] = QJsonArray{"/a"};
        QTest::newRow("target not an object")
            << json(o)
            << "\"transcribeTargets[0]\" has the wrong type: expected an object, found a string";
        o["transcribeTargets"] = QJsonObject{{"path", "/a"}};
        QTest::newRow("targets not an array")
            << json(o)
            << "key \"transcribeTargets\" has the wrong type: expected an array, found an object";
        // The key and the recordings go only where nobody else reads them, and a value that
        // would start a header of its own is refused.
        const QString baseRule =
            "key \"proxyBaseURL\" must be an https URL (or http to this computer)";
        for (const char* base : {"http://proxy.example/api", "ftp://proxy.example", "proxy",
                                 "http://127.0.0.1.example.org"}) {
            o = validObject();
            o["proxyBaseURL"] = base;
            QTest::newRow(base) << json(o) << baseRule;
        }
        for (const char* key : {"proxyKey", "clientId"})
            for (const char* value : {"k\r\nx-injected: 1", "k\nx", "k\tx"}) {
                o = validObject();
                o[key] = value;
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(key, value)))
                    << json(o)
                    << QStringLiteral("key \"%1\" holds a control character (a line break, say)")
                           .arg(key);
            }
        // Switched off, the file must still be complete.
        o = validObject();
        o["enableCloudTranscription"] = false;
        o["enablePolish"] = false;
        o.remove("chatPath");
        QTest::newRow("both off, no chat path") << json(o) << "key \"chatPath\" not found";
    }

    void rejectsTheWholeFileOnAnyFault() {
        QFETCH(QByteArray, data);
        QFETCH(QString, message);
        const QString error = decodeError(data);
        QCOMPARE(error, message);
        QVERIFY(!error.contains(QLatin1String(secret)));
    }

    void resolvesTranscriptionTargets() {
        QJsonObject o = validObject();
        const QList<TranscribeTarget> both{{"/v1/a", "m1"}, {"/v1/b", "m2"}};
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == both);

        // The array wins over the older keys whenever it has entries.
        o["transcribePath"] = "/legacy";
        o["transcribeModel"] = "legacy-model";
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == both);

        // An empty array falls back to the older pair.
        o["transcribeTargets"] = QJsonArray{};
        const QList<TranscribeTarget> legacy{{"/legacy", "legacy-model"}};
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == legacy);
        o.remove("transcribeTargets");
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == legacy);

        // Half of the pair is nothing.
        o.remove("transcribeModel");
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets().isEmpty());

        // Cloud transcription off: never any targets.
        o = validObject();
        o["enableCloudTranscription"] = false;
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets().isEmpty());
    }

    void loadsFromDiskAndLogsEveryOutcome() {
        QTemporaryDir dir;
        LogCapture logs;
        const QString missing = dir.filePath("nope/config.json");
        QVERIFY(!MirvoConfig::load(missing));
        QCOMPARE(logs.lines(),
                 QStringList{"[Mirvo/Config] no config at " + missing + " — running fully local"});

        const QString good = dir.filePath("config.json");
        QJsonObject o = validObject();
        o["enablePolish"] = false;
        {
            QFile f(good);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(json(o));
        }
        QVERIFY(QFile::setPermissions(good, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        logs.clear();
        const auto loaded = MirvoConfig::load(good);
        QVERIFY(loaded && loaded->enableCloudTranscription);
        QCOMPARE(logs.lines(),
                 QStringList{"[Mirvo/Config] loaded " + good + " cloud=true polish=false"});

        // Readable by others: it holds the key, so one warning, and it is used all the same.
        QVERIFY(QFile::setPermissions(good, QFile::permissions(good) | QFileDevice::ReadOther));
        logs.clear();
        QVERIFY(MirvoConfig::load(good));
        QCOMPARE(logs.lines(),
                 (QStringList{"[Mirvo/Config] " + good +
                                  " can be read by other users, and it holds the proxy key: "
                                  "chmod 600 it",
                              "[Mirvo/Config] loaded " + good + " cloud=true polish=false"}));

        // Changeable by others: what it says cannot be trusted with the key and the audio.
        const QString shared = dir.filePath("shared/config.json");
        QVERIFY(QDir().mkpath(dir.filePath("shared")));
        QVERIFY(QFile::copy(good, shared));
        const auto refused = [&](const QString& path, const QString& why) {
            logs.clear();
            return !MirvoConfig::load(path) &&
                   logs.lines() == QStringList{"[Mirvo/Config] not using " + path + ": " + why +
                                               " — running fully local"};
        };
        QVERIFY(QFile::setPermissions(shared, QFile::permissions(good) | QFileDevice::WriteGroup));
        QVERIFY(refused(shared, "other users can change it (chmod 600 it)"));
        QVERIFY(QFile::setPermissions(shared, QFile::permissions(good)));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7777)));
        QVERIFY(refused(shared,
                        "its folder " + dir.filePath("shared") + " can be changed by other users"));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7700)));
        if (::getuid() == 0) {
            QVERIFY(::chown(QFile::encodeName(shared).constData(), 65534, 65534) == 0);
            QVERIFY(refused(shared, "it belongs to another user"));
        }

        const QString empty = dir.filePath("empty.json");
        QFile(empty).open(QIODevice::WriteOnly);
        const QString huge = dir.filePath("huge.json");
        {
            QFile f(huge);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(3 << 20, ' '));
        }
        const QString unreadable = dir.filePath("unreadable.json");
        QFile::copy(good, unreadable);
        QFile::setPermissions(unreadable, QFileDevice::Permissions());
        const bool runningAsRoot = QFile(unreadable).open(QIODevice::ReadOnly);

        const QList<std::pair<QString, QString>> bad = {
            {empty, "the data is empty, not JSON"},
            {dir.path(), "it is a directory, not a file"},
            {huge, "the file is 3145728 bytes; a configuration file is at most 1048576 bytes"},
            {unreadable, "cannot read the file: Permission denied"},
        };
        for (const auto& [path, reason] : bad) {
            if (path == unreadable && runningAsRoot)
                continue; // root reads everything
            logs.clear();
            QVERIFY(!MirvoConfig::load(path));
            QCOMPARE(logs.lines(),
                     QStringList{"[Mirvo/Config] failed to decode " + path + ": " + reason});
        }
    }

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

    // The polisher gives the trimmed answer, or the raw text whatever goes wrong.
    void polishingFallsBackToTheRawText() {
        auto session = std::make_shared<FakeHTTPSession>();
        LLMPolisher polisher(
            std::make_shared<ProxyClient>(proxyConfig("http://127.0.0.1:9"), session),
            LLMPolisher::systemPrompt);
        const auto chat = [](const QString& content) {
            return QJsonDocument(
                       QJsonObject{
                           {"choices", QJsonArray{QJsonObject{
                                           {"message", QJsonObject{{"content", content}}}}}}})
                .toJson();
        };
        const QString timed = "polished";
        const QList<std::tuple<std::function<void()>, QString, QString>> cases = {
            {[&] { session->answer(200, chat("\n\n  Hello, world.  \n")); }, "Hello, world.",
             timed},
            {[&] { session->answer(200, chat(" \n\t ")); }, "raw", timed},
            {[&] { session->answer(200, R"({"choices":[]})"); }, "raw", timed},
            {[&] { session->answer(500, "boom"); }, "raw", "polish: HTTP 500: boom"},
            {[&] {
                 session->fail(std::make_exception_ptr(
                     PlatformError("NSURLErrorDomain", -1001, "Operation canceled")));
             },
             "raw", "Error Domain=NSURLErrorDomain Code=-1001 \"Operation canceled\""},
            {[&] { session->answer(200, "<html>"); }, "raw",
             "the data is not valid JSON (illegal value at byte 1)"},
        };
        for (const auto& [script, result, line] : cases) {
            script();
            LogCapture logs;
            QCOMPARE(*await(polisher.polish("raw")).value, result);
            QCOMPARE(logs.lines().size(), 1);
            if (line == timed)
                QVERIFY(QRegularExpression("^\\[Mirvo/Polisher\\] polished in \\d+\\.\\d\\ds$")
                            .match(logs.lines()[0])
                            .hasMatch());
            else
                QCOMPARE(logs.lines()[0], "[Mirvo/Polisher] failed: " + line + " — returning raw");
        }
        const QJsonObject sent = QJsonDocument::fromJson(session->requests[0].body).object();
        QCOMPARE(sent["messages"].toArray()[0].toObject()["content"].toString(),
                 LLMPolisher::systemPrompt);
    }

    void cloudUploadsOnlyLongEnoughRecordings() {
        LoopbackHTTPServer server;
        auto client = std::make_shared<ProxyClient>(proxyConfig(server.baseURL()),
                                                    std::make_shared<NetworkHTTPSession>());
        LogCapture logs;
        CloudTranscriber shortOne(client, {{"/a", "m"}});
        shortOne.start();
        shortOne.append(samples(7999));
        QCOMPARE(*await(shortOne.finish()).value, QString());
        QCOMPARE(logs.lines(), QStringList{"[Mirvo/Transcriber] cloud finish: only 7999 frames, "
                                           "skipping upload"});
        QVERIFY(server.requests().isEmpty());

        // Exactly 8000 samples of silence: uploaded as a 16044-byte WAV image.
        logs.clear();
        server.answer(200, R"({"text":"silence"})");
        CloudTranscriber longEnough(client, {{"/a", "m"}});
        longEnough.start();
        longEnough.append(samples(8000));
        QCOMPARE(*await(longEnough.finish()).value, QStringLiteral("silence"));
        QVERIFY(
            logs.contains("[Mirvo/Transcriber] cloud finish: uploading 16044 bytes (8000 frames)"));
        QVERIFY(LoopbackHTTPServer::body(server.requests().at(0))
                    .contains(QByteArray("RIFF\xa4\x3e\0\0WAVE", 12)));

        // start() empties the store.
        longEnough.start();
        QCOMPARE(*await(longEnough.finish()).value, QString());

        logs.clear();
        CloudTranscriber noTargets(client, {});
        noTargets.start();
        noTargets.append(samples(9000));
        QCOMPARE(*await(noTargets.finish()).value, QString());
        QCOMPARE(logs.lines(),
                 QStringList{"[Mirvo/Transcriber] cloud finish: no targets configured"});
    }

    void cloudTriesTargetsInOrder() {
        LoopbackHTTPServer server;
        auto client = std::make_shared<ProxyClient>(proxyConfig(server.baseURL()),
                                                    std::make_shared<NetworkHTTPSession>());
        LogCapture logs;
        CloudTranscriber cloud(client, {{"/a", "A"}, {"/b", "B"}, {"/c", "C%1"}});
        cloud.start();
        cloud.append(samples(8000));
        server.answer(503, "down");
        server.answer(200, "{\"text\":\"  \\n\"}");
        server.answer(200, R"({"text":" hi "})");
        QCOMPARE(*await(cloud.finish()).value, QStringLiteral(" hi ")); // as it came
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(LoopbackHTTPServer::requestLine(server.requests()[0]),
                 QByteArray("POST /a HTTP/1.1"));
        QCOMPARE(LoopbackHTTPServer::requestLine(server.requests()[2]),
                 QByteArray("POST /c HTTP/1.1"));
        QCOMPARE(withoutTimes(logs.lines()),
                 (QStringList{
                     "[Mirvo/Transcriber] cloud finish: uploading 16044 bytes (8000 frames)",
                     "[Mirvo/Transcriber] cloud target[0] A failed in <t>: transcribe[A]: HTTP "
                     "503: down — trying next",
                     "[Mirvo/Transcriber] cloud target[1] B returned empty in <t>, trying next",
                     "[Mirvo/Transcriber] cloud target[2] C%1: <t> → 4 chars",
                 }));
        // The same WAV image went to every target.
        const auto wavOf = [&](int i) {
            const QByteArray body = LoopbackHTTPServer::body(server.requests()[i]);
            return body.mid(body.indexOf("RIFF"), 16044);
        };
        QCOMPARE(wavOf(0).size(), 16044);
        QCOMPARE(wavOf(0), wavOf(2));

        logs.clear();
        server.answer(200, R"({"text":""})");
        server.answer(200, R"({"text":""})");
        server.answer(200, R"({"text":""})");
        QCOMPARE(*await(cloud.finish()).value, QString());
        QCOMPARE(logs.lines().last(),
                 QStringLiteral("[Mirvo/Transcriber] cloud finish: all 3 targets exhausted"));
    }

    void hybridStartsAndFeedsBoth() {
        auto log = std::make_shared<CallLog>();
        auto local = std::make_shared<FakeTranscriber>(log, "local");
        auto cloud = std::make_shared<FakeTranscriber>(log, "cloud");
        HybridTranscriber hybrid(local, cloud);
        hybrid.start();
        QCOMPARE(log->calls(), (QStringList{"local.start", "cloud.start"}));
        const auto b = samples(10);
        hybrid.append(b);
        QVERIFY(local->buffers().at(0) == b && cloud->buffers().at(0) == b);

        // A local start failure propagates; the cloud is not started.
        log->clear();
        auto failingLocal = std::make_shared<FakeTranscriber>(log, "local");
        failingLocal->startError = std::make_exception_ptr(TranscriberError::unavailable());
        HybridTranscriber broken(failingLocal, std::make_shared<FakeTranscriber>(log, "cloud"));
        QVERIFY_THROWS_EXCEPTION(TranscriberError, broken.start());
        QCOMPARE(log->calls(), QStringList{"local.start"});
    }

    void hybridPrefersCloudTextAndAwaitsBoth() {
        LogCapture logs;
        {
            auto log = std::make_shared<CallLog>();
            auto local = std::make_shared<FakeTranscriber>(log, "local");
            auto cloud = std::make_shared<FakeTranscriber>(log, "cloud");
            HybridTranscriber hybrid(local, cloud);
            auto finishing = hybrid.finish();
            // Both finishes run from the start, the local one first.
            QCOMPARE(log->calls(), (QStringList{"local.finish", "cloud.finish"}));
            cloud->finishWith(QStringLiteral(" word\n"));
            QTRY_VERIFY(logs.contains("[Mirvo/Transcriber] hybrid: using cloud result"));
            QVERIFY(!finishing.isReady()); // still waiting for the local finish
            local->finishWith(QStringLiteral("local words"));
            QCOMPARE(*await(std::move(finishing)).value, QStringLiteral("word"));
        }
        {
            logs.clear();
            auto log = std::make_shared<CallLog>();
            auto local = std::make_shared<FakeTranscriber>(log, "local");
            auto cloud = std::make_shared<FakeTranscriber>(log, "cloud");
            HybridTranscriber hybrid(local, cloud);
            auto finishing = hybrid.finish();
            cloud->finishWith(QStringLiteral(" \n"));
            QTRY_VERIFY(
                logs.contains("[Mirvo/Transcriber] hybrid: cloud empty, falling back to local"));
            local->finishWith(QStringLiteral(" local text "));
            QCOMPARE(*await(std::move(finishing)).value, QStringLiteral(" local text "));
        }
    }

    void factoryChoosesPerConfiguration() {
        auto recognizer = std::make_shared<FakeSpeechRecognizer>();
        const auto provider = recognizer->provider();
        auto client = std::make_shared<ProxyClient>(proxyConfig("http://127.0.0.1:9"),
                                                    std::make_shared<NetworkHTTPSession>());
        LogCapture logs;

        auto factory = makeTranscriberFactory(std::nullopt, nullptr, provider);
        auto t = factory({});
        QVERIFY(std::dynamic_pointer_cast<SFTranscriber>(t));
        t->start();
        QVERIFY(recognizer->task(0)->request->contextualStrings.isEmpty());
        QCOMPARE(logs.lines().last(), QStringLiteral("[Mirvo] transcriber: local only"));

        MirvoConfig twoTargets = proxyConfig("http://127.0.0.1:9");
        twoTargets.transcribeTargets = QList<TranscribeTarget>{{"/1", "m1"}, {"/2", "m2"}};
        factory = makeTranscriberFactory(twoTargets, client, provider);
        t = factory({"earlier words"});
        QVERIFY(std::dynamic_pointer_cast<HybridTranscriber>(t));
        QCOMPARE(logs.lines().last(),
                 QStringLiteral("[Mirvo] transcriber: hybrid (local + cloud: m1 → m2)"));
        t->start();
        QCOMPARE(recognizer->task(1)->request->contextualStrings, QStringList{"earlier words"});

        MirvoConfig noTargets = proxyConfig("http://127.0.0.1:9");
        noTargets.transcribePath = QStringLiteral("/only-path");
        factory = makeTranscriberFactory(noTargets, client, provider);
        QVERIFY(std::dynamic_pointer_cast<SFTranscriber>(factory({})));
        QCOMPARE(logs.lines().last(),
                 QStringLiteral("[Mirvo] transcriber: local only (no cloud targets resolved)"));

        twoTargets.enableCloudTranscription = false;
        factory = makeTranscriberFactory(twoTargets, client, provider);
        QVERIFY(std::dynamic_pointer_cast<SFTranscriber>(factory({})));
        QCOMPARE(logs.lines().last(), QStringLiteral("[Mirvo] transcriber: local only"));
    }
};

QTEST_GUILESS_MAIN(ProxyTest)
#include "ProxyTest.moc"
