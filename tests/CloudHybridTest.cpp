#include "doubles/FakeComponents.h"
#include "doubles/FakePlatform.h"
#include "mirvo/CloudTranscriber.h"
#include "mirvo/HybridTranscriber.h"
#include "mirvo/ProxyClient.h"
#include "platform/Log.h"
#include "platform/linux/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/LoopbackHTTPServer.h"
#include "support/ProxyConfig.h"

#include <QRegularExpression>
#include <QTest>

namespace {

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

class CloudHybridTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

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

QTEST_GUILESS_MAIN(CloudHybridTest)
#include "CloudHybridTest.moc"
