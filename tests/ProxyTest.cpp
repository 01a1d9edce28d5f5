// The configuration file, the proxy client against a loopback server, the polisher, and the
// cloud and hybrid transcribers with the per-dictation choice between them.
#include "app/DictationAssembly.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"
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
#include "support/Utilities.h"

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

using Server = LoopbackHTTPServer;
using B = Server::Response::Behaviour;
const char* secret = "sk-live-7f3a9c";
const QByteArray wav = WAVEncoder::encode(std::vector<int16_t>{1, -2, 3, -4}, 16000, 1);
const TranscribeTarget target{QStringLiteral("/t"), QStringLiteral("m")};

const QJsonValue removed = QStringLiteral("<removed>");

// A complete configuration, with `changes` applied (the value `removed` takes the key away).
QByteArray config(const QJsonObject& changes = {}) {
    QJsonObject o{
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
    for (auto change = changes.begin(); change != changes.end(); ++change)
        if (change.value() == QLatin1String("<removed>"))
            o.remove(change.key());
        else
            o[change.key()] = change.value();
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

struct Rig {
    explicit Rig(const QString& basePath = {}, ProxyClient::Limits limits = {})
        : client(proxyConfig(server.baseURL() + basePath), std::make_shared<NetworkHTTPSession>(),
                 limits) {}
    QString errorOfTranscribing() { return await(client.transcribe(wav, target)).errorText(); }
    Server server;
    ProxyClient client;
};

AudioBufferPtr samples(uint32_t count) {
    auto b = AudioBuffer::make(makeSpeechFormat(), count);
    b->setFrameLength(count);
    return b;
}

} // namespace

class ProxyTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void decodesEveryFieldAndResolvesTheTargets() {
        const MirvoConfig c = MirvoConfig::decode(config());
        QCOMPARE(c.proxyKey, QString::fromLatin1(secret));
        QCOMPARE(c.chatPath, QStringLiteral("/v1/chat/completions"));
        QVERIFY(c.enableCloudTranscription && !c.enablePolish && !c.transcribePath);
        // https, or http to this computer.
        for (const char* base : {"http://localhost/api", "http://[::1]:9", "HTTPS://proxy.example"})
            QVERIFY(decodeError(config({{"proxyBaseURL", base}})).isEmpty());
        // The array wins over the older keys whenever it has entries; an empty or absent one
        // falls back to the older pair; half a pair, or cloud transcription off, is nothing.
        const QList<TranscribeTarget> both{{"/v1/a", "m1"}, {"/v1/b", "m2"}};
        const QList<TranscribeTarget> legacy{{"/legacy", "legacy-model"}};
        const QJsonObject pair{{"transcribePath", "/legacy"}, {"transcribeModel", "legacy-model"}};
        QJsonObject emptyArray = pair, noArray = pair;
        emptyArray["transcribeTargets"] = QJsonArray{};
        noArray["transcribeTargets"] = removed;
        const QList<std::pair<QJsonObject, QList<TranscribeTarget>>> resolutions = {
            {{}, both},
            {pair, both},
            {emptyArray, legacy},
            {noArray, legacy},
            {{{"transcribeTargets", removed}, {"transcribePath", "/legacy"}}, {}},
            {{{"enableCloudTranscription", false}}, {}},
        };
        for (const auto& [changes, targets] : resolutions)
            QCOMPARE(MirvoConfig::decode(config(changes)).resolvedTargets(), targets);
    }

    void rejectsTheWholeFileOnAnyFault_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        addRow("truncated", config().left(40),
               "the data is not valid JSON (unterminated string at byte 40)");
        // One row per kind of fault.
        addRow("missing", config({{"clientId", removed}}), "key \"clientId\" not found");
        addRow("null", config({{"enablePolish", QJsonValue::Null}}),
               "key \"enablePolish\" is null; expected a boolean");
        addRow("switch as string", config({{"enablePolish", "true"}}),
               "key \"enablePolish\" has the wrong type: expected a boolean, found a string");
        addRow("name as switch", config({{"polishModel", true}}),
               "key \"polishModel\" has the wrong type: expected a string, found a boolean");
        addRow("target as array",
               config({{"transcribeTargets", QJsonArray{QJsonValue(QJsonArray{1})}}}),
               "\"transcribeTargets[0]\" has the wrong type: expected an object, found an array");
        addRow("target without model",
               config({{"transcribeTargets", QJsonArray{QJsonObject{{"path", "/a"}, {"model", "m"}},
                                                        QJsonObject{{"path", "/b"}}}}}),
               "key \"transcribeTargets[1].model\" not found");
        // Switched off, the file must still be complete.
        addRow("both off, no chat path",
               config({{"enablePolish", false},
                       {"enableCloudTranscription", false},
                       {"chatPath", removed}}),
               "key \"chatPath\" not found");
        // The key and the recordings go only where nobody else reads them, and a value that
        // would start a header of its own is refused.
        addRow("plain http elsewhere", config({{"proxyBaseURL", "http://127.0.0.1.example.org"}}),
               "key \"proxyBaseURL\" must be an https URL (or http to this computer)");
        addRow("a header of its own", config({{"proxyKey", "k\r\nx-injected: 1"}}),
               "key \"proxyKey\" holds a control character (a line break, say)");
    }

    void rejectsTheWholeFileOnAnyFault() {
        QFETCH(QByteArray, data);
        QFETCH(QString, message);
        const QString error = decodeError(data);
        QCOMPARE(error, message);
        QVERIFY(!error.contains(QLatin1String(secret)));
    }

    void loadsOnlyFilesTheUserAloneControls() {
        QTemporaryDir dir;
        LogCapture logs;
        const auto loads = [&](const QString& path, const QStringList& lines) {
            logs.clear();
            const bool loaded = MirvoConfig::load(path).has_value();
            return logs.lines() == lines ? loaded : (qWarning() << logs.lines(), !loaded && false);
        };
        const QString missing = dir.filePath("nope/config.json");
        QVERIFY(
            !loads(missing, {"[Mirvo/Config] no config at " + missing + " — running fully local"}));
        const QString good = dir.filePath("config.json");
        const auto write = [](const QString& path, const QByteArray& bytes) {
            return writeFile(path, bytes) &&
                   QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        };
        QVERIFY(write(good, config()));
        const QString loaded = "[Mirvo/Config] loaded " + good + " cloud=true polish=false";
        QVERIFY(loads(good, {loaded}));
        // Readable by others: it holds the key, so one warning, and it is used all the same.
        QVERIFY(QFile::setPermissions(good, QFile::permissions(good) | QFileDevice::ReadOther));
        QVERIFY(loads(good, {"[Mirvo/Config] " + good +
                                 " can be read by other users, and it holds the proxy key: chmod "
                                 "600 it",
                             loaded}));

        // Changeable by others: what it says cannot be trusted with the key and the audio.
        QVERIFY(QDir().mkpath(dir.filePath("shared")));
        const QString shared = dir.filePath("shared/config.json");
        QVERIFY(write(shared, config()));
        const auto refused = [&](const QString& why) {
            return !loads(shared, {"[Mirvo/Config] not using " + shared + ": " + why +
                                   " — running fully local"});
        };
        QVERIFY(
            QFile::setPermissions(shared, QFile::permissions(shared) | QFileDevice::WriteGroup));
        QVERIFY(refused("other users can change it (chmod 600 it)"));
        QVERIFY(QFile::setPermissions(shared, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7777)));
        QVERIFY(refused("its folder " + dir.filePath("shared") + " can be changed by other users"));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7700)));
        if (::getuid() == 0) {
            QVERIFY(::chown(QFile::encodeName(shared).constData(), 65534, 65534) == 0);
            QVERIFY(refused("it belongs to another user"));
        }

        // What cannot be a configuration file.
        const QString empty = dir.filePath("empty.json"), huge = dir.filePath("huge.json");
        QVERIFY(write(empty, {}) && write(huge, QByteArray(3 << 20, ' ')));
        const QList<std::pair<QString, QString>> bad = {
            {empty, "the data is empty, not JSON"},
            {dir.path(), "it is a directory, not a file"},
            {huge, "the file is 3145728 bytes; a configuration file is at most 1048576 bytes"},
        };
        for (const auto& [path, reason] : bad)
            QVERIFY(!loads(path, {"[Mirvo/Config] failed to decode " + path + ": " + reason}));
    }

    void uploadIsByteExact() {
        Rig rig;
        rig.server.answer(200, R"({"text":"  hello there \n","duration":1.5})");
        const auto result = await(rig.client.transcribe(wav, {"/v1/audio", "whisper-x"}));
        QCOMPARE(*result.value, QStringLiteral("  hello there \n")); // not trimmed

        const QByteArray request = rig.server.requests().at(0);
        QCOMPARE(Server::requestLine(request), QByteArray("POST /v1/audio HTTP/1.1"));
        // Ours in this order (the transport adds its own around them).
        const QList<QByteArray> names = Server::headerNames(request);
        QVERIFY(names.indexOf("x-proxy-key") < names.indexOf("x-client-id"));
        QVERIFY(names.indexOf("x-client-id") < names.indexOf("Content-Type"));
        QCOMPARE(Server::header(request, "x-proxy-key"), QByteArray("key-123"));
        const QByteArray contentType = Server::header(request, "Content-Type");
        const auto match =
            QRegularExpression("^multipart/form-data; boundary=(mirvo-[0-9A-F]{8}-[0-9A-F]{4}-"
                               "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$")
                .match(QString::fromLatin1(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray b = match.captured(1).toLatin1();
        const QByteArray expected =
            "--" + b + "\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-x\r\n" +
            "--" + b +
            "\r\nContent-Disposition: form-data; name=\"response_format\"\r\n\r\njson\r\n" + "--" +
            b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.wav\"\r\n" +
            "Content-Type: audio/wav\r\n\r\n" + wav + "\r\n--" + b + "--\r\n";
        QCOMPARE(Server::body(request), expected);

        // Empty credentials are still sent.
        MirvoConfig anonymous = proxyConfig(rig.server.baseURL());
        anonymous.proxyKey.clear();
        await(
            ProxyClient(anonymous, std::make_shared<NetworkHTTPSession>()).transcribe(wav, target));
        QVERIFY(Server::headerNames(rig.server.requests().at(1)).contains("x-proxy-key"));
    }

    // Any status but 200 is the proxy's failure, named with the start of its body (which counts
    // as dictated text outside test mode); redirects are never followed.
    void otherAnswersAreClientErrors() {
        Rig rig;
        Server elsewhere;
        const QList<std::pair<Server::Response, QString>> answers = {
            {{201, R"({"text":"created"})"}, "HTTP 201: {\"text\":\"created\"}"},
            {{503, "upstream busy"}, "HTTP 503: upstream busy"},
            // 399 ASCII bytes then "é": the 400-byte cut falls inside it.
            {{500, QByteArray(399, 'a') + "\xc3\xa9 more"}, "HTTP 500: (non-utf8)"},
            {{500, QByteArray(398, 'a') + "\xc3\xa9 more"}, "HTTP 500: " + QString(398, 'a') + "é"},
            {Server::Response{307, {}, B::answer, "text/plain"}.with(
                 "Location", elsewhere.baseURL().toLatin1()),
             "HTTP 307: "},
        };
        for (const auto& [answer, message] : answers) {
            rig.server.enqueue(answer);
            QCOMPARE(rig.errorOfTranscribing(), "transcribe[m]: " + message);
        }
        QVERIFY(elsewhere.requests().isEmpty());
        setLogDictatedWords(false);
        rig.server.answer(500, "echo of my words");
        QCOMPARE(rig.errorOfTranscribing(),
                 QStringLiteral("transcribe[m]: HTTP 500: (16 characters)"));
        setLogDictatedWords(true);
    }

    void brokenAnswersAndTransportsFail() {
        Rig rig(QString(), {0.5});
        rig.server.answer(200, R"({"text":42})");
        QVERIFY(await(rig.client.transcribe(wav, target)).errorAs<DecodingError>());
        // (A connection closed under a kept-alive request is retried once by the transport, so
        // the close is scripted twice.)
        rig.server.enqueue({200, {}, B::close});
        rig.server.enqueue({200, {}, B::close});
        rig.server.enqueue({200, {}, B::stall});
        rig.server.enqueue({200, {}, B::headersStall});
        QTcpServer plain; // HTTPS to a server answering in plain text fails the handshake
        QVERIFY(QSslSocket::supportsSsl() && plain.listen(QHostAddress::LocalHost));
        connect(&plain, &QTcpServer::newConnection, &plain, [&plain] {
            plain.nextPendingConnection()->write("HTTP/1.1 400 Bad Request\r\n\r\n");
        });
        ProxyClient down(proxyConfig("http://127.0.0.1:1"), std::make_shared<NetworkHTTPSession>());
        ProxyClient tls(proxyConfig(QStringLiteral("https://127.0.0.1:%1").arg(plain.serverPort())),
                        std::make_shared<NetworkHTTPSession>(), {2});
        ProxyClient file(proxyConfig("file:///dev/null"), std::make_shared<NetworkHTTPSession>());
        using K = MirvoError::Kind;
        const QList<std::pair<ProxyClient*, K>> failures = {
            {&rig.client, K::unreachable}, {&rig.client, K::timedOut}, {&rig.client, K::timedOut},
            {&down, K::unreachable},       {&tls, K::insecure},        {&file, K::network}};
        for (const auto& [client, kind] : failures) {
            const auto r = await(client->transcribe(wav, {client == &file ? "" : "/t", "m"}));
            QVERIFY2(r.errorAs<MirvoError>(), qPrintable(r.errorText()));
            QVERIFY2(r.errorAs<MirvoError>()->is(kind), qPrintable(r.errorText()));
        }
    }

    // No answer holds a dictation past its limits of size and time.
    void oversizedAndSlowAnswersEndTheRequest() {
        Rig rig(QString(), {5, 1.5, 1.0});
        const QByteArray huge = "{\"text\":\"" + QByteArray(100 << 20, 'a') + "\"}";
        rig.server.answer(200, huge);
        QCOMPARE(await(rig.client.transcribe(wav, target), 30000).errorText(),
                 QStringLiteral("transcribe[m]: answer larger than 8 MiB"));
        rig.server.answer(200, huge);
        QCOMPARE(await(rig.client.polish("x", "p"), 30000).errorText(),
                 QStringLiteral("polish: answer larger than 8 MiB"));
        rig.server.enqueue({200, R"({"text":"a dripping answer"})", B::drip});
        const auto dripped = await(rig.client.transcribe(wav, target));
        QVERIFY(dripped.errorAs<ProxyClient::ClientError>());
        QCOMPARE(dripped.errorText(),
                 QStringLiteral("transcribe[m]: no complete answer within 1.5 s"));
        rig.server.enqueue({200, R"({"choices":[]})", B::drip});
        QCOMPARE(await(rig.client.polish("x", "p")).errorText(),
                 QStringLiteral("polish: no complete answer within 1 s"));
        rig.server.answer(200, R"({"text":"fine"})");
        QCOMPARE(await(rig.client.transcribe(wav, target)).value, std::optional<QString>("fine"));
    }

    void chatRequestAndAnswers() {
        Rig rig;
        rig.server.answer(200, R"({"choices":[{"message":{"content":"  Tidy. \n"}},
                                              {"message":{"content":"second"}}]})");
        const QString prompt = QStringLiteral("Rules:\n- keep \"quotes\" / slashes\tand tabs");
        QCOMPARE(*await(rig.client.polish("um tidy é", prompt)).value,
                 QStringLiteral("  Tidy. \n"));
        const QByteArray request = rig.server.requests().at(0);
        QCOMPARE(Server::requestLine(request), QByteArray("POST /v1/chat/completions HTTP/1.1"));
        QCOMPARE(Server::header(request, "Content-Type"), QByteArray("application/json"));
        const QByteArray body = Server::body(request);
        QVERIFY(!body.contains('\n') && body.contains("/ slashes")); // compact, nothing escaped
        QCOMPARE(
            QJsonDocument::fromJson(body).object(),
            (QJsonObject{{"model", "tidy-1"},
                         {"temperature", 0.2},
                         {"messages",
                          QJsonArray{QJsonObject{{"role", "system"}, {"content", prompt}},
                                     QJsonObject{{"role", "user"}, {"content", "um tidy é"}}}}}));

        // An empty chat path posts to the base URL itself.
        MirvoConfig c = proxyConfig(rig.server.baseURL() + "/chat");
        c.chatPath.clear();
        await(ProxyClient(c, std::make_shared<NetworkHTTPSession>()).polish("x", prompt));
        QCOMPARE(Server::requestLine(rig.server.requests().last()),
                 QByteArray("POST /chat HTTP/1.1"));
    }

    // The polisher gives the trimmed answer, or the raw text whatever goes wrong.
    void polishingFallsBackToTheRawText() {
        auto session = std::make_shared<FakeHTTPSession>();
        LLMPolisher polisher(
            std::make_shared<ProxyClient>(proxyConfig("http://127.0.0.1:9"), session),
            LLMPolisher::systemPrompt);
        const auto chat = [](const QString& content) {
            return "{\"choices\":[{\"message\":{\"content\":\"" + content.toUtf8() + "\"}}]}";
        };
        const QString timed = "polished";
        const QList<std::tuple<std::function<void()>, QString, QString>> cases = {
            {[&] { session->answer(200, chat("\\n  Hello, world.  \\n")); }, "Hello, world.",
             timed},
            {[&] { session->answer(200, chat(" \\n\\t ")); }, "raw", timed},
            {[&] { session->answer(500, "boom"); }, "raw", "polish: HTTP 500: boom"},
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

    void cloudUploadsLongEnoughRecordingsToEachTargetInTurn() {
        Server server;
        auto client = std::make_shared<ProxyClient>(proxyConfig(server.baseURL()),
                                                    std::make_shared<NetworkHTTPSession>());
        CloudTranscriber shortOne(client, {{"/a", "m"}});
        shortOne.start();
        shortOne.append(samples(7999));
        QCOMPARE(*await(shortOne.finish()).value, QString());
        CloudTranscriber noTargets(client, {});
        noTargets.start();
        noTargets.append(samples(9000));
        QCOMPARE(*await(noTargets.finish()).value, QString());
        QVERIFY(server.requests().isEmpty());

        // Exactly 8000 samples: a 16044-byte WAV image, the same to every target tried.
        CloudTranscriber cloud(client, {{"/a", "A"}, {"/b", "B"}, {"/c", "C%1"}});
        cloud.start();
        cloud.append(samples(8000));
        server.answer(503, "down");
        server.answer(200, "{\"text\":\"  \\n\"}");
        server.answer(200, R"({"text":" hi "})");
        QCOMPARE(*await(cloud.finish()).value, QStringLiteral(" hi ")); // as it came
        QCOMPARE(Server::requestLine(server.requests()[2]), QByteArray("POST /c HTTP/1.1"));
        const auto wavOf = [&](int i) {
            const QByteArray body = Server::body(server.requests()[i]);
            return body.mid(body.indexOf("RIFF"), 16044);
        };
        QVERIFY(wavOf(0).startsWith(QByteArray("RIFF\xa4\x3e\0\0WAVE", 12)));
        QCOMPARE(wavOf(0), wavOf(2));
        for (int i = 0; i < 3; ++i)
            server.answer(200, R"({"text":""})");
        QCOMPARE(*await(cloud.finish()).value, QString()); // every target empty
        QCOMPARE(server.requests().size(), 6);
        cloud.start(); // empties the store
        QCOMPARE(*await(cloud.finish()).value, QString());
    }

    void hybridFeedsBothAndPrefersTheCloudText() {
        auto log = std::make_shared<CallLog>();
        // A local start failure propagates; the cloud is not started.
        auto failingLocal = std::make_shared<FakeTranscriber>(log, "local");
        failingLocal->startError = std::make_exception_ptr(TranscriberError::unavailable());
        HybridTranscriber broken(failingLocal, std::make_shared<FakeTranscriber>(log, "cloud"));
        QVERIFY_THROWS_EXCEPTION(TranscriberError, broken.start());
        QCOMPARE(log->calls(), QStringList{"local.start"});

        // The cloud's text when it has one; the local text when it is empty or comes too late.
        const QList<std::pair<std::optional<QString>, QString>> answers = {
            {QStringLiteral(" word\n"), QStringLiteral("word")},
            {QStringLiteral(" \n"), QStringLiteral(" local text ")},
            {std::nullopt, QStringLiteral(" local text ")},
        };
        for (const auto& [cloudText, expected] : answers) {
            log->clear();
            auto local = std::make_shared<FakeTranscriber>(log, "local");
            auto cloud = std::make_shared<FakeTranscriber>(log, "cloud");
            HybridTranscriber hybrid(local, cloud, 0.3);
            hybrid.start();
            const auto b = samples(10);
            hybrid.append(b);
            QVERIFY(local->buffers().at(0) == b && cloud->buffers().at(0) == b);
            // Both finishes run from the start, the local one first, and both are awaited.
            auto finishing = hybrid.finish();
            QCOMPARE(log->calls(),
                     (QStringList{"local.start", "cloud.start", "local.finish", "cloud.finish"}));
            if (cloudText)
                cloud->finishWith(*cloudText);
            QTest::qWait(20);
            QVERIFY(!finishing.isReady());
            local->finishWith(QStringLiteral(" local text "));
            QCOMPARE(*await(std::move(finishing)).value, expected);
        }
    }

    void factoryChoosesPerConfiguration() {
        auto recognizer = std::make_shared<FakeSpeechRecognizer>();
        auto client = std::make_shared<ProxyClient>(proxyConfig("http://127.0.0.1:9"),
                                                    std::make_shared<NetworkHTTPSession>());
        MirvoConfig twoTargets = proxyConfig("http://127.0.0.1:9");
        twoTargets.transcribeTargets = QList<TranscribeTarget>{{"/1", "m1"}, {"/2", "m2"}};
        MirvoConfig onlyPath = proxyConfig("http://127.0.0.1:9");
        onlyPath.transcribePath = QStringLiteral("/only-path");
        const QList<std::tuple<std::optional<MirvoConfig>, bool, QString>> choices = {
            {std::nullopt, false, "local only"},
            {twoTargets, true, "hybrid (local + cloud: m1 → m2)"},
            {onlyPath, false, "local only (no cloud targets resolved)"},
        };
        LogCapture logs;
        for (const auto& [config, hybrid, line] : choices) {
            const auto t =
                makeTranscriberFactory(config, client, recognizer->provider())({"earlier words"});
            QCOMPARE(std::dynamic_pointer_cast<HybridTranscriber>(t) != nullptr, hybrid);
            QCOMPARE(logs.lines().last(), "[Mirvo] transcriber: " + line);
            t->start();
            // The recent transcripts reach the recognition request as hints.
            QCOMPARE(recognizer->task(recognizer->taskCount() - 1)->request->contextualStrings,
                     QStringList{"earlier words"});
        }
    }
};

QTEST_GUILESS_MAIN(ProxyTest)
#include "ProxyTest.moc"
