#include "mirvo/Polisher.h"
#include "doubles/FakePlatform.h"
#include "mirvo/ProxyClient.h"
#include "platform/Log.h"
#include "platform/PlatformError.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/ProxyConfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

namespace {

struct Rig {
    Rig() {
        const MirvoConfig c = proxyConfig(QStringLiteral("http://127.0.0.1:9"));
        session = std::make_shared<FakeHTTPSession>();
        polisher = std::make_unique<LLMPolisher>(std::make_shared<ProxyClient>(c, session),
                                                 LLMPolisher::systemPrompt);
    }
    void answer(const QString& content) {
        const QJsonObject body{
            {"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", content}}}}}}};
        session->answer(200, QJsonDocument(body).toJson());
    }
    QString polish(const QString& raw) { return *await(polisher->polish(raw)).value; }

    std::shared_ptr<FakeHTTPSession> session;
    std::unique_ptr<LLMPolisher> polisher;
    LogCapture logs;
};

const QRegularExpression timing("^\\[Mirvo/Polisher\\] polished in \\d+\\.\\d\\ds$");

} // namespace

class PolisherTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void promptAndTranscriptAreSentAsTheyAre() {
        Rig rig;
        rig.answer(QStringLiteral("ok"));
        rig.polish(QStringLiteral("\"quoted\" \\ raw\n"));
        const QJsonObject sent = QJsonDocument::fromJson(rig.session->requests[0].body).object();
        QCOMPARE(sent["messages"].toArray()[0].toObject()["content"].toString(),
                 LLMPolisher::systemPrompt);
        QCOMPARE(sent["messages"].toArray()[1].toObject()["content"].toString(),
                 QStringLiteral("\"quoted\" \\ raw\n"));
        QCOMPARE(rig.session->requests[0].timeoutSeconds, 60.0);
    }

    void answersAreTrimmedOrFallBackToRaw() {
        Rig rig;
        rig.answer(QStringLiteral("\n\n  Hello, world.  \n"));
        QCOMPARE(rig.polish(QStringLiteral("hello world")), QStringLiteral("Hello, world."));
        QCOMPARE(rig.logs.lines().size(), 1);
        QVERIFY(timing.match(rig.logs.lines()[0]).hasMatch());

        // Only white space: the raw text, and the timing is still logged.
        rig.logs.clear();
        rig.answer(QStringLiteral(" \n\t "));
        QCOMPARE(rig.polish(QStringLiteral("keep me")), QStringLiteral("keep me"));
        QCOMPARE(rig.logs.lines().size(), 1);
        QVERIFY(timing.match(rig.logs.lines()[0]).hasMatch());

        // No choices at all: also the raw text.
        rig.logs.clear();
        rig.session->answer(200, R"({"choices":[]})");
        QCOMPARE(rig.polish(QStringLiteral("still raw")), QStringLiteral("still raw"));
    }

    void failuresReturnTheRawText() {
        Rig rig;
        rig.session->answer(500, "boom");
        rig.session->fail(std::make_exception_ptr(
            PlatformError("NSURLErrorDomain", -1001, "Operation canceled")));
        rig.session->answer(200, "<html>");
        const QStringList reasons = {
            "polish: HTTP 500: boom",
            "Error Domain=NSURLErrorDomain Code=-1001 \"Operation canceled\"",
            "the data is not valid JSON (illegal value at byte 1)",
        };
        for (const QString& reason : reasons) {
            rig.logs.clear();
            QCOMPARE(rig.polish(QStringLiteral("raw words")), QStringLiteral("raw words"));
            QCOMPARE(rig.logs.lines(),
                     QStringList{"[Mirvo/Polisher] failed: " + reason + " — returning raw"});
        }
    }
};

QTEST_GUILESS_MAIN(PolisherTest)
#include "PolisherTest.moc"
